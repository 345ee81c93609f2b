#pragma once

#include "GatewayQueue.h"
#include "MeterReading.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// What the gateway counts of one meter's unit, from its thread and the
// link's at once.
struct TGatewayCounters {
    std::atomic<uint64_t> Requests{0}, Answered{0}, NoAnswer{0}, LinkDown{0}, Busy{0}, Refused{0};

    // The counts as of now, for the meter at unit.
    TGatewayCounts Snapshot(uint8_t unit) const
    {
        return {unit, Requests.load(), Answered.load(), NoAnswer.load(), LinkDown.load(), Busy.load(), Refused.load()};
    }
};

// What the gateway and one link of the site share: the queue of the
// clients' requests for the link's meters, and each meter's counts.
struct TGatewayLink {
    explicit TGatewayLink(std::size_t meters) : Counters(meters) {}

    TGatewayQueue Queue;
    std::vector<TGatewayCounters> Counters; // by meter, in the link's order
};
