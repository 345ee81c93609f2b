#pragma once

// How often and how hard a meter that keeps silent is asked, so that a dead
// meter does not hold the others of its bus. Once it has missed a pass, each
// pass that asks it tries each bank once: that is enough to find it back,
// and a dead meter then costs one timeout a pass. After SilentPasses passes
// in a row in which it was asked and answered nothing, it is asked at every
// 2nd interval, then at every 4th, 8th and so on, but at least once in Bound
// (at every interval, when one interval is that long already). Its first
// answer ends both. The intervals it is not asked in still give it a reading
// without values, so that its file shows the gap at every interval.

#include <chrono>

class TMeterBackOff {
public:
    static constexpr int SilentPasses = 3;
    static constexpr std::chrono::seconds Bound{300};

    // on: false for a meter that holds up no other, which is then asked at
    // every interval with all its tries.
    TMeterBackOff(std::chrono::milliseconds interval, bool on);

    // At each interval: whether the meter is asked in it.
    bool AskNow();
    // The tries of each bank in a pass that asks it.
    int Tries(int tries) const { return missed_ > 0 ? 1 : tries; }
    // After a pass that asked it: whether it answered, and whether it missed
    // (asked over a working link, it answered nothing); a pass whose link was
    // down is neither. True when the back-off starts with this pass.
    bool Note(bool answered, bool missed);
    // The longest time from one pass that asks the meter to the next.
    std::chrono::milliseconds Longest() const { return longestSpacing_ * interval_; }

private:
    const std::chrono::milliseconds interval_;
    const int longestSpacing_; // in intervals
    const bool on_;
    int missed_ = 0;           // passes missed in a row
    int spacing_ = 1;          // intervals from one pass that asks to the next
    int skip_ = 0;             // intervals still to pass without asking
};
