#include "GatewayTurns.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = TGatewayTurns::Clock;

// One link with a 1 s interval, a 500 ms receive timeout and two meters,
// taken through passes and client requests step by step.
TEST(GatewayTurns, ClientsTakeOnlyTheRoomThePassesLeaveAndWaitNoLongerThanAnInterval)
{
    TGatewayTurns turns(2, 1s, 500ms);
    const Clock::time_point t0{};
    const auto request = [&](std::size_t meter, Clock::duration queuedAgo, Clock::time_point now) {
        TGatewayRequest request;
        request.Meter = meter;
        request.Queued = now - queuedAgo;
        return request;
    };
    // Before any pass: a request fits when its receive timeout ends before the next pass.
    EXPECT_TRUE(turns.Fits(request(0, 0ms, t0), t0, t0 + 500ms));
    EXPECT_FALSE(turns.Fits(request(0, 0ms, t0), t0, t0 + 499ms));
    // Inside the first pass, whose length is not known yet, none fits.
    turns.PassStarts(t0 + 1s);
    EXPECT_FALSE(turns.Fits(request(0, 0ms, t0 + 1s), t0 + 1s, {}));
    turns.PassEnds(t0 + 1s + 200ms); // 200 ms of the pass's own requests
    // The next pass: the request and the pass's remaining 200 ms must end within its interval.
    turns.PassStarts(t0 + 2s);
    EXPECT_TRUE(turns.Fits(request(0, 0ms, t0 + 2s), t0 + 2s, {}));
    turns.Served(0, 400ms);
    const Clock::time_point later = t0 + 2s + 400ms + 50ms; // 50 ms of the pass's own done
    EXPECT_TRUE(turns.Fits(request(0, 0ms, later), later, {}));  // 400 + 150 ms ends at 3 s
    EXPECT_FALSE(turns.Fits(request(1, 0ms, later), later, {})); // meter 1, still 500 ms: past 3 s
    turns.Served(1, 10ms);
    EXPECT_TRUE(turns.Fits(request(1, 0ms, later + 300ms), later + 300ms, {}));
    // A request that waited an interval goes at its turn, to be answered busy.
    EXPECT_FALSE(turns.Expired(request(0, 999ms, later), later));
    EXPECT_TRUE(turns.Expired(request(0, 1s, later), later));
    EXPECT_TRUE(turns.Fits(request(0, 1s, later), later, {}));
    // A pass whose own requests took more than the interval leaves no interval to keep: it goes.
    turns.PassEnds(t0 + 2s + 1500ms);
    EXPECT_FALSE(turns.Expired(request(0, 1s, t0 + 4s), t0 + 4s));
    EXPECT_TRUE(turns.Fits(request(0, 0s, t0 + 4s), t0 + 4s, t0 + 4s));
}
