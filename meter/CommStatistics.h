#pragma once

// How each meter's link has fared: every meter operation's exchange is
// counted for the meter it went to, so that a link that loses or garbles
// replies shows it even while the values on screen still arrive.

#include "Exchange.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

// Which meter an exchange went to: its link ("/dev/ttyUSB0 19200",
// "192.168.1.5:502 TCP") and its Modbus address. The display name is shown
// when known but does not tell meters apart: the latest non-empty one given
// for a meter is kept.
struct TMeterKey {
    QString Link;
    uint8_t Address = 1;
    QString Name = {};

    bool SameMeter(const TMeterKey& other) const { return Link == other.Link && Address == other.Address; }
};

// One meter's counts since it was first seen or since the last reset.
//
// Requests are the frames sent that the meter answered soundly (OK), with a
// Modbus exception, with a reply that was not a valid answer (bad CRC, wrong
// unit, function or length, a broken frame), or not at all within the
// receive timeout: Requests = OK + Timeouts + Invalid + Exceptions.
// A link failure (a TCP connection that could not be made or broke, a serial
// port that went away) is not a request: it is counted under its own
// heading. Retries are tries beyond the first of the same request.
// Round trips are those of the replies the meter sent soundly (OK or an
// exception), in microseconds; -1 while there is none.
struct TCommCounters {
    TMeterKey Meter;
    int64_t Requests = 0;
    int64_t Ok = 0;
    int64_t Timeouts = 0;
    int64_t Invalid = 0;
    int64_t Exceptions = 0;
    int64_t LinkFailures = 0;
    int64_t Retries = 0;
    // Late replies the link heard and threw away, from a request that had
    // already timed out: a sign that the receive timeout is too short.
    int64_t LateReplies = 0;
    int64_t LastRoundTripUs = -1;
    int64_t SlowestRoundTripUs = -1;

    // "Requests 120 · OK 118 · Timeouts 2 · Invalid 0 · Exceptions 0 ·
    // Link failures 0 · Retries 2 · last 12 ms, slowest 85 ms"; the late
    // replies (" · Late replies 2" after the retries) only once there is
    // one, the round trips only once a reply has come.
    QString Summary() const;
};

class TCommStatistics : public QObject {
    Q_OBJECT
public:
    explicit TCommStatistics(QObject* parent = nullptr);

    // Counts one meter operation's exchange. repeat: the operation tries
    // again a request whose previous try failed (a bank pass's further
    // tries), so its first attempt is a retry too. Exchanges of requests the
    // program refused itself (nothing sent: a read from address 0, a count
    // or register out of range) and of requests dropped by the program (a
    // stop, a port closed or an address changed meanwhile) count nothing.
    void Add(const TMeterKey& meter, const TExchange& exchange, bool repeat = false);
    // Every meter's counts back to zero and its round trips to none; the
    // meters stay listed.
    void Reset();

    // The meters in the order they were first seen.
    const std::vector<TCommCounters>& Meters() const { return meters_; }
    // The counts of one meter, or null when nothing was counted for it.
    const TCommCounters* Find(const TMeterKey& meter) const;

    // A round trip in milliseconds, as the summary and the window show it:
    // one decimal below 10 ms, none above; empty for none (-1).
    static QString MsText(int64_t roundTripUs);

signals:
    // Something was counted, or the counts were reset.
    void Changed();

private:
    TCommCounters& RecordOf(const TMeterKey& meter);

    std::vector<TCommCounters> meters_;
};
