#include "MetricsExporter.h"

#include "QuantityMetric.h"

#include <QHostAddress>
#include <QTcpServer>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <exception>
#include <functional>
#include <mutex>
#include <vector>

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// The latest reading of each meter, written by the logger's main thread and
// read by the exposer's thread at each scrape.
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

std::unique_ptr<TMetricsExporter> TMetricsExporter::Listen(const QString& address, uint16_t port, QString& error)
{
    const QHostAddress host(address);
    const QString where = QString(host.protocol() == QAbstractSocket::IPv6Protocol ? "[%1]:%2" : "%1:%2")
                              .arg(address)
                              .arg(port);
    const auto fail = [&](const QString& reason) {
        error = QString("cannot listen on %1: %2").arg(where, reason);
        return nullptr;
    };
    if (host.isNull())
        return fail("not an IP address");
    // The exposer's own failure to bind says only that it failed; a trial
    // listen with the same address reuse gives the system's reason.
    QTcpServer trial;
    if (!trial.listen(host, port))
        return fail(trial.errorString());
    trial.close();
    try {
        auto exposer = std::make_unique<prometheus::Exposer>(where.toStdString(), 1);
        auto latest = std::make_shared<TLatestReadings>();
        exposer->RegisterCollectable(latest);
        return std::unique_ptr<TMetricsExporter>(new TMetricsExporter(std::move(exposer), std::move(latest)));
    } catch (const std::exception& e) {
        // An address the trial took but the exposer's server does not, such
        // as IPv6 in a build of that server without it.
        return fail("the HTTP server did not start: " + QString::fromLocal8Bit(e.what()));
    }
}

TMetricsExporter::TMetricsExporter(std::unique_ptr<prometheus::Exposer> exposer,
                                   std::shared_ptr<TLatestReadings> latest)
    : latest_(std::move(latest)), exposer_(std::move(exposer))
{
}

TMetricsExporter::~TMetricsExporter() = default;

void TMetricsExporter::Publish(const TMeterReading& reading)
{
    latest_->Keep(reading);
}

// The HTTP server's stop waits for its accept loop, which looks for a stop
// only every two seconds: longer than the whole end of a run may take. At
// the end of the run the endpoint is left as it is, held where nothing
// frees it, and the process's end closes its socket.
void TMetricsExporter::Finish(Clock::time_point)
{
    static auto* const abandoned = new std::vector<std::unique_ptr<prometheus::Exposer>>;
    abandoned->push_back(std::move(exposer_));
}
