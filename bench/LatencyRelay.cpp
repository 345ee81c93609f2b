#include "LatencyRelay.h"

#include "LoopbackSockets.h"

#include <poll.h>

#include <algorithm>
#include <stdexcept>

namespace {

// How late input that comes while earlier bytes wait may be stamped.
constexpr TMonotonic StampResolution = std::chrono::microseconds(100);

TPacedForwarder::TSchedule Delayed(TMonotonic latency, TMonotonic notBefore)
{
    return [=](TMonotonic readAt) { return std::max(readAt, notBefore) + latency; };
}

} // namespace

struct TLatencyRelay::rConnection {
    rConnection(TUniqueFd accepted, uint16_t upstreamPort, TMonotonic latency, TMonotonic acceptedAt)
        : Client(std::move(accepted))
        , Upstream(ConnectToLoopback(upstreamPort))
        , Up(Client.Get(), Upstream.Get(), Delayed(latency, acceptedAt + 2 * latency), StampResolution)
        , Down(Upstream.Get(), Client.Get(), Delayed(latency, TMonotonic{}), StampResolution)
    {
    }
    bool Ended() const { return Up.Ended() && Down.Ended(); }

    TUniqueFd Client;
    TUniqueFd Upstream;
    TPacedForwarder Up;
    TPacedForwarder Down;
};

TLatencyRelay::TLatencyRelay(uint16_t upstreamPort, TMonotonic latency)
    : upstreamPort_(upstreamPort)
    , latency_(latency)
    , listener_(ListenOnLoopback())
    , port_(LocalPort(listener_.Get()))
    , thread_([this] { Run(); })
{
}

TLatencyRelay::~TLatencyRelay()
{
    stop_.Raise();
    thread_.join();
}

void TLatencyRelay::Run()
{
    for (;;) {
        pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {stop_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0)
            return;
        if (fds[0].revents != 0)
            Relay();
    }
}

void TLatencyRelay::Relay()
{
    open_.remove_if([](const std::unique_ptr<rConnection>& c) { return c->Ended(); });
    try {
        TUniqueFd client = AcceptFrom(listener_.Get());
        const TMonotonic acceptedAt = MonotonicNow();
        ++connections_;
        open_.push_back(std::make_unique<rConnection>(std::move(client), upstreamPort_, latency_, acceptedAt));
    } catch (const std::runtime_error&) {
        // A client whose upstream connection fails sees its own connection
        // closed; the relay goes on.
    }
}
