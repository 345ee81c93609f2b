#include "MetricsExporter.h"

#include "QuantityMetric.h"
#include "WiringVerdicts.h"

#include <QHash>

#include <charconv>
#include <cmath>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using prometheus::MetricType;

namespace {

// A label value or HELP text in the text format: a backslash, a double
// quote (in a label value) and a line end escaped.
void AppendEscaped(std::string& text, const std::string& value, bool quoted)
{
    for (const char c : value) {
        if (c == '\\')
            text += "\\\\";
        else if (c == '\n')
            text += "\\n";
        else if (c == '"' && quoted)
            text += "\\\"";
        else
            text += c;
    }
}

// The shortest text that reads back as the same double; NaN and the
// infinities as the text format spells them.
void AppendValue(std::string& text, double value)
{
    if (std::isnan(value)) {
        text += "NaN";
    } else if (std::isinf(value)) {
        text += value > 0 ? "+Inf" : "-Inf";
    } else {
        char digits[32];
        const std::to_chars_result written = std::to_chars(std::begin(digits), std::end(digits), value);
        text.append(digits, written.ptr);
    }
}

void AppendHeader(std::string& text, const std::string& name, const std::string& help, MetricType type)
{
    text += "# HELP " + name + ' ';
    AppendEscaped(text, help, false);
    text += "\n# TYPE " + name + (type == MetricType::Counter ? " counter\n" : " gauge\n");
}

// meter="Main incomer",address="1",link="tcp:192.168.1.20:502"
std::string MeterLabels(const TSiteMeterId& meter)
{
    std::string labels = "meter=\"";
    AppendEscaped(labels, meter.Name.toStdString(), true);
    labels += "\",address=\"" + std::to_string(meter.Address) + "\",link=\"";
    AppendEscaped(labels, meter.Link.toStdString(), true);
    return labels + '"';
}

void AppendSample(std::string& text, const std::string& name, const std::string& labels, const std::string& phase,
                  double value)
{
    text += name + '{' + labels;
    if (!phase.empty())
        text += ",phase=\"" + phase + '"';
    text += "} ";
    AppendValue(text, value);
    text += '\n';
}

} // namespace

// The latest reading of each meter, written by the logger's main thread and
// read by the endpoint's thread at each scrape.
class TMetricsExporter::TLatestReadings {
public:
    void Keep(const TMeterReading& reading)
    {
        std::lock_guard lock(mutex_);
        const auto kept = index_.constFind(reading.Meter.Name);
        if (kept != index_.cend() && SameMeter(readings_[*kept].Meter, reading.Meter)) {
            readings_[*kept] = reading;
            return;
        }
        index_.insert(reading.Meter.Name, readings_.size());
        readings_.push_back(reading);
    }

