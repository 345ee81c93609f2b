#include "LineRelay.h"

#include "RawTty.h"

#include <algorithm>

namespace {

constexpr int64_t BitsPerCharacter = 10; // start bit, 8 data bits, stop bit

// A character read at readAt finishes one character time after it could
// start: at once, or when the one before it has finished.
TPacedForwarder::TSchedule LineSchedule(TMonotonic character)
{
    return [character, finished = TMonotonic{}](TMonotonic readAt) mutable {
        finished = std::max(readAt, finished) + character;
        return finished;
    };
}

} // namespace

TLineRelay::TLineRelay(const std::string& meterPort, uint32_t baud)
    : character_(BitsPerCharacter * 1000000000 / baud)
    , client_()
    , meter_(OpenRawTty(meterPort))
    , toMeter_(client_.Master(), meter_.Get(), LineSchedule(character_), character_)
    , toClient_(meter_.Get(), client_.Master(), LineSchedule(character_), character_)
{
    // A master that opens its port without setting it up sees the bytes as
    // sent; nothing can arrive before a master has opened it.
    MakeRaw(client_.Slave(), client_.SlavePath());
}

std::vector<TMonotonic> TLineRelay::Lateness() const
{
    std::vector<TMonotonic> all = toMeter_.Lateness();
    const std::vector<TMonotonic> back = toClient_.Lateness();
    all.insert(all.end(), back.begin(), back.end());
    return all;
}
