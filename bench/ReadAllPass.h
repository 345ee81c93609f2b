#pragma once

// The read-all pass the benchmarks time: the ticked banks of a register
// banks file, function 3 each, and what a pass puts on an RTU line.

#include "RegisterBanksFile.h"

#include <QString>

#include <vector>

using TBanks = std::vector<TRegisterBankEntry>;

constexpr int MaxBankRegisters = 125;

int Count(const TRegisterBankEntry& bank);

// The ticked banks of the file. Throws std::runtime_error when there is
// none, or when a bank is more than one request can read.
TBanks ActiveBanks(const QString& fileName);

// The bytes of every request and reply of one pass over one meter.
int PassBytes(const TBanks& banks);

double Median(std::vector<double> v);
