#include "MeterBackOff.h"

#include <algorithm>

TMeterBackOff::TMeterBackOff(std::chrono::milliseconds interval, bool on)
    : interval_(interval),
      longestSpacing_(static_cast<int>(std::max<std::chrono::milliseconds::rep>(1, Bound / interval))), on_(on)
{
}

bool TMeterBackOff::AskNow()
{
    if (skip_ == 0)
        return true;
    --skip_;
    return false;
}

bool TMeterBackOff::Note(bool answered, bool missed)
{
    if (answered) {
        missed_ = 0;
        spacing_ = 1;
        return false;
    }
    if (!missed || !on_)
        return false;
    missed_ = std::min(missed_ + 1, SilentPasses);
    if (missed_ < SilentPasses || longestSpacing_ == 1)
        return false;
    const bool starts = spacing_ == 1;
    spacing_ = std::min(2 * spacing_, longestSpacing_);
    skip_ = spacing_ - 1;
    return starts;
}
