#pragma once

#include "AppPaths.h"
#include "BaudRate.h"
#include "LinkSettings.h"
#include "LinkTransport.h"
#include "LogFile.h"
#include "OutputOptions.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

// --serve [ADDR:]PORT and --serve-writes: the site's meters served to
// other Modbus masters over Modbus/TCP, each at its unit, on when Port is
// set; writes pass only when allowed.
struct TGatewayOptions {
    QString Address;
    uint16_t Port = 0;
    bool Writes = false;
};

// What kelvane-log does, from its command line and, with --settings, from a
// settings file of the desktop utility: the switches win over the file, and
// a key the file lacks keeps the logger's own default.
struct TLoggerOptions {
    TLinkKind Kind = TLinkKind::Serial;
    QString Target; // the IP address of the meter or device server, or the serial port
    int TcpPort = 502;
    TBaudRate Baud = TBaudRate::br9600; // the meter's line, also behind a device server
    uint8_t Address = 1;
    // --name: the one meter's name in the outputs (its MQTT topics' level,
    // its Prometheus label, its InfluxDB tag), as a site file's section
    // names its meter.
    QString Name = "meter";
    // --timeout, --tries, --echo, --end-at-silence, --connection-per-request.
    // Unlike the desktop utility, the logger ends replies at their length and
    // keeps its TCP connection unless told otherwise: it polls unattended,
    // often and for long.
    TLinkSettings Link{.EndAtLength = true, .KeepConnection = true};
    std::chrono::milliseconds Interval{60000};
    QString FileName;
    TLogSelection Selection{};
    QString BanksFile;
    bool Once = false;
    bool Csv = false;
    // --site: every meter of the file, each link's settings starting from
    // the ones above.
    QString SiteFile;
    TOutputOptions Outputs;
    TGatewayOptions Gateway;
};

struct TLoggerOptionsResult {
    std::optional<TLoggerOptions> Options; // empty on an error or with --help
    QString Error;                         // names the switch that was refused
    QString Help;                          // the --help text when it was asked for
};

// arguments: the switches after the program name. paths: where the default
// log file and RegisterBanks.ini live.
TLoggerOptionsResult ParseLoggerOptions(const QStringList& arguments, const TAppPaths& paths);
