#pragma once

// An exchange of a single attempt, as the meter link hands one back, for
// tests and benchmarks of what shows exchanges.

#include "Exchange.h"

namespace testsupport {

struct TTiming {
    int64_t SentAt = 0;
    int64_t RoundTripUs = -1;
};

inline TExchange OneAttempt(const QByteArray& query, const QByteArray& reply, int32_t result, TTiming timing = {})
{
    TExchange exchange;
    exchange.Result = result;
    exchange.Attempts.push_back({timing.SentAt, timing.RoundTripUs, query, reply, result, {}});
    return exchange;
}

} // namespace testsupport