    // The text of a scrape, written straight into one string from a copy of
    // the readings taken under the lock, so that a site of a thousand
    // meters (some 65,000 samples) costs the text and no more, and the
    // main thread waits only for the copy.
    std::string Text() const
    {
        std::vector<TMeterReading> readings;
        {
            std::lock_guard lock(mutex_);
            readings = readings_;
        }
        std::vector<std::string> labels;
        std::size_t size = 0;
        for (const TMeterReading& reading : readings) {
            labels.push_back(MeterLabels(reading.Meter));
            const std::size_t gateway = reading.Gateway ? 6 : 0;
            size += (labels.back().size() + 64) * (7 + gateway + reading.Values.size() + reading.Wiring.size());
        }
        std::string text;
        text.reserve(size);
        AppendMeterFamily(text, readings, labels, "kelvane_meter_up", "1 when the meter answered its latest pass, else 0",
                          MetricType::Gauge, [](const TMeterReading& r) { return r.Answered ? 1.0 : 0.0; });
        AppendMeterFamily(text, readings, labels, "kelvane_requests_total",
                          "Requests sent to the meter since the logger started", MetricType::Counter,
                          [](const TMeterReading& r) { return double(r.Counters.Requests); });
        AppendMeterFamily(text, readings, labels, "kelvane_timeouts_total", "Requests the meter did not answer in time",
                          MetricType::Counter, [](const TMeterReading& r) { return double(r.Counters.Timeouts); });
        AppendMeterFamily(text, readings, labels, "kelvane_invalid_replies_total",
                          "Replies from the meter that were not a valid answer", MetricType::Counter,
                          [](const TMeterReading& r) { return double(r.Counters.Invalid); });
        AppendMeterFamily(text, readings, labels, "kelvane_late_replies_total",
                          "Replies from the meter that came after the receive timeout", MetricType::Counter,
                          [](const TMeterReading& r) { return double(r.Counters.LateReplies); });
        AppendMeterFamily(text, readings, labels, "kelvane_round_trip_seconds",
                          "Round trip of the meter's last reply in its latest pass", MetricType::Gauge,
                          [](const TMeterReading& r) { return Seconds(r.Answered, r.Counters.LastRoundTripUs); });
        AppendMeterFamily(text, readings, labels, "kelvane_slowest_round_trip_seconds",
                          "Round trip of the meter's slowest reply since the logger started", MetricType::Gauge,
                          [](const TMeterReading& r) { return Seconds(true, r.Counters.SlowestRoundTripUs); });
        AppendWiringFamily(text, readings, labels);
        AppendGatewayFamilies(text, readings, labels);
        for (const TQuantityFamily& quantity : QuantityFamilies())
            AppendQuantityFamily(text, readings, labels, quantity);
        return text;
    }

private:
    static bool SameMeter(const TSiteMeterId& a, const TSiteMeterId& b)
    {
        return a.Name == b.Name && a.Link == b.Link && a.Address == b.Address;
    }

    // A family with one sample per meter that has a value for it, answered
    // or not; a family without any is left out.
    static void AppendMeterFamily(std::string& text, const std::vector<TMeterReading>& readings,
                                  const std::vector<std::string>& labels, const std::string& name,
                                  const std::string& help, MetricType type,
                                  const std::function<std::optional<double>(const TMeterReading&)>& value)
    {
        bool headed = false;
        for (std::size_t i = 0; i < readings.size(); ++i) {
            const std::optional<double> sample = value(readings[i]);
            if (!sample)
                continue;
            if (!std::exchange(headed, true))
                AppendHeader(text, name, help, type);
            AppendSample(text, name, labels[i], {}, *sample);
        }
    }

    // A round trip the counters hold (-1 for none) in seconds, when it may be shown.
    static std::optional<double> Seconds(bool shown, int64_t microseconds)
    {
        if (!shown || microseconds < 0)
            return std::nullopt;
        return double(microseconds) / 1e6;
    }

    // Each wiring check of the meters whose latest pass brought the values
    // the checks judge, 1 when it fails. A meter whose pass did not bring
    // them has none, rather than the verdicts of an earlier pass.
    static void AppendWiringFamily(std::string& text, const std::vector<TMeterReading>& readings,
                                   const std::vector<std::string>& labels)
    {
        const std::string name = "kelvane_wiring_problem";
        bool headed = false;
        for (std::size_t i = 0; i < readings.size(); ++i) {
            if (!readings[i].Answered)
                continue;
            for (const rWiringCheck& check : readings[i].Wiring) {
                if (!std::exchange(headed, true))
                    AppendHeader(text, name,
                                 "1 when the meter's latest pass fails the wiring check, 0 when it passes it or "
                                 "only warns",
                                 MetricType::Gauge);
                const std::string checkLabel = ",check=\"" + WiringVerdicts::CheckKey(check).toStdString() + '"';
                AppendSample(text, name, labels[i] + checkLabel, {}, WiringVerdicts::Problem(check) ? 1 : 0);
            }
        }
    }

