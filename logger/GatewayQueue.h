#pragma once

#include "GatewayRequest.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

// The clients' requests that wait for one link, bounded, taken from the
// clients in turn so that one that asks without a pause holds up no other.
// Filled by the gateway's thread, emptied by the link's.
class TGatewayQueue {
public:
    // Requests waiting for the link, of all clients and of one.
    static constexpr std::size_t Capacity = 32;
    static constexpr std::size_t PerClient = 4;

    // False when the queue, or the client's share of it, is full: the
    // caller answers that the server is busy. Then wakes the link.
    bool Push(TGatewayRequest request);
    // The oldest request of the client after the one served last, in the
    // order of the clients' numbers, going round; none when empty or when
    // fits, asked of that request, says it may not go yet.
    std::optional<TGatewayRequest> Take(const std::function<bool(const TGatewayRequest&)>& fits);
    // The requests of a client that is gone are answered to nobody.
    void Forget(uint64_t client);
    bool Empty() const;
    // Called after each request taken in, in the gateway's thread, under
    // the queue's lock: it must not use the queue. Once this returns, the
    // wake it replaces is called no more.
    void SetOnPush(std::function<void()> wake);

private:
    mutable std::mutex mutex_;
    std::deque<TGatewayRequest> requests_; // in the order they came
    uint64_t lastClient_ = 0;              // the client served last
    std::function<void()> wake_;
};
