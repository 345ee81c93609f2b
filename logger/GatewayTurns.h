#pragma once

#include "GatewayRequest.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <vector>

// When a client's request may go on a link without costing the logger its
// interval. The logger's own pass must end within the interval from its
// start: during a pass a request goes into a gap only when it and the rest
// of the pass, as long as the longest of the last passes' own requests
// took (the whole interval before the first pass), still end in time;
// between passes only when it ends before the next one starts. A
// request is expected to take as long as the last client request to the
// same meter did (the meter's receive timeout before any), so a silent
// meter's requests are held back while a live meter's go. A request that
// has waited a whole interval has found no room: it is answered busy
// (exception 6) at its turn, so that no client waits for ever on a link
// whose clients ask more than the logger's passes leave room for. On a
// link whose passes take the whole interval or more, where there is no
// interval to keep, every request goes at its turn: one between each two
// of the logger's.
class TGatewayTurns {
public:
    using Clock = std::chrono::steady_clock;

    TGatewayTurns(std::size_t meters, Clock::duration interval, Clock::duration receiveTimeout);

    void PassStarts(Clock::time_point now);
    void PassEnds(Clock::time_point now);
    // A client's exchange with the meter took this long, within a pass or not.
    void Served(std::size_t meter, Clock::duration took);
    // One of the logger's own exchanges with the meter took this long.
    void Heard(std::size_t meter, Clock::duration took);

    // Whether the request may go now, or be answered busy now (Expired);
    // next: when the next pass starts.
    bool Fits(const TGatewayRequest& request, Clock::time_point now, Clock::time_point next) const;
    bool Expired(const TGatewayRequest& request, Clock::time_point now) const;

private:
    // The longest of the last passes' own requests; the interval before the first.
    Clock::duration Own() const;
    // The last passes' own requests took the interval or more.
    bool NoIntervalToKeep() const;

    const Clock::duration interval_;
    std::vector<Clock::duration> expected_; // by meter
    bool inPass_ = false;
    Clock::time_point passStart_;
    Clock::duration clientsInPass_{};       // client time spent inside this pass
    // The own requests' time of the last passes, going round: a silent
    // meter that the back-off asks now and then makes some passes longer.
    std::array<Clock::duration, 8> own_{};
    std::size_t passes_ = 0;
};
