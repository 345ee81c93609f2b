#pragma once

// When to tell the technician that a meter answers later than the receive
// timeout allows, so that the timeout can be raised: "Meter 3 answered
// 1,180 ms after its request; the receive timeout is 500 ms". Said once per
// meter, and again only when the meter has answered a quarter later still
// than the last time it was said, or the receive timeout has changed since.
// The window and the logger both ask it after every try.

#include "CommStatistics.h"
#include "Exchange.h"

#include <QString>

#include <vector>

class TLateReplyNotice {
public:
    // The text to show for this exchange of the meter, or an empty one.
    QString Note(const TMeterKey& meter, const TExchange& exchange, int receiveTimeoutMs);

    static QString Text(uint8_t address, int64_t lateMs, int receiveTimeoutMs);

private:
    struct TSaid {
        TMeterKey Meter;
        int64_t LateMs;
        int ReceiveTimeoutMs;
    };
    std::vector<TSaid> said_;
};
