#pragma once

#include "BaudRate.h"
#include "LinkSettings.h"
#include "LogFile.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

// What kelvane-log does, from its command line and, with --settings, from a
// settings file of the desktop utility: the switches win over the file.
struct TLoggerOptions {
    bool Tcp = false;
    QString Target; // the meter's IP address, or the serial port
    int TcpPort = 502;
    TBaudRate Baud = TBaudRate::br9600;
    uint8_t Address = 1;
    TLinkSettings Link; // --timeout, --tries, --echo
    std::chrono::milliseconds Interval{60000};
    QString FileName;
    TLogSelection Selection{};
    QString BanksFile;
    bool Once = false;
    bool Csv = false;
};

struct TLoggerOptionsResult {
    std::optional<TLoggerOptions> Options; // empty on an error or with --help
    QString Error;                         // names the switch that was refused
    QString Help;                          // the --help text when it was asked for
};

// The interval switch takes fractions of a second, so that a test can log
// fast; a day is the longest interval.
constexpr double MinIntervalSeconds = 0.1;
constexpr double MaxIntervalSeconds = 86400;

// arguments: the switches after the program name. applicationDirectory:
// where the default log file and RegisterBanks.ini live.
TLoggerOptionsResult ParseLoggerOptions(const QStringList& arguments, const QString& applicationDirectory);
