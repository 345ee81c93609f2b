#include "GatewayQueue.h"

#include <algorithm>

// The link is woken under the lock, so that none is woken once SetOnPush
// has taken its wake away.
bool TGatewayQueue::Push(TGatewayRequest request)
{
    const std::lock_guard lock(mutex_);
    const auto ofClient = std::count_if(requests_.begin(), requests_.end(),
                                        [&](const TGatewayRequest& r) { return r.Client == request.Client; });
    if (requests_.size() >= Capacity || std::size_t(ofClient) >= PerClient)
        return false;
    requests_.push_back(std::move(request));
    if (wake_)
        wake_();
    return true;
}

std::optional<TGatewayRequest> TGatewayQueue::Take(const std::function<bool(const TGatewayRequest&)>& fits)
{
    const std::lock_guard lock(mutex_);
    if (requests_.empty())
        return std::nullopt;
    // The next client up from the last one served, else the lowest.
    auto next = requests_.end();
    auto lowest = requests_.begin();
    for (auto it = requests_.begin(); it != requests_.end(); ++it) {
        if (it->Client > lastClient_ && (next == requests_.end() || it->Client < next->Client))
            next = it;
        if (it->Client < lowest->Client)
            lowest = it;
    }
    const auto taken = next != requests_.end() ? next : lowest;
    if (!fits(*taken))
        return std::nullopt;
    TGatewayRequest request = std::move(*taken);
    requests_.erase(taken);
    lastClient_ = request.Client;
    return request;
}

void TGatewayQueue::Forget(uint64_t client)
{
    const std::lock_guard lock(mutex_);
    std::erase_if(requests_, [client](const TGatewayRequest& r) { return r.Client == client; });
}

bool TGatewayQueue::Empty() const
{
    const std::lock_guard lock(mutex_);
    return requests_.empty();
}

void TGatewayQueue::SetOnPush(std::function<void()> wake)
{
    const std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}
