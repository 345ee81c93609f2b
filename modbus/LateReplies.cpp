#include "LateReplies.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace std::chrono_literals;

constexpr int BoundTimeouts = 8;
constexpr auto BoundCap = 10s;

std::chrono::milliseconds Ms(int64_t ms)
{
    return std::chrono::milliseconds(ms);
}

} // namespace

TLateReplies::Clock::duration TLateReplies::Bound(uint32_t receiveTimeoutMs)
{
    return std::min<Clock::duration>(BoundTimeouts * Ms(receiveTimeoutMs), BoundCap);
}

void TLateReplies::Unanswered(const uint8_t* request, int length, Clock::time_point sentAt, TSetAside setAside)
{
    if (setAside == TSetAside::ReplyOfMaybeAnswered)
        return;
    const TFrameMode mode{mode_, TConnectionMode::cmClient};
    TModbusBuffer decoded(SerialLayout(mode_).AduCapacity);
    if (length > 0 && DecodeFrame(mode, request, length, decoded))
        unanswered_.push_back({std::vector<uint8_t>(request, request + length), ServerAddressOf(decoded), sentAt,
                               setAside == TSetAside::ReplyOfUnanswered, true});
}

void TLateReplies::Taken(const uint8_t* request, int length, Clock::time_point sentAt)
{
    const auto same = [&](const TRequest& r) { return Same(r, request, length); };
    const auto copy = std::find_if(unanswered_.begin(), unanswered_.end(), same);
    if (copy == unanswered_.end())
        return;
    TRequest owed = std::move(*copy);
    std::erase_if(unanswered_, same);
    owed.SentAt = sentAt;
    owed.MaybeAnswered = false;
    owed.Guarded = true;
    unanswered_.push_back(std::move(owed));
}

bool TLateReplies::GuardNeeded() const
{
    return std::any_of(unanswered_.begin(), unanswered_.end(), [](const TRequest& r) { return r.Guarded; });
}

TLateReplies::Clock::time_point TLateReplies::CoveredUntil(uint32_t receiveTimeoutMs) const
{
    Clock::time_point until{};
    for (const TRequest& r : unanswered_)
        if (r.Guarded)
            until = std::max(until, r.SentAt + CoveredLateness(r.Server, receiveTimeoutMs));
    return until;
}

TLateReplies::Clock::duration TLateReplies::CoveredLateness(uint8_t server, uint32_t receiveTimeoutMs) const
{
    const auto heard = lateMs_.find(server);
    const auto covered = heard == lateMs_.end() ? Clock::duration{} : Ms(heard->second + heard->second / 4);
    return std::min<Clock::duration>(std::max<Clock::duration>(covered, 2 * Ms(receiveTimeoutMs)),
                                     Bound(receiveTimeoutMs));
}

int64_t TLateReplies::Heard(const uint8_t* raw, int n, Clock::time_point at, uint32_t receiveTimeoutMs)
{
    Forget(at, receiveTimeoutMs);
    const auto answered =
        std::find_if(unanswered_.begin(), unanswered_.end(), [&](const TRequest& r) { return Answers(r, raw, n); });
    if (answered == unanswered_.end())
        return -1;
    const int64_t lateMs = std::chrono::duration_cast<std::chrono::milliseconds>(at - answered->SentAt).count();
    int64_t& learned = lateMs_[answered->Server];
    learned = std::max(learned, lateMs);
    unanswered_.erase(answered);
    return lateMs > static_cast<int64_t>(receiveTimeoutMs) ? lateMs : -1;
}

void TLateReplies::GuardEnded(Clock::time_point now, uint32_t receiveTimeoutMs, bool heardQuiet)
{
    for (TRequest& r : unanswered_)
        r.Guarded = r.Guarded && heardQuiet && r.SentAt + CoveredLateness(r.Server, receiveTimeoutMs) > now;
    Forget(now, receiveTimeoutMs);
}

TLateReplies::TSetAside TLateReplies::Suspect(const uint8_t* request, int length, const uint8_t* raw, int n)
{
    const auto earlier = std::find_if(unanswered_.begin(), unanswered_.end(), [&](const TRequest& r) {
        return !Same(r, request, length) && Answers(r, raw, n);
    });
    if (earlier == unanswered_.end())
        return TSetAside::Nothing;
    const bool maybeAnswered = earlier->MaybeAnswered;
    unanswered_.erase(earlier);
    return maybeAnswered ? TSetAside::ReplyOfMaybeAnswered : TSetAside::ReplyOfUnanswered;
}

bool TLateReplies::Same(const TRequest& request, const uint8_t* frame, int length)
{
    return request.Frame.size() == static_cast<std::size_t>(length)
           && std::memcmp(request.Frame.data(), frame, request.Frame.size()) == 0;
}

// A request is forgotten once its reply would be later than the bound.
void TLateReplies::Forget(Clock::time_point now, uint32_t receiveTimeoutMs)
{
    std::erase_if(unanswered_, [&](const TRequest& r) { return r.SentAt + Bound(receiveTimeoutMs) <= now; });
}

// Whether the frame is a sound reply to the request, a Modbus exception
// included: from its server, to its function, with the count it asked for.
bool TLateReplies::Answers(const TRequest& request, const uint8_t* raw, int n) const
{
    const TFrameMode mode{mode_, TConnectionMode::cmClient};
    const int capacity = SerialLayout(mode_).AduCapacity;
    TModbusBuffer sent(capacity), reply(capacity);
    if (!DecodeFrame(mode, request.Frame.data(), static_cast<int>(request.Frame.size()), sent))
        return false;
    TExceptionInfo exception{};
    const TTransactionReply kind = ClassifyReply(mode, sent, false, raw, n, reply, exception);
    return kind == TTransactionReply::trSuccess || kind == TTransactionReply::trExceptionReply;
}
