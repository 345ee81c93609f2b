#include "ReplyTiming.h"

TReplyTiming::TReplyTiming(int delayMs, rLateReplies late)
    : DelayMs(delayMs), Late(late), Random(std::random_device{}())
{
}

std::chrono::milliseconds TReplyTiming::Next()
{
    int ms = DelayMs;
    if (Late.Percent > 0 && std::uniform_int_distribution<int>(1, 100)(Random) <= Late.Percent)
        ms += std::uniform_int_distribution<int>(Late.MinMs, Late.MaxMs)(Random);
    return std::chrono::milliseconds(ms);
}
