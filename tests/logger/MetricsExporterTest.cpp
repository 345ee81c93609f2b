// The Prometheus endpoint as a real Prometheus scrapes it, and as promtool
// lints it.

#include "MetricsExporter.h"

#include "CoreApp.h"
#include "PrometheusServer.h"

#include <QProcess>
#include <QSet>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

namespace {

using localengine::WaitUntil;
using namespace std::chrono_literals;

TMeterReading Reading(const QString& name, const QString& link, uint8_t address, bool answered,
                      std::initializer_list<std::pair<std::size_t, double>> values)
{
    TMeterReading reading;
    reading.Meter = {name, link, address};
    reading.Time = QDateTime::currentDateTimeUtc();
    reading.Answered = answered;
    for (const auto& [index, value] : values)
        reading.Values[index] = value;
    return reading;
}

// Every quantity, with the ones the table checks among them.
TMeterReading FullReading()
{
    TMeterReading reading = Reading("Main incomer", "tcp:127.0.0.1:1502", 1, true, {});
    for (std::size_t i = 0; i < reading.Values.size(); ++i)
        reading.Values[i] = 100.0 + double(i);
    reading.Values[1] = 1520.5;   // Total Real Power, W
    reading.Values[11] = 231.25;  // Voltage B-N, V
    reading.Values[35] = 12.5;    // Total Import Energy (+) A+B+C, kWh
    reading.Values[40] = -2.5;    // Total Energy (+/-) A, kWh, may fall
    reading.Values[49] = 0.75;    // Capactive Energy (-) B, kvarh
    reading.Counters.Requests = 120;
    reading.Counters.Timeouts = 2;
    reading.Counters.Invalid = 1;
    reading.Counters.LateReplies = 3;
    return reading;
}

// The metric names Prometheus holds for a meter.
QSet<QString> Names(const TPrometheusServer& prometheus, const QString& meter)
{
    QSet<QString> names;
    const QString quoted = QString(meter).replace('\\', "\\\\").replace('"', "\\\"");
    for (const auto& sample : prometheus.Query(QString("{meter=\"%1\"}").arg(quoted)))
        names << sample.Labels.value("__name__");
    return names;
}

const QSet<QString> MeterMetrics{"kelvane_meter_up", "kelvane_requests_total", "kelvane_timeouts_total",
                                 "kelvane_invalid_replies_total", "kelvane_late_replies_total"};

TEST(MetricsExporterTest, ScrapedByPrometheusInBaseUnitsAndLintClean)
{
    if (!TPrometheusServer::Installed())
        GTEST_SKIP() << TPrometheusServer::Program << " is not installed";
    EnsureCoreApp();
    const uint16_t port = localengine::FreeLoopbackPort();
    QString error;
    const auto exporter = TMetricsExporter::Listen("127.0.0.1", port, error);
    ASSERT_TRUE(exporter) << error.toStdString();
    const QString pump = "Pump, north \"2\"";
    exporter->Publish(FullReading());
    exporter->Publish(Reading(pump, "rtu:/dev/ttyUSB0:19200", 7, true, {{1, 300}, {35, 2}}));

    TPrometheusServer prometheus(QString("127.0.0.1:%1").arg(port));
    ASSERT_TRUE(prometheus.Start()) << prometheus.Process().Failure().toStdString();
    std::printf("prometheus ready after %lld ms\n", qlonglong(prometheus.Process().StartTime().count()));

    struct TCase {
        const char* Query;
        QString Meter;
        double Expected;
    } const cases[] = {
        {"kelvane_total_real_power_watts", "Main incomer", 1520.5},
        {"kelvane_total_real_power_watts", pump, 300},
        {"kelvane_voltage_volts{phase=\"b-n\"}", "Main incomer", 231.25},
        {"kelvane_total_import_energy_joules_total{phase=\"a+b+c\"}", "Main incomer", 12.5 * 3.6e6},
        {"kelvane_total_import_energy_joules_total{phase=\"a+b+c\"}", pump, 2 * 3.6e6},
        {"kelvane_total_energy_joules{phase=\"a\"}", "Main incomer", -2.5 * 3.6e6},
        {"kelvane_capactive_energy_volt_ampere_reactive_seconds_total{phase=\"b\"}", "Main incomer", 0.75 * 3.6e6},
        {"kelvane_requests_total{address=\"1\",link=\"tcp:127.0.0.1:1502\"}", "Main incomer", 120},
        {"kelvane_timeouts_total", "Main incomer", 2},
        {"kelvane_invalid_replies_total", "Main incomer", 1},
        {"kelvane_late_replies_total", "Main incomer", 3},
        {"kelvane_meter_up{address=\"7\"}", pump, 1},
    };
    ASSERT_TRUE(WaitUntil([&] { return prometheus.Value("kelvane_meter_up", "meter", pump).has_value(); }))
        << "no scrape reached Prometheus";
    for (const TCase& c : cases)
        EXPECT_EQ(prometheus.Value(c.Query, "meter", c.Meter), c.Expected) << c.Query << " of " << c.Meter.toStdString();
    // Each of the 60 quantities is a series of its own; a quantity the pass
    // did not bring is none.
    EXPECT_EQ(prometheus.Query("{meter=\"Main incomer\"}").size(), 60u + MeterMetrics.size());
    const QSet<QString> pumpQuantities{"kelvane_total_real_power_watts", "kelvane_total_import_energy_joules_total"};
    EXPECT_EQ(Names(prometheus, pump), MeterMetrics + pumpQuantities);

    const localengine::THttpAnswer text = localengine::HttpGet(QUrl(QString("http://127.0.0.1:%1/metrics").arg(port)));
    ASSERT_EQ(text.Status, 200);
    QProcess promtool;
    promtool.start("promtool", {"check", "metrics"});
    promtool.write(text.Body);
    promtool.closeWriteChannel();
    ASSERT_TRUE(promtool.waitForFinished(30000));
    EXPECT_EQ(promtool.exitCode(), 0);
    EXPECT_EQ(promtool.readAll().toStdString(), "");

    // The pump's latest pass brought nothing: its values go stale at the
    // next scrape, and only its being down and its counters remain.
    TMeterReading silent = Reading(pump, "rtu:/dev/ttyUSB0:19200", 7, false, {{1, 999}});
    silent.Counters.Requests = 14;
    silent.Counters.Timeouts = 14;
    exporter->Publish(silent);
    ASSERT_TRUE(WaitUntil([&] { return prometheus.Value("kelvane_meter_up", "meter", pump) == 0.0; }));
    EXPECT_TRUE(WaitUntil([&] { return Names(prometheus, pump) == MeterMetrics; }))
        << Names(prometheus, pump).values().join(' ').toStdString();
    EXPECT_EQ(prometheus.Value("kelvane_timeouts_total", "meter", pump), 14.0);
    exporter->Finish(TSiteOutput::Clock::now());
}

// A client of the endpoint on a socket of its own that sends what it is
// given and nothing more.
int Connect(uint16_t port, const std::string& sent = {})
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL), ssize_t(sent.size()));
    return fd;
}

