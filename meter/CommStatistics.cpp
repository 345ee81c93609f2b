#include "CommStatistics.h"

#include "MeterResult.h"

#include <algorithm>

namespace {

enum class THeading { Ok, Timeout, Invalid, Exception, LinkFailure, None };

// Where a result code of the link is counted. The meter's exception codes
// are the positive ones; codes of requests the program refused or dropped
// itself, and frames thrown away, count nowhere. Any other code is a reply
// the link could not take for an answer.
THeading HeadingOf(int32_t result)
{
    switch (result) {
    case MeterResult::Success: return THeading::Ok;
    case MeterResult::NoReply: return THeading::Timeout;
    case MeterResult::PortLost:
    case MeterResult::SocketError:
    case MeterResult::SocketWriteError:
    case MeterResult::SocketReadError:
    case MeterResult::SocketNotConnected: return THeading::LinkFailure;
    case MeterResult::InvalidCount:
    case MeterResult::Cancelled:
    case MeterResult::ReadFromBroadcast:
    case MeterResult::RegisterOutOfRange:
    case MeterResult::Discarded:
    case MeterResult::Pending: return THeading::None;
    default: return result > 0 ? THeading::Exception : THeading::Invalid;
    }
}

struct TTry {
    int32_t Result;
    int64_t RoundTripUs;
};

// The tries of an exchange: its attempts that sent something, or, when it
// ended before any (a port already lost, no TCP connection, no outcome in
// time), the exchange's own result.
std::vector<TTry> TriesOf(const TExchange& exchange)
{
    std::vector<TTry> tries;
    for (const TAttempt& attempt : exchange.Attempts)
        if (attempt.SentAt != 0)
            tries.push_back({attempt.Result, attempt.RoundTripUs});
    if (tries.empty())
        tries.push_back({exchange.Result, -1});
    return tries;
}

void Count(TCommCounters& c, THeading heading, int64_t roundTripUs)
{
    switch (heading) {
    case THeading::Ok: ++c.Ok; break;
    case THeading::Timeout: ++c.Timeouts; break;
    case THeading::Invalid: ++c.Invalid; break;
    case THeading::Exception: ++c.Exceptions; break;
    case THeading::LinkFailure: ++c.LinkFailures; return;
    case THeading::None: return;
    }
    ++c.Requests;
    // Only a reply the meter sent soundly times the meter; a timeout's
    // round trip is the receive timeout.
    if ((heading == THeading::Ok || heading == THeading::Exception) && roundTripUs >= 0) {
        c.LastRoundTripUs = roundTripUs;
        c.SlowestRoundTripUs = std::max(c.SlowestRoundTripUs, roundTripUs);
    }
}

auto IsMeter(const TMeterKey& meter)
{
    return [&meter](const TCommCounters& c) { return c.Meter.SameMeter(meter); };
}

} // namespace

QString TCommCounters::Summary() const
{
    QString text = QString("Requests %1 · OK %2 · Timeouts %3 · Invalid %4 · Exceptions %5 · Link failures %6 · "
                           "Retries %7")
                       .arg(Requests)
                       .arg(Ok)
                       .arg(Timeouts)
                       .arg(Invalid)
                       .arg(Exceptions)
                       .arg(LinkFailures)
                       .arg(Retries);
    if (LateReplies > 0)
        text += QString(" · Late replies %1").arg(LateReplies);
    if (LastRoundTripUs >= 0)
        text += QString(" · last %1 ms, slowest %2 ms")
                    .arg(TCommStatistics::MsText(LastRoundTripUs), TCommStatistics::MsText(SlowestRoundTripUs));
    return text;
}

TCommStatistics::TCommStatistics(QObject* parent)
    : QObject(parent)
{
}

void TCommStatistics::Add(const TMeterKey& meter, const TExchange& exchange, bool repeat)
{
    TCommCounters* record = nullptr;
    bool retry = repeat;
    for (const TTry& t : TriesOf(exchange)) {
        const THeading heading = HeadingOf(t.Result);
        if (heading == THeading::None)
            continue;
        if (!record)
            record = &RecordOf(meter);
        Count(*record, heading, t.RoundTripUs);
        if (retry)
            ++record->Retries;
        retry = true;
    }
    const auto late = std::count_if(exchange.Attempts.begin(), exchange.Attempts.end(),
                                    [](const TAttempt& a) { return a.LateMs >= 0; });
    if (late > 0) {
        if (!record)
            record = &RecordOf(meter);
        record->LateReplies += late;
    }
    if (record)
        emit Changed();
}

void TCommStatistics::Reset()
{
    for (TCommCounters& c : meters_)
        c = TCommCounters{c.Meter};
    emit Changed();
}

const TCommCounters* TCommStatistics::Find(const TMeterKey& meter) const
{
    const auto found = std::find_if(meters_.begin(), meters_.end(), IsMeter(meter));
    return found == meters_.end() ? nullptr : &*found;
}

TCommCounters& TCommStatistics::RecordOf(const TMeterKey& meter)
{
    const auto found = std::find_if(meters_.begin(), meters_.end(), IsMeter(meter));
    if (found == meters_.end())
        return meters_.emplace_back(TCommCounters{meter});
    if (!meter.Name.isEmpty())
        found->Meter.Name = meter.Name;
    return *found;
}

QString TCommStatistics::MsText(int64_t roundTripUs)
{
    if (roundTripUs < 0)
        return {};
    return QString::number(static_cast<double>(roundTripUs) / 1000.0, 'f', roundTripUs < 10000 ? 1 : 0);
}
