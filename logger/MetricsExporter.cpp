#include "MetricsExporter.h"

#include "QuantityMetric.h"

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <functional>
#include <mutex>
#include <vector>

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// The latest reading of each meter, written by the logger's main thread and
// read by the endpoint's thread at each scrape.
class TMetricsExporter::TLatestReadings : public prometheus::Collectable {
public:
    void Keep(const TMeterReading& reading)
    {
        std::lock_guard lock(mutex_);
        for (TMeterReading& kept : readings_)
            if (SameMeter(kept.Meter, reading.Meter)) {
                kept = reading;
                return;
            }
        readings_.push_back(reading);
    }

    std::vector<MetricFamily> Collect() const override
    {
        std::lock_guard lock(mutex_);
        std::vector<MetricFamily> families{
            MeterFamily("kelvane_meter_up", "1 when the meter answered its latest pass, else 0", MetricType::Gauge,
                        [](const TMeterReading& r) { return r.Answered ? 1.0 : 0.0; }),
            MeterFamily("kelvane_requests_total", "Requests sent to the meter since the logger started",
                        MetricType::Counter, [](const TMeterReading& r) { return double(r.Counters.Requests); }),
            MeterFamily("kelvane_timeouts_total", "Requests the meter did not answer in time",
                        MetricType::Counter, [](const TMeterReading& r) { return double(r.Counters.Timeouts); }),
            MeterFamily("kelvane_invalid_replies_total", "Replies from the meter that were not a valid answer",
                        MetricType::Counter, [](const TMeterReading& r) { return double(r.Counters.Invalid); }),
            MeterFamily("kelvane_late_replies_total", "Replies from the meter that came after the receive timeout",
                        MetricType::Counter, [](const TMeterReading& r) { return double(r.Counters.LateReplies); }),
        };
        for (const TQuantityFamily& quantity : QuantityFamilies()) {
            MetricFamily family = QuantityFamily(quantity);
            if (!family.metric.empty())
                families.push_back(std::move(family));
        }
        return families;
    }

private:
    static bool SameMeter(const TSiteMeterId& a, const TSiteMeterId& b)
    {
        return a.Name == b.Name && a.Link == b.Link && a.Address == b.Address;
    }

    static std::vector<ClientMetric::Label> MeterLabels(const TSiteMeterId& meter)
    {
        return {{"meter", meter.Name.toStdString()},
                {"address", std::to_string(meter.Address)},
                {"link", meter.Link.toStdString()}};
    }

    static ClientMetric Sample(MetricType type, std::vector<ClientMetric::Label> labels, double value)
    {
        ClientMetric metric;
        metric.label = std::move(labels);
        if (type == MetricType::Counter)
            metric.counter.value = value;
        else
            metric.gauge.value = value;
        return metric;
    }

    // A family with one sample per meter, answered or not.
    MetricFamily MeterFamily(const std::string& name, const std::string& help, MetricType type,
                             const std::function<double(const TMeterReading&)>& value) const
    {
        MetricFamily family{name, help, type, {}};
        for (const TMeterReading& reading : readings_)
            family.metric.push_back(Sample(type, MeterLabels(reading.Meter), value(reading)));
        return family;
    }

    // The quantity's samples of the meters that answered their latest pass
    // and brought it in that pass.
    MetricFamily QuantityFamily(const TQuantityFamily& quantity) const
    {
        MetricFamily family{quantity.Name, quantity.Help, quantity.Type, {}};
        for (const TMeterReading& reading : readings_) {
            if (!reading.Answered)
                continue;
            for (const TQuantityFamily::TMember& member : quantity.Members) {
                const std::optional<double>& value = reading.Values[member.Index];
                if (!value)
                    continue;
                std::vector<ClientMetric::Label> labels = MeterLabels(reading.Meter);
                if (!member.Phase.empty())
                    labels.push_back({"phase", member.Phase});
                family.metric.push_back(Sample(quantity.Type, std::move(labels), *value * quantity.Scale));
            }
        }
        return family;
    }

    mutable std::mutex mutex_;
    std::vector<TMeterReading> readings_;
};

std::unique_ptr<TMetricsExporter> TMetricsExporter::Listen(const QString& address, uint16_t port, QString& error,
                                                           const TEndpointLimits& limits)
{
    auto latest = std::make_shared<TLatestReadings>();
    std::unique_ptr<TMetricsExporter> exporter(new TMetricsExporter(latest));
    exporter->endpoint_ = TMetricsEndpoint::Listen(
        address, port, [latest] { return prometheus::TextSerializer().Serialize(latest->Collect()); }, limits, error);
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
