// kelvane-log at the size of a large site, each figure beside its limit with
// a PASS or FAIL word; the exit status is 1 when a limit is missed or a
// meter went unread.
//
// 1,000 meters behind 40 Modbus/TCP gateways (40 simulators of 25 units
// each), in one kelvane-log --site process, with every output on and a real
// engine behind each: a mosquitto broker with a subscriber that counts the
// messages, a Prometheus that scrapes /metrics, an InfluxDB. After a
// warm-up the logger's CPU time and resident memory are sampled from /proc
// (its own time only: the simulators and the engines run beside it on the
// same cores). The limits: under 5 % of one core and under 80 MB resident,
// flat; every meter's file holds a record of every cycle, no meter is
// reported silent, and each record reached the broker and InfluxDB: as many
// state messages and points as records. Prometheus's last scrape must see
// every meter up.
//
// Usage: scale_bench [seconds] [interval] [scrape interval]
// The defaults are a run of 120 s at kelvane-log --interval 10 (a cycle of
// the 1,000 meters every 10 s), scraped every 10 s; scale_bench 3600 runs
// the hour.

#include "BenchMain.h"
#include "InfluxServer.h"
#include "LoggerFigures.h"
#include "MosquittoBroker.h"
#include "MqttSubscriber.h"
#include "PrometheusServer.h"
#include "SimulatedSite.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int Links = 40;
constexpr int UnitsPerLink = 25;
constexpr double CpuLimit = 5; // % of one core
constexpr double ResidentLimitMb = 80;
constexpr double GrowthLimitMbPerHour = 1;
constexpr std::chrono::seconds WarmUp{30};
constexpr std::chrono::seconds SampleEvery{10};
const QString Prefix = "kelvane";
const QString Database = "kelvane";

struct rOptions {
    std::chrono::seconds Run{120};
    std::chrono::seconds Interval{10};
    int ScrapeSeconds = 10;
};

rOptions ParseOptions(int argc, char** argv)
{
    rOptions options;
    if (argc > 1)
        options.Run = std::chrono::seconds(std::atoi(argv[1]));
    if (argc > 2)
        options.Interval = std::chrono::seconds(std::atoi(argv[2]));
    if (argc > 3)
        options.ScrapeSeconds = std::atoi(argv[3]);
    Check(options.Run >= SampleEvery && options.Interval.count() > 0 && options.ScrapeSeconds > 0,
          "a run of 10 s or more, an interval and a scrape interval of 1 s or more");
    return options;
}

// The engines, each started and ready.
struct TEngines {
    explicit TEngines(uint16_t metricsPort, int scrapeSeconds)
        : Prometheus(QString("127.0.0.1:%1").arg(metricsPort), scrapeSeconds)
    {
        Check(testsupport::TMosquittoBroker::Available() && TInfluxServer::Installed() &&
                  TPrometheusServer::Installed(),
              "mosquitto, influxd and prometheus are installed");
        Check(Broker.Start(), "mosquitto starts");
        Check(Influx.Start(), "influxd starts: " + Influx.Process().Failure().toStdString());
        Influx.Query("CREATE DATABASE " + Database);
        Check(Prometheus.Start(), "prometheus starts: " + Prometheus.Process().Failure().toStdString());
    }

    testsupport::TMosquittoBroker Broker;
    TInfluxServer Influx;
    TPrometheusServer Prometheus;
};

// The state messages the subscriber got, over all meters.
long long StateMessages(const testsupport::TMqttSubscriber& subscriber)
{
    long long all = 0;
    for (const auto& [topic, count] : subscriber.Counts())
        if (topic.endsWith("/state"))
            all += static_cast<long long>(count);
    return all;
}

// The points InfluxDB holds: the count of the field most often written
// (each point has the fields of the quantities its pass brought).
long long InfluxPoints(const TInfluxServer& influx)
{
    long long most = 0;
    for (const QJsonValue series : influx.Query("SELECT count(*) FROM kelvane", Database))
        for (const QJsonValue row : series.toObject()["values"].toArray()) {
            const QJsonArray columns = row.toArray();
            for (qsizetype i = 1; i < columns.size(); ++i)
                most = std::max(most, static_cast<long long>(columns.at(i).toDouble()));
        }
    return most;
}

// What reached the engines against the records in the files; the
// deliveries of the last passes may still be on their way at the stop.
bool PrintDeliveries(const TSimulatedSite& site, const testsupport::TMqttSubscriber& subscriber,
                     const TEngines& engines, const QString& loggerMessages)
{
    const long long records = site.AllRecords();
    localengine::WaitUntil([&] { return StateMessages(subscriber) >= records && InfluxPoints(engines.Influx) >= records; },
                           30s);
    const long long messages = StateMessages(subscriber), points = InfluxPoints(engines.Influx);
    std::printf("  MQTT: %lld state messages at a subscriber for %lld records (limit all): %s\n", messages, records,
                Verdict(messages == records));
    std::printf("  InfluxDB: %lld points for %lld records (limit all): %s\n", points, records,
                Verdict(points == records));
    if (messages == records && points == records)
        return true;
    // What the logger said of its outputs, to tell a loss from records kept
    // for its next start.
    for (const QString& line : loggerMessages.split('\n'))
        if (line.contains("MQTT") || line.contains("InfluxDB"))
            std::printf("    %s\n", qPrintable(line));
    return false;
}

