#pragma once

// What a benchmark of kelvane-log's scale measures of the real logger run
// as a child process: its CPU time and resident memory over a run, each
// beside its limit, and the files it writes.

#include "LoggerProcess.h"
#include "PacedForwarder.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Throws std::runtime_error naming the step when ok is false.
void Check(bool ok, const std::string& what);
const char* Verdict(bool met);

// The simulator's --units for units 1 to count: it takes a list only.
std::string UnitsUpTo(int count);
// A port of 127.0.0.1 that was free a moment ago.
uint16_t FreePort();
bool Listening(uint16_t port);

void WriteFile(const QString& path, const QString& text);
QString ReadAll(const QString& path);
// The records of a log file: its lines but the header.
int Records(const QString& path);

struct rSample {
    double At = 0;         // seconds since the first sample
    double CpuSeconds = 0; // user and system time of the process so far
    double ResidentMb = 0;
};

// The process's samples from now to the end of the run, one every `every`;
// the first is at 0. onSample runs after each one (a progress line).
std::vector<rSample> Samples(const TLoggerProcess& logger, std::chrono::seconds run, std::chrono::seconds every,
                             const std::function<void(const rSample&)>& onSample = {});

struct rResourceLimits {
    double CpuPercent = 0; // of one core
    double ResidentMb = 0;
    double GrowthMbPerHour = 0; // of the resident memory fitted over the run
};

// Prints the CPU time, the resident memory and its growth over the samples,
// each beside its limit; true when every limit is met.
bool PrintResources(const std::vector<rSample>& samples, const rResourceLimits& limits);
