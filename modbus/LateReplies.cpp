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

void TLateReplies::Unanswered(const uint8_t* request, int length, Clock::time_point sentAt, TSetAside setAside,
                              bool heard)
{
    const int server = ServerOf(request, length);
    if (server < 0)
        return;
    if (heard)
        silent_.erase(static_cast<uint8_t>(server));
    if (setAside == TSetAside::ReplyOfMaybeAnswered)
        return;
    unanswered_.push_back({std::vector<uint8_t>(request, request + length), static_cast<uint8_t>(server), sentAt,
                           setAside == TSetAside::ReplyOfUnanswered, true, heard});
}

void TLateReplies::Taken(const uint8_t* request, int length, Clock::time_point sentAt)
{
    if (const int server = silent_.empty() ? -1 : ServerOf(request, length); server >= 0)
        silent_.erase(static_cast<uint8_t>(server));
    const auto same = [&](const TRequest& r) { return Same(r, request, length); };
    const auto copy = std::find_if(unanswered_.begin(), unanswered_.end(), same);
    if (copy == unanswered_.end())
        return;
    TRequest owed = std::move(*copy);
    std::erase_if(unanswered_, same);
    // A copy owed once already, whose guard then heard the line quiet: the
    // reply taken then was its twin's own, so this one's is its own too, and
    // the copy stays as it was until the bound. Guarded afresh at every
    // answer, a request repeated back to back would wait a guard each time
    // for as long as it is repeated.
    if (!owed.Owed || owed.Guarded) {
        owed.SentAt = sentAt;
        owed.MaybeAnswered = false;
        owed.Guarded = true;
        owed.Heard = true;
        owed.Owed = true;
    }
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
            until = std::max(until, r.SentAt + Covered(r, receiveTimeoutMs));
    return until;
}

// Nothing heard after the request of a silent server: no reply of its was
// under way when its wait ended, and none is looked for beyond it.
TLateReplies::Clock::duration TLateReplies::Covered(const TRequest& request, uint32_t receiveTimeoutMs) const
{
    if (!request.Heard && silent_.contains(request.Server))
        return Ms(receiveTimeoutMs);
    return CoveredLateness(request.Server, receiveTimeoutMs);
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
    for (TRequest& r : unanswered_)
        r.Heard = true;
    const auto answered =
        std::find_if(unanswered_.begin(), unanswered_.end(), [&](const TRequest& r) { return Answers(r, raw, n); });
    if (answered == unanswered_.end())
        return -1;
    const int64_t lateMs = std::chrono::duration_cast<std::chrono::milliseconds>(at - answered->SentAt).count();
    int64_t& learned = lateMs_[answered->Server];
    learned = std::max(learned, lateMs);
    silent_.erase(answered->Server);
    unanswered_.erase(answered);
    return lateMs > static_cast<int64_t>(receiveTimeoutMs) ? lateMs : -1;
}

void TLateReplies::GuardEnded(Clock::time_point now, uint32_t receiveTimeoutMs, bool heardQuiet)
{
    for (TRequest& r : unanswered_) {
        if (r.Guarded && !r.Heard && r.SentAt + CoveredLateness(r.Server, receiveTimeoutMs) <= now)
            silent_.insert(r.Server);
        r.Guarded = r.Guarded && heardQuiet && r.SentAt + Covered(r, receiveTimeoutMs) > now;
    }
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
    silent_.erase(earlier->Server);
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

// The server a request frame goes to; -1 for a frame that decodes to none.
int TLateReplies::ServerOf(const uint8_t* request, int length) const
{
    const TFrameMode mode{mode_, TConnectionMode::cmClient};
    TModbusBuffer decoded(SerialLayout(mode_).AduCapacity);
    if (length <= 0 || !DecodeFrame(mode, request, length, decoded))
        return -1;
    return ServerAddressOf(decoded);
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
