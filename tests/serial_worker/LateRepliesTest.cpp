#include "LateReplies.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

// A request whose reply was lost, then repeated back to back and answered
// each time: its answered twin leaves one guard for the reply it may still
// be owed, and once that guard heard the line quiet, the next answers leave
// none, where each answer used to bring a guard of its own.
TEST(LateReplies, ARequestRepeatedAfterALostReplyIsGuardedOnceNotAtEveryAnswer)
{
    uint8_t frame[8] = {1, 3, 0, 0, 0, 2};
    const uint16_t crc = Crc16(frame, 6);
    frame[6] = uint8_t(crc & 0xFF), frame[7] = uint8_t(crc >> 8);
    TLateReplies late(TTransmissionMode::tmRTU);
    const TLateReplies::Clock::time_point t0{};
    late.Unanswered(frame, 8, t0, TLateReplies::TSetAside::Nothing, true);
    late.GuardEnded(t0 + 2s, 500, true);
    const bool guardedAfterLoss = late.GuardNeeded();
    late.Taken(frame, 8, t0 + 2s);
    EXPECT_TRUE(late.GuardNeeded()) << "the twin's reply may still come";
    late.GuardEnded(t0 + 3s + 100ms, 500, true);
    for (auto at = t0 + 3s + 200ms; at < t0 + 4s; at += 100ms) {
        late.Taken(frame, 8, at);
        EXPECT_FALSE(late.GuardNeeded());
    }
    EXPECT_FALSE(guardedAfterLoss);
}
