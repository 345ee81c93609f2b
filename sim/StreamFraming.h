#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// How Modbus travels on a TCP stream: in MBAP frames (Modbus/TCP), or in RTU
// frames exactly as on the serial line, as a serial device server in
// transparent mode passes them on (RTU over TCP).
enum class TFraming { Mbap, Rtu };

// One connection's side of that framing: where a request ends in the bytes
// received and what goes back for it. One object per connection, since a
// frame may arrive in pieces.
class TStreamFraming {
public:
    struct rTaken {
        std::vector<std::vector<uint8_t>> Replies; // framed, in request order
        int Requests = 0;                          // completed, answered or not
        bool Broken = false;                       // no frame can follow: close the connection
    };

    virtual ~TStreamFraming() = default;

    // The most bytes the next read may take, so that a connection neither
    // holds nor answers more than a frame's worth at a time.
    virtual std::size_t ReadLimit() const = 0;
    // Takes the bytes received just now (none: only time has passed) and
    // answers the requests they complete.
    virtual rTaken Take(std::span<const uint8_t> bytes) = 0;
    // How long until a silence ends the request under way; nothing while no
    // silence can end one.
    virtual std::optional<std::chrono::milliseconds> SilenceLeft() const = 0;
};
