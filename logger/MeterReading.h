#pragma once

#include "CommStatistics.h"
#include "LogFile.h"
#include "WiringCheck.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// A meter of a site, as the site file names it.
struct TSiteMeterId {
    QString Name;        // the section name: "Main incomer"
    QString Link;        // the link as the site file gives it: "rtu:/dev/ttyUSB0:19200"
    uint8_t Address = 1; // its Modbus address on that link
};

// The meter as the messages name it: "\"Main incomer\" (rtu:/dev/ttyUSB0:19200, address 3)".
inline QString MeterText(const TSiteMeterId& meter)
{
    return QString("\"%1\" (%2, address %3)").arg(meter.Name, meter.Link).arg(meter.Address);
}

// The state of a meter's link as its latest change said it: a connection
// made (or a meter that answered over the link), lost, or not made at all
// (refused, unreachable or timed out); unknown before any change.
struct TLinkStatus {
    enum class TKind { Unknown, Connected, Lost, Refused };
    TKind Kind = TKind::Unknown;
    QString LastError; // the link's latest failure in its own words, kept once it works again
    QDateTime Since;   // UTC, when Kind last changed; null while unknown
};

// What the clients of the logger's Modbus/TCP gateway asked of a meter's
// unit since the logger started, by what they got.
struct TGatewayCounts {
    uint8_t Unit = 0;
    uint64_t Requests = 0;    // every request to the unit
    uint64_t Answered = 0;    // the meter's own reply passed back, its exceptions included
    uint64_t NoAnswer = 0;    // the meter gave none: exception 0x0B
    uint64_t LinkDown = 0;    // its link was down: exception 0x0A
    uint64_t Busy = 0;        // its link's queue was full: exception 6
    uint64_t Refused = 0;     // refused by the gateway itself: a function or write it does not pass on
};

// What one pass over one meter brought: the quantities the meter sent in
// that very pass and nothing else. A quantity that is not selected for the
// meter, or whose registers the pass did not bring, is empty; it is never
// filled from an earlier pass.
struct TMeterReading {
    TSiteMeterId Meter;
    QDateTime Time; // UTC, when the pass ended
    // The meter answered at least one bank of the pass (values or a Modbus
    // exception): it is there, "online".
    bool Answered = false;
    bool Complete = false; // every bank of the pass was read
    QString Failure;       // why the last bank that failed did, when one did
    std::array<std::optional<double>, LogParameterCount> Values{};
    // The meter's exchanges since the logger started: requests, timeouts,
    // invalid replies and the rest, counted as the desktop utility counts them.
    TCommCounters Counters;
    // The wiring checks on this pass's values, in their fixed order; empty
    // when the pass did not bring every value they judge.
    std::vector<rWiringCheck> Wiring;

    // The meter's link as of the end of the pass.
    TLinkStatus LinkStatus;

    // The meter's identity as it reports it: its serial number (register
    // 149) and software version when this pass read them; its model text,
    // from its identification report (function 17), once it has given one.
    std::optional<int> SerialNumber;
    std::optional<double> SoftwareVersion;
    QString Model;

    // With the gateway on, what its clients asked of the meter so far.
    std::optional<TGatewayCounts> Gateway;
};
