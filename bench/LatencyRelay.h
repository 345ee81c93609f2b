#pragma once

// A TCP link with a fixed latency each way, on 127.0.0.1. A client connects
// to Port(); for each connection the relay connects to the upstream server
// and forwards the bytes of each direction one latency after it read them.
// The end of a connection (a side that shuts down or closes) reaches the
// other side one latency later too. Connections may come one after another
// or overlap; each has its own pair of threads, and the ones that ended are
// cleaned up at the next accept.
//
// The handshake: the kernel completes a connect to a loopback listener at
// once, before the relay accepts it, so the client's connect() returns
// without delay. The round trip that a new connection costs is charged to
// its first bytes instead: nothing goes upstream earlier than one latency
// after (accept + two latencies), which is when the request of a client
// that sends as soon as a real connect returns would arrive. So a connect
// followed by a request and its reply takes four latencies, as over a real
// link; only a client that times connect() alone sees the difference.

#include "Descriptors.h"
#include "PacedForwarder.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <thread>

class TLatencyRelay {
public:
    // Throws std::runtime_error when it cannot listen.
    TLatencyRelay(uint16_t upstreamPort, TMonotonic latency);
    ~TLatencyRelay();
    TLatencyRelay(const TLatencyRelay&) = delete;
    TLatencyRelay& operator=(const TLatencyRelay&) = delete;

    uint16_t Port() const { return port_; }
    // The connections accepted so far.
    int Connections() const { return connections_; }

private:
    struct rConnection;

    void Run();
    void Relay();

    uint16_t upstreamPort_;
    TMonotonic latency_;
    TUniqueFd listener_;
    uint16_t port_;
    std::atomic<int> connections_{0};
    std::list<std::unique_ptr<rConnection>> open_;
    TWakeFd stop_;
    std::thread thread_;
};