    // What the gateway's clients asked of each meter's unit and what they
    // got, counted since the start and as of the meter's latest pass; only
    // for the meters the gateway serves, so none without --serve. The
    // requests are a family of their own rather than one more result, so
    // that a sum over the results never counts a request twice; the
    // difference is the requests waiting on the link or dropped with their
    // client.
    static void AppendGatewayFamilies(std::string& text, const std::vector<TMeterReading>& readings,
                                      const std::vector<std::string>& labels)
    {
        std::vector<std::string> unitLabels(readings.size());
        for (std::size_t i = 0; i < readings.size(); ++i)
            if (Served(readings[i]))
                unitLabels[i] = labels[i] + ",unit=\"" + std::to_string(readings[i].Gateway->Unit) + '"';
        AppendMeterFamily(text, readings, unitLabels, "kelvane_gateway_requests_total",
                          "Requests the gateway's clients sent to the meter's unit", MetricType::Counter,
                          [](const TMeterReading& r) {
                              return Served(r) ? std::optional(double(r.Gateway->Requests)) : std::nullopt;
                          });
        static const struct {
            const char* Result;
            uint64_t TGatewayCounts::*Count;
        } results[] = {{"answered", &TGatewayCounts::Answered}, {"no_answer", &TGatewayCounts::NoAnswer},
                       {"link_down", &TGatewayCounts::LinkDown}, {"busy", &TGatewayCounts::Busy},
                       {"refused", &TGatewayCounts::Refused}};
        const std::string name = "kelvane_gateway_replies_total";
        bool headed = false;
        for (std::size_t i = 0; i < readings.size(); ++i) {
            if (!Served(readings[i]))
                continue;
            if (!std::exchange(headed, true))
                AppendHeader(text, name,
                             "Replies the gateway gave its clients for the meter's unit, by result: the meter's "
                             "own (answered), no answer (exception 0x0B), its link down (0x0A), its link's queue "
                             "full (6), or refused by the gateway itself",
                             MetricType::Counter);
            for (const auto& result : results)
                AppendSample(text, name, unitLabels[i] + ",result=\"" + result.Result + '"', {},
                             double((*readings[i].Gateway).*result.Count));
        }
    }

    // A meter the gateway serves: it has a unit there.
    static bool Served(const TMeterReading& reading)
    {
        return reading.Gateway && reading.Gateway->Unit != 0;
    }

    // The quantity's samples of the meters that answered their latest pass
    // and brought it in that pass; a family without any is left out.
    static void AppendQuantityFamily(std::string& text, const std::vector<TMeterReading>& readings,
                                     const std::vector<std::string>& labels, const TQuantityFamily& quantity)
    {
        bool headed = false;
        for (std::size_t i = 0; i < readings.size(); ++i) {
            if (!readings[i].Answered)
                continue;
            for (const TQuantityFamily::TMember& member : quantity.Members) {
                const std::optional<double>& value = readings[i].Values[member.Index];
                if (!value)
                    continue;
                if (!std::exchange(headed, true))
                    AppendHeader(text, quantity.Name, quantity.Help, quantity.Type);
                AppendSample(text, quantity.Name, labels[i], member.Phase, *value * quantity.Scale);
            }
        }
    }

    mutable std::mutex mutex_;
    std::vector<TMeterReading> readings_;
    QHash<QString, std::size_t> index_; // of each meter's reading by its name
};

std::unique_ptr<TMetricsExporter> TMetricsExporter::Listen(const QString& address, uint16_t port, QString& error,
                                                           const TEndpointLimits& limits)
{
    auto latest = std::make_shared<TLatestReadings>();
    std::unique_ptr<TMetricsExporter> exporter(new TMetricsExporter(latest));
    exporter->endpoint_ = TMetricsEndpoint::Listen(
        address, port, [latest] { return latest->Text(); }, limits, error);
    if (!exporter->endpoint_)
        return nullptr;
    return exporter;
}

TMetricsExporter::TMetricsExporter(std::shared_ptr<TLatestReadings> latest) : latest_(std::move(latest)) {}

TMetricsExporter::~TMetricsExporter() = default;

void TMetricsExporter::Publish(const TMeterReading& reading)
{
    latest_->Keep(reading);
}

void TMetricsExporter::Finish(Clock::time_point)
{
    endpoint_.reset();
}
