#pragma once

// What one meter operation did on the wire, handed back by the operation
// itself: its result code, and every frame sent with its own outcome and
// times, and every frame heard and thrown away meanwhile. Nothing about an
// exchange is kept in the link, so an operation that runs inside the wait
// of another cannot overwrite what the outer one reports.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

struct TAttempt {
    int64_t SentAt = 0;       // wall-clock ms since the epoch; 0: input thrown away, nothing sent
    int64_t RoundTripUs = -1; // request out to reply or to the end of the wait; -1 when unknown
    QByteArray Request;
    QByteArray Reply;
    int32_t Result = 0;       // a result code of the link (TKelvane::ErrorCode)
    QString Outcome;          // in words: "OK", "Timeout", "Invalid reply (CRC)", "Late reply discarded", ...
    // A late reply thrown away: how long after its own request's sending
    // it came, in ms; -1 for anything else.
    int64_t LateMs = -1;
};

struct TExchange {
    int32_t Result = -99999; // MeterResult::Pending until the operation ends
    std::vector<TAttempt> Attempts;

    // The frames of the last attempt that sent something.
    QByteArray Request() const;
    QByteArray Reply() const;
};
