#pragma once

#include <chrono>
#include <cstdint>
#include <random>

// A share of the replies sent late, each by a time drawn at random from a
// range, as a meter or gateway that is now and then slow to answer.
struct rLateReplies {
    int Percent = 0; // 0: none
    int MinMs = 0;
    int MaxMs = 0;
};

// How long each reply waits before it goes out: --delay for every reply,
// and for a reply --late picks, a random time in its range on top.
class TReplyTiming {
public:
    TReplyTiming(int delayMs, rLateReplies late);

    std::chrono::milliseconds Next();

private:
    int DelayMs;
    rLateReplies Late;
    std::mt19937 Random;
};
