// The site logger through an outage of InfluxDB and the MQTT broker, each
// figure beside its limit with a PASS or FAIL word; the exit status is 1
// when a limit is missed.
//
// 100 meters on 4 Modbus/TCP links (4 simulators of 25 units each), the real
// kelvane-log --site with MQTT, Prometheus and InfluxDB on, each meter
// logging into a file of its own; a real influxd and a real mosquitto on
// 127.0.0.1, and a subscriber with a session of its own that the broker
// keeps over its restart, so that it gets every state message the logger
// delivers. After a warm-up both engines stop for the outage, then start
// again. The logger's resident memory and the size of its spool files (in
// its working directory) are sampled every second throughout. Once the
// spool files are gone the logger is stopped, and each meter's records are
// counted in the three places: its file (the passes it answered), InfluxDB
// (its points) and the subscriber (its state messages, each time once).
// The limits: resident memory under 40 MB at every sample (the README's
// figure for 100 meters), every record of every meter in both engines, and
// no message of the logger that says a record was dropped or not written.
//
// Usage: outage_bench [seconds of the outage] [interval in seconds]
// The defaults, 60 s at a 1 s interval, make 6,000 records for each engine
// during the outage: as many as an hour at the logger's default interval of
// 60 s. outage_bench 3600 60 runs the hour itself.

#include "InfluxServer.h"
#include "LoggerProcess.h"
#include "MosquittoBroker.h"
#include "MqttSubscriber.h"
#include "SimProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int Links = 4;
constexpr int MetersPerLink = 25;
constexpr double ResidentLimitMb = 40;
constexpr std::chrono::seconds WarmUp{10};
constexpr std::chrono::seconds DrainDeadline{1800};

void Check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error("benchmark step failed: " + what);
}

const char* Verdict(bool met)
{
    return met ? "PASS" : "FAIL";
}

QString ReadAll(const QString& path)
{
    QFile file(path);
    Check(file.open(QIODevice::ReadOnly), "reading " + path.toStdString());
    return QString::fromUtf8(file.readAll());
}

QString MeterName(int link, int unit)
{
    return QString("Link %1 meter %2").arg(link).arg(unit);
}

QString LogFileName(int link, int unit)
{
    return QString("link%1-meter%2.csv").arg(link).arg(unit);
}

std::string UnitsUpTo(int count)
{
    std::string list = "1";
    for (int unit = 2; unit <= count; ++unit)
        list += "," + std::to_string(unit);
    return list;
}

QString Site(const std::vector<uint16_t>& ports)
{
    QString text;
    for (int link = 1; link <= Links; ++link)
        for (int unit = 1; unit <= MetersPerLink; ++unit)
            text += QString("[%1]\nLink=tcp:127.0.0.1:%2\nAddress=%3\nFile=%4\n\n")
                        .arg(MeterName(link, unit))
                        .arg(ports[std::size_t(link - 1)])
                        .arg(unit)
                        .arg(LogFileName(link, unit));
    return text;
}

// The records of a meter's file that hold values: the passes it answered.
// A record of a pass without an answer has nothing after its date and time.
int AnsweredRecords(const QString& path)
{
    int records = 0;
    const QStringList lines = ReadAll(path).split('\n', Qt::SkipEmptyParts);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString& line = lines[i];
        const QChar separator = line.contains(';') ? ';' : ',';
        records += line.section(separator, 2).contains(QRegularExpression("[0-9]")) ? 1 : 0;
    }
    return records;
}

qint64 SpoolBytes(const QDir& dir)
{
    qint64 bytes = 0;
    for (const QFileInfo& file : dir.entryInfoList({"*.spool"}, QDir::Files))
        bytes += file.size();
    return bytes;
}

// Resident memory and spool files, sampled every second in a thread of
// their own; the peaks of the phase under way.
class TSampler {
public:
    TSampler(pid_t pid, QString dir) : pid_(pid), dir_(std::move(dir)), thread_([this] { Run(); }) {}
    ~TSampler() { Stop(); }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // The peaks since the last call: resident MB, spool MB.
    std::pair<double, double> TakePeaks()
    {
        const std::lock_guard lock(mutex_);
        return {std::exchange(residentMb_, 0.0), std::exchange(spoolMb_, 0.0)};
    }

private:
    void Run()
    {
        const QDir dir(dir_);
        while (!stop_) {
            const double resident = ResidentMb(pid_);
            const double spool = double(SpoolBytes(dir)) / (1 << 20);
            {
                const std::lock_guard lock(mutex_);
                residentMb_ = std::max(residentMb_, resident);
                spoolMb_ = std::max(spoolMb_, spool);
            }
            std::this_thread::sleep_for(1s);
        }
    }

