#include "SitePageJson.h"

#include "QuantityKey.h"
#include "QuantityUnits.h"
#include "WiringVerdicts.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace SitePageJson {
namespace {

// UTC with milliseconds, "2026-05-04T10:15:00.250Z"; null when there is none.
QJsonValue Time(const QDateTime& time)
{
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

QJsonValue Now()
{
    return Time(QDateTime::currentDateTimeUtc());
}

// Milliseconds; null before the first reply.
QJsonValue RoundTrip(int64_t microseconds)
{
    return microseconds < 0 ? QJsonValue() : QJsonValue(double(microseconds) / 1000);
}

QString LinkKindText(TLinkStatus::TKind kind)
{
    switch (kind) {
    case TLinkStatus::TKind::Connected: return "connected";
    case TLinkStatus::TKind::Lost: return "lost";
    case TLinkStatus::TKind::Refused: return "refused";
    case TLinkStatus::TKind::Unknown: break;
    }
    return "unknown";
}

// Every quantity selected for the meter, with the value of the latest pass
// or null.
QJsonArray Values(const TPageMeter& meter)
{
    QJsonArray values;
    for (std::size_t i = 0; i < LogParameterCount; ++i) {
        if (!meter.Selection[i])
            continue;
        QJsonValue value;
        if (meter.Latest && meter.Latest->Values[i])
            value = *meter.Latest->Values[i];
        values.append(QJsonObject{{"key", QuantityKeys()[i]},
                                  {"caption", LogParameters[i].Caption},
                                  {"unit", QuantityUnit(i).MeterUnit},
                                  {"decimals", LogParameters[i].Decimals},
                                  {"value", value}});
    }
    return values;
}

QJsonObject Counters(const TCommCounters& counters)
{
    return {{"requests", qint64(counters.Requests)},
            {"replies", qint64(counters.Ok)},
            {"timeouts", qint64(counters.Timeouts)},
            {"invalid", qint64(counters.Invalid)},
            {"exceptions", qint64(counters.Exceptions)},
            {"late_replies", qint64(counters.LateReplies)},
            {"last_round_trip_ms", RoundTrip(counters.LastRoundTripUs)},
            {"slowest_round_trip_ms", RoundTrip(counters.SlowestRoundTripUs)}};
}

// What the gateway's clients asked of the meter's unit and got, as of its
// latest pass; null when the gateway does not serve it.
QJsonValue Gateway(const std::optional<TMeterReading>& latest)
{
    if (!latest || !latest->Gateway || latest->Gateway->Unit == 0)
        return {};
    const TGatewayCounts& counts = *latest->Gateway;
    return QJsonObject{{"unit", counts.Unit},
                       {"requests", qint64(counts.Requests)},
                       {"answered", qint64(counts.Answered)},
                       {"no_answer", qint64(counts.NoAnswer)},
                       {"link_down", qint64(counts.LinkDown)},
                       {"busy", qint64(counts.Busy)},
                       {"refused", qint64(counts.Refused)}};
}

QJsonObject LinkState(const TLinkStatus& link)
{
    return {{"state", LinkKindText(link.Kind)}, {"error", link.LastError}, {"since", Time(link.Since)}};
}

} // namespace

QJsonObject Meter(const TPageMeter& meter)
{
    const std::optional<TMeterReading>& latest = meter.Latest;
    return {{"name", meter.Id.Name},
            {"link", meter.Id.Link},
            {"address", meter.Id.Address},
            {"interval_s", double(meter.Interval.count()) / 1000},
            {"online", latest ? QJsonValue(latest->Answered) : QJsonValue()},
            {"online_since", Time(meter.AnswerSince)},
            {"time", latest ? Time(latest->Time) : QJsonValue()},
            {"complete", latest && latest->Complete},
            {"failure", latest ? latest->Failure : QString()},
            {"values", Values(meter)},
            {"counters", Counters(latest ? latest->Counters : TCommCounters{})},
            {"link_state", LinkState(latest ? latest->LinkStatus : TLinkStatus{})},
            {"gateway", Gateway(latest)},
            {"wiring", latest && !latest->Wiring.empty()
                           ? QJsonValue(QJsonDocument::fromJson(WiringVerdicts::Json(latest->Wiring)).object())
                           : QJsonValue()}};
}

QJsonObject Site(const std::vector<TPageMeter>& meters)
{
    QJsonArray list;
    for (const TPageMeter& meter : meters)
        list.append(Meter(meter));
    return {{"now", Now()}, {"meters", list}};
}

QJsonObject OneMeter(const TPageMeter& meter)
{
    return {{"now", Now()}, {"meter", Meter(meter)}};
}

} // namespace SitePageJson
