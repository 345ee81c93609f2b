#pragma once

#include "RequestDispatcher.h"
#include "RtuRequestReader.h"
#include "StreamFraming.h"

// RTU over TCP: the stream carries the bytes of a serial line, and the
// meters behave as on one. TRtuRequestReader delimits the requests (by
// their function's length, else by the line's silence); a wrong CRC and an
// address no meter has get no reply, a broadcast is executed without one.
// A connection never closes over what it receives: as on a bus, a bad
// frame only spoils the bytes up to the next silence.
class TRtuStreamFraming final : public TStreamFraming {
public:
    TRtuStreamFraming(TRequestDispatcher& dispatcher, uint32_t silenceMs);

    // One frame's worth: a read then holds at most 64 requests of the
    // smallest kind (4 bytes), however the client packs them.
    std::size_t ReadLimit() const override;
    rTaken Take(std::span<const uint8_t> bytes) override;
    std::optional<std::chrono::milliseconds> SilenceLeft() const override;

private:
    TRequestDispatcher& Dispatcher;
    TRtuRequestReader Reader;
};