    const pid_t pid_;
    const QString dir_;
    std::mutex mutex_;
    double residentMb_ = 0;
    double spoolMb_ = 0;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// Points per meter in InfluxDB.
std::map<QString, int> InfluxCounts(const TInfluxServer& influx)
{
    std::map<QString, int> counts;
    for (const QJsonValue series : influx.Query("SELECT count(total_real_power) FROM kelvane GROUP BY meter", "site"))
        counts[series["tags"]["meter"].toString()] = series["values"][0][1].toInt();
    return counts;
}

// State messages per meter at the subscriber, each time once (QoS 1 may
// bring one twice).
std::map<QString, int> MqttCounts(const testsupport::TMqttSubscriber& subscriber)
{
    std::map<QString, std::set<QString>> times;
    for (const testsupport::TMqttMessage& message : subscriber.Messages()) {
        if (!message.Topic.endsWith("/state"))
            continue;
        const QString meter = message.Topic.section('/', 1, 1);
        times[meter].insert(QJsonDocument::fromJson(message.Payload).object()["time"].toString());
    }
    std::map<QString, int> counts;
    for (const auto& [meter, set] : times)
        counts[meter] = int(set.size());
    return counts;
}

struct rOptions {
    std::chrono::seconds Outage{60};
    int Interval = 1;
};

rOptions ParseOptions(int argc, char** argv)
{
    rOptions options;
    if (argc > 1)
        options.Outage = std::chrono::seconds(std::atoi(argv[1]));
    if (argc > 2)
        options.Interval = std::atoi(argv[2]);
    Check(options.Outage >= 5s && options.Interval > 0, "an outage of 5 s or more and an interval of 1 s or more");
    return options;
}

bool PrintPhase(const char* phase, std::pair<double, double> peaks)
{
    const bool met = peaks.first < ResidentLimitMb;
    std::printf("  %s: resident at most %.1f MB (limit under %.0f MB): %s; spool files at most %.1f MB\n", phase,
                peaks.first, ResidentLimitMb, Verdict(met), peaks.second);
    std::fflush(stdout);
    return met;
}

// True when every meter's count in an engine is its file's.
bool PrintDelivered(const char* engine, const std::map<QString, int>& files, const std::map<QString, int>& counts)
{
    int expected = 0, delivered = 0, short_ = 0;
    for (const auto& [meter, records] : files) {
        const auto found = counts.find(meter);
        const int got = found == counts.end() ? 0 : found->second;
        expected += records;
        delivered += std::min(got, records);
        short_ += got < records ? 1 : 0;
    }
    const bool met = delivered == expected && short_ == 0;
    std::printf("  %s: %d of the %d records of the meters' files delivered, %d meters short (limit all): %s\n",
                engine, delivered, expected, short_, Verdict(met));
    return met;
}

bool Measure(const rOptions& options)
{
    Check(TInfluxServer::Installed() && testsupport::TMosquittoBroker::Available(), "influxd and mosquitto installed");
    std::vector<std::unique_ptr<TSimProcess>> sims;
    std::vector<uint16_t> ports;
    for (int link = 0; link < Links; ++link) {
        sims.push_back(std::make_unique<TSimProcess>(
            KELVANE_SIM_PATH, std::vector<std::string>{"--port", "0", "--units", UnitsUpTo(MetersPerLink)}));
        ports.push_back(sims.back()->TcpPort());
    }
    TInfluxServer influx;
    Check(influx.Start(), "influxd starts: " + influx.Process().Failure().toStdString());
    influx.Query("CREATE DATABASE site");
    testsupport::TMosquittoBroker broker(/*persistent=*/true);
    Check(broker.Start(), "mosquitto starts");
    testsupport::TMqttSubscriber subscriber(broker.Port(), "site", "outage-bench-subscriber");
    Check(subscriber.WaitSubscribed(), "the subscriber subscribes");

    const QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    QFile siteFile(site);
    Check(siteFile.open(QIODevice::WriteOnly) && siteFile.write(Site(ports).toUtf8()) > 0, "writing the site file");
    siteFile.close();
    const std::string messages = dir.filePath("kelvane-log.stderr").toStdString();
    const uint16_t metrics = localengine::FreeLoopbackPort();
    const std::vector<std::string> args{"--site", site.toStdString(), "--interval", std::to_string(options.Interval),
                                        "--banks", KELVANE_BANKS_PATH, "--metrics", "127.0.0.1:" + std::to_string(metrics),
                                        "--mqtt", "127.0.0.1:" + std::to_string(broker.Port()), "--mqtt-prefix", "site",
                                        "--influx", influx.Url().toString().toStdString(), "--influx-db", "site"};
    std::printf("%d meters on %d Modbus/TCP links at a %d s interval, kelvane-log --site with MQTT, Prometheus and"
                " InfluxDB; both engines down for %lld s after a warm-up of %lld s (%lld records an engine)\n",
                Links * MetersPerLink, Links, options.Interval, static_cast<long long>(options.Outage.count()),
                static_cast<long long>(WarmUp.count()),
                static_cast<long long>(options.Outage.count() / options.Interval * Links * MetersPerLink));
    std::fflush(stdout);
    TLoggerProcess logger(KELVANE_LOG_PATH, args, messages, dir.path().toStdString());
    TSampler sampler(logger.Pid(), dir.path());
    std::this_thread::sleep_for(WarmUp);
    Check(logger.Running(), "kelvane-log runs: " + ReadAll(QString::fromStdString(messages)).toStdString());
    bool met = PrintPhase("warm-up", sampler.TakePeaks());

    influx.Stop();
    broker.Stop();
    std::this_thread::sleep_for(options.Outage);
    Check(logger.Running(), "kelvane-log runs through the outage");
    met = PrintPhase("outage", sampler.TakePeaks()) && met;

    const auto back = std::chrono::steady_clock::now();
    Check(influx.Start(), "influxd starts again: " + influx.Process().Failure().toStdString());
    Check(broker.Start(), "mosquitto starts again");
    const QDir work(dir.path());
    while (SpoolBytes(work) > 0 && std::chrono::steady_clock::now() - back < DrainDeadline)
        std::this_thread::sleep_for(1s);
    const double drained = std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
    // A few passes after the spool is gone, so that what memory held goes too.
    std::this_thread::sleep_for(std::chrono::seconds(3 * options.Interval + 2));
    met = PrintPhase("after the outage", sampler.TakePeaks()) && met;
    std::printf("  spool files gone %.0f s after the engines started again (deadline %lld s)\n", drained,
                static_cast<long long>(DrainDeadline.count()));
    sampler.Stop();
    Check(logger.Stop() == 0, "kelvane-log ends with status 0 on SIGTERM");

    std::map<QString, int> files;
    for (int link = 1; link <= Links; ++link)
        for (int unit = 1; unit <= MetersPerLink; ++unit)
            files[MeterName(link, unit)] = AnsweredRecords(dir.filePath(LogFileName(link, unit)));
    // The last state messages are on their way when the logger ends.
    const auto all = [&](const std::map<QString, int>& counts) {
        for (const auto& [meter, records] : files)
            if (counts.count(meter) == 0 || counts.at(meter) < records)
                return false;
        return true;
    };
    localengine::WaitUntil([&] { return all(MqttCounts(subscriber)); }, 20s);
    met = PrintDelivered("InfluxDB points", files, InfluxCounts(influx)) && met;
    met = PrintDelivered("MQTT state messages", files, MqttCounts(subscriber)) && met;
    const QString said = ReadAll(QString::fromStdString(messages));
    const bool nothingLost = !said.contains(QRegularExpression("[0-9]+ (line|message)s? (was|were) dropped")) &&
                             !said.contains("not written") && !said.contains("could not be delivered") &&
                             !said.contains("kept in");
    std::printf("  the logger's messages: none says a record was dropped, not written or kept (limit none): %s\n",
                Verdict(nothingLost));
    std::printf("--- the logger's messages ---\n%s", said.toUtf8().constData());
    return met && nothingLost;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        QCoreApplication app(argc, argv);
        return Measure(ParseOptions(argc, argv)) ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