// Prometheus's view of the run, asked while the logger still runs (once it
// has stopped, its series are stale): its scrapes that succeeded, the
// longest, and the meters up at its latest scrape.
struct rScrapes {
    double Succeeded = 0;
    double LongestSeconds = 0;
    double MetersUp = 0;
};

rScrapes AskPrometheus(const TPrometheusServer& prometheus, std::chrono::seconds run)
{
    const QString range = QString("[%1s]").arg(run.count());
    const auto value = [&](const QString& promql) {
        const std::vector<TPrometheusServer::TSample> samples = prometheus.Query(promql);
        return samples.empty() ? 0.0 : samples.front().Value;
    };
    return {value("sum_over_time(up{job=\"kelvane\"}" + range + ")"),
            value("max_over_time(scrape_duration_seconds{job=\"kelvane\"}" + range + ")"),
            value("count(kelvane_meter_up == 1)")};
}

bool PrintScrapes(const rScrapes& scrapes, std::chrono::seconds run, int scrapeSeconds, int meters)
{
    const bool all = int(scrapes.MetersUp) == meters;
    std::printf("  Prometheus: %.0f scrapes of /metrics every %d s succeeded in the last %lld s, the longest %.0f ms;"
                " %.0f meters up at the latest (limit all %d): %s\n",
                scrapes.Succeeded, scrapeSeconds, static_cast<long long>(run.count()), scrapes.LongestSeconds * 1e3,
                scrapes.MetersUp, meters, Verdict(all));
    return all;
}

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const rOptions options = ParseOptions(argc, argv);
    std::fprintf(stderr, "starting %d simulators of %d units and the engines...\n", Links, UnitsPerLink);
    const QTemporaryDir dir;
    const uint16_t metrics = FreePort();
    const TEngines engines(metrics, options.ScrapeSeconds);
    const TSimulatedSite site(KELVANE_SIM_PATH, Links, UnitsPerLink, dir.path());
    testsupport::TMqttSubscriber subscriber(engines.Broker.Port(), Prefix, {}, /*keepMessages=*/false);
    Check(subscriber.WaitSubscribed(), "the subscriber subscribes");

    std::fprintf(stderr, "running kelvane-log over %d meters for %lld s after %lld s...\n", site.Meters(),
                 static_cast<long long>(options.Run.count()), static_cast<long long>(WarmUp.count()));
    const std::string messages = dir.filePath("kelvane-log.stderr").toStdString();
    TLoggerProcess logger(KELVANE_LOG_PATH,
                          {"--site", site.SiteFile().toStdString(), "--interval",
                           std::to_string(options.Interval.count()), "--banks", KELVANE_BANKS_PATH, "--metrics",
                           "127.0.0.1:" + std::to_string(metrics), "--mqtt",
                           "127.0.0.1:" + std::to_string(engines.Broker.Port()), "--mqtt-prefix",
                           Prefix.toStdString(), "--influx", engines.Influx.Url().toString().toStdString(),
                           "--influx-db", Database.toStdString()},
                          messages);
    const TMonotonic started = MonotonicNow();
    std::this_thread::sleep_for(WarmUp);
    Check(logger.Running(), "kelvane-log runs: " + ReadAll(QString::fromStdString(messages)).toStdString());
    const std::vector<rSample> samples = Samples(logger, options.Run, SampleEvery, [](const rSample& s) {
        std::fprintf(stderr, "%6.0f s: %.1f s of CPU, %.1f MB resident\n", s.At, s.CpuSeconds, s.ResidentMb);
    });
    const rScrapes scrapes = AskPrometheus(engines.Prometheus, options.Run);
    const double logged = Seconds(MonotonicNow() - started);
    const int status = logger.Stop();

    std::printf("%d meters on %d Modbus/TCP links (simulators of %d units): kelvane-log --site --interval %lld"
                " with MQTT, Prometheus (scraping every %d s) and InfluxDB, sampled every %lld s after a warm-up"
                " of %lld s\n",
                site.Meters(), Links, UnitsPerLink, static_cast<long long>(options.Interval.count()),
                options.ScrapeSeconds, static_cast<long long>(SampleEvery.count()),
                static_cast<long long>(WarmUp.count()));
    Check(status == 0, "kelvane-log ends with status 0 on SIGTERM, not " + std::to_string(status));
    site.CheckEveryCycleRead(logged, options.Interval, ReadAll(QString::fromStdString(messages)));
    const bool delivered = PrintDeliveries(site, subscriber, engines, ReadAll(QString::fromStdString(messages)));
    const bool scraped = PrintScrapes(scrapes, options.Run, options.ScrapeSeconds, site.Meters());
    const bool resources = PrintResources(samples, {CpuLimit, ResidentLimitMb, GrowthLimitMbPerHour});
    return delivered && scraped && resources ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
