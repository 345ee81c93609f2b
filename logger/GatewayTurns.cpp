#include "GatewayTurns.h"

#include <algorithm>

TGatewayTurns::TGatewayTurns(std::size_t meters, Clock::duration interval, Clock::duration receiveTimeout)
    : interval_(interval), expected_(meters, receiveTimeout)
{
}

void TGatewayTurns::PassStarts(Clock::time_point now)
{
    inPass_ = true;
    passStart_ = now;
    clientsInPass_ = {};
}

void TGatewayTurns::PassEnds(Clock::time_point now)
{
    inPass_ = false;
    own_[passes_++ % own_.size()] = now - passStart_ - clientsInPass_;
}

void TGatewayTurns::Served(std::size_t meter, Clock::duration took)
{
    Heard(meter, took);
    if (inPass_)
        clientsInPass_ += took;
}

void TGatewayTurns::Heard(std::size_t meter, Clock::duration took)
{
    expected_[meter] = took;
}

bool TGatewayTurns::Fits(const TGatewayRequest& request, Clock::time_point now, Clock::time_point next) const
{
    if (now - request.Queued >= interval_ || NoIntervalToKeep())
        return true;
    const Clock::time_point end = now + expected_[request.Meter];
    if (!inPass_)
        return end <= next;
    const Clock::duration ownSoFar = now - passStart_ - clientsInPass_;
    return end + std::max(Own() - ownSoFar, Clock::duration{}) <= passStart_ + interval_;
}

bool TGatewayTurns::Expired(const TGatewayRequest& request, Clock::time_point now) const
{
    return now - request.Queued >= interval_ && !NoIntervalToKeep();
}

bool TGatewayTurns::NoIntervalToKeep() const
{
    return passes_ > 0 && Own() >= interval_;
}

TGatewayTurns::Clock::duration TGatewayTurns::Own() const
{
    return passes_ == 0 ? interval_ : *std::max_element(own_.begin(), own_.begin() + std::min(passes_, own_.size()));
}