// True when the endpoint has closed the client's connection.
bool Closed(int fd, int waitMs = 0)
{
    pollfd polled{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&polled, 1, waitMs) > 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// 200 clients that send nothing and one that sends half a request wait
// while a scrape is answered; at the bound, one more connection is closed
// at once and the others stay until their time to send a request is over.
TEST(MetricsExporterTest, IdleClientsNeitherHoldAScrapeNorStay)
{
    EnsureCoreApp();
    const uint16_t port = localengine::FreeLoopbackPort();
    const QUrl url(QString("http://127.0.0.1:%1/metrics").arg(port));
    const TEndpointLimits limits{.MaxConnections = 210, .RequestTime = 3s};
    QString error;
    const auto exporter = TMetricsExporter::Listen("127.0.0.1", port, error, limits);
    ASSERT_TRUE(exporter) << error.toStdString();
    exporter->Publish(FullReading());

    std::vector<int> waiting{Connect(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1")};
    while (waiting.size() < 201)
        waiting.push_back(Connect(port));
    const localengine::THttpAnswer scrape = localengine::HttpGet(url);
    EXPECT_EQ(scrape.Status, 200);
    EXPECT_TRUE(scrape.Body.contains(
        "\nkelvane_total_real_power_watts{meter=\"Main incomer\",address=\"1\",link=\"tcp:127.0.0.1:1502\"} 1520.5\n"))
        << scrape.Body.toStdString();
    while (waiting.size() < std::size_t(limits.MaxConnections))
        waiting.push_back(Connect(port));
    const int beyond = Connect(port);
    EXPECT_TRUE(Closed(beyond, 10000)) << "the connection beyond the bound was kept";
    EXPECT_TRUE(std::none_of(waiting.begin(), waiting.end(), [](int fd) { return Closed(fd); }))
        << "a waiting client was closed before its time";

    EXPECT_TRUE(WaitUntil([&] { return std::all_of(waiting.begin(), waiting.end(), [](int fd) { return Closed(fd); }); }))
        << "a client that sent no whole request stayed";
    EXPECT_EQ(localengine::HttpGet(url).Status, 200);
    for (int fd : waiting)
        ::close(fd);
    ::close(beyond);
}

// A site of 1,000 meters: a scrape of some 7 MB, far more than the sockets
// hold for a client that is slow to read, comes whole, every meter in it,
// and so does the next.
TEST(MetricsExporterTest, AScrapeOfThousandsOfSamplesComesWhole)
{
    const uint16_t port = localengine::FreeLoopbackPort();
    QString error;
    const auto exporter = TMetricsExporter::Listen("127.0.0.1", port, error, {.ReplyTime = 3s});
    ASSERT_TRUE(exporter) << error.toStdString();
    TMeterReading reading = FullReading();
    for (int meter = 1; meter <= 1000; ++meter) {
        reading.Meter.Name = QString("Meter %1").arg(meter);
        exporter->Publish(reading);
    }
    for (int scrape = 0; scrape < 2; ++scrape) {
        const int fd = Connect(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        std::this_thread::sleep_for(300ms);
        QByteArray answer;
        char buffer[65536];
        pollfd polled{fd, POLLIN, 0};
        for (ssize_t got = 1; got > 0 && ::poll(&polled, 1, 5000) > 0;) {
            got = ::recv(fd, buffer, sizeof buffer, 0);
            answer.append(buffer, std::max<qsizetype>(got, 0));
        }
        ::close(fd);
        EXPECT_GT(answer.size(), 6'000'000);
        EXPECT_TRUE(answer.endsWith("\n"));
        EXPECT_EQ(answer.count("\nkelvane_total_real_power_watts{"), 1000);
    }
}

TEST(MetricsExporterTest, AnAddressItCannotListenOnIsSaid)
{
    EnsureCoreApp();
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    struct TCase {
        QString Address;
        uint16_t Port;
        QString Error;
    } const cases[] = {
        {"127.0.0.1", taken.serverPort(), QString("cannot listen on 127.0.0.1:%1: ").arg(taken.serverPort())},
        {"meter-host", 9105, "cannot listen on meter-host:9105: not an IP address"},
    };
    for (const TCase& c : cases) {
        QString error;
        EXPECT_FALSE(TMetricsExporter::Listen(c.Address, c.Port, error));
        EXPECT_TRUE(error.startsWith(c.Error)) << error.toStdString();
    }
}

} // namespace
