// kelvane-log --site as a site runs it: the real executable reads meters on
// a pseudo-terminal bus, behind a Modbus/TCP gateway and behind a serial
// device server, and publishes them to a real mosquitto, a real Prometheus
// that scrapes it and a real InfluxDB, all on 127.0.0.1. What each engine
// holds is checked against the simulated meters' own registers.

#include "CoreApp.h"
#include "FrozenMeters.h"
#include "InfluxServer.h"
#include "LocalEngine.h"
#include "LogFile.h"
#include "LoggerRun.h"
#include "MosquittoBroker.h"
#include "MqttSubscriber.h"
#include "PrometheusServer.h"
#include "QuantityKey.h"
#include "SimHarness.h"
#include "SimProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <csignal>
#include <optional>
#include <ranges>
#include <set>

#include <sys/resource.h>

namespace {

using simharness::rSimSetup;
using testsupport::TMosquittoBroker;
using testsupport::TMqttSubscriber;

constexpr int VoltageAN = 10;
constexpr int TotalRealPower = 1;
constexpr int TotalEnergy = 0;

QJsonObject Json(const QByteArray& payload)
{
    return QJsonDocument::fromJson(payload).object();
}

class TSiteMessages {
public:
    explicit TSiteMessages(const TMqttSubscriber& subscriber) : subscriber_(subscriber) {}

    std::vector<QJsonObject> States(const QString& meter) const
    {
        std::vector<QJsonObject> states;
        for (const auto& message : subscriber_.On("kelvane/" + meter + "/state"))
            states.push_back(Json(message.Payload));
        return states;
    }
    QString Status(const QString& meter) const
    {
        const auto messages = subscriber_.On("kelvane/" + meter + "/status");
        return messages.empty() ? QString() : QString::fromUtf8(messages.back().Payload);
    }

private:
    const TMqttSubscriber& subscriber_;
};

QDateTime StateTime(const QJsonObject& state)
{
    return QDateTime::fromString(state["time"].toString(), Qt::ISODateWithMs);
}

// The lines of the exposition that are samples of the metric for the meter
// (and the phase, when given).
QStringList Samples(const QByteArray& exposition, const QString& metric, const QString& meter,
                    const QString& phase = {})
{
    QStringList samples;
    for (const QString& line : QString::fromUtf8(exposition).split('\n'))
        if (line.startsWith(metric + "{") && line.contains("meter=\"" + meter + "\"") &&
            (phase.isEmpty() || line.contains("phase=\"" + phase + "\"")))
            samples << line;
    return samples;
}

// The three engines of the outputs, started, a database "site" made in
// InfluxDB, and the logger's switches that send to them.
struct TSiteEngines {
    explicit TSiteEngines(bool persistentBroker = false) : Broker(persistentBroker) {}

    ::testing::AssertionResult Start()
    {
        if (!Broker.Start())
            return ::testing::AssertionFailure() << "mosquitto did not start";
        if (!Prometheus.Start())
            return ::testing::AssertionFailure() << Prometheus.Process().Failure().toStdString();
        if (!Influx.Start())
            return ::testing::AssertionFailure() << Influx.Process().Failure().toStdString();
        if (localengine::HttpPost(QUrl(Influx.Url().toString() + "/query?q=CREATE%20DATABASE%20site"), {},
                                  "application/x-www-form-urlencoded")
                .Status != 200)
            return ::testing::AssertionFailure() << "InfluxDB did not make the database";
        return ::testing::AssertionSuccess();
    }
    QStringList LoggerArgs(const QString& site) const
    {
        return {"--site", site, "--interval", "0.5", "--mqtt", QString("127.0.0.1:%1").arg(Broker.Port()),
                "--metrics", QString::number(MetricsPort), "--influx", Influx.Url().toString(), "--influx-db", "site"};
    }

    uint16_t MetricsPort = localengine::FreeLoopbackPort();
    TMosquittoBroker Broker;
    TPrometheusServer Prometheus{QString("127.0.0.1:%1").arg(MetricsPort)};
    TInfluxServer Influx;
};

TEST(SiteLogger, EveryMeterOfEveryLinkReachesTheBrokerPrometheusAndInfluxDbAndOnlyWhatItSent)
{
    EnsureCoreApp();
    if (!TMosquittoBroker::Available() || !TPrometheusServer::Installed() || !TInfluxServer::Installed())
        GTEST_SKIP() << "mosquitto, prometheus or influxd is not installed";
    simharness::TInProcessRtuSim bus(Frozen({1, 2}));
    rSimSetup deviceServerSetup = Frozen({9});
    deviceServerSetup.Framing = TFraming::Rtu;
    simharness::TInProcessSim deviceServer(deviceServerSetup);
    TSimProcess gateway(KELVANE_SIM_EXE, {"--port", "0", "--units", "5"});
    ASSERT_NE(gateway.Port(), 0);

    TSiteEngines engines(/*persistentBroker=*/true);
    ASSERT_TRUE(engines.Start());
    auto& [metricsPort, broker, prometheus, influx] = engines;
    TMqttSubscriber subscriber(broker.Port(), "kelvane", "site-test");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    const TSiteMessages mqtt(subscriber);

    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    ASSERT_TRUE(WriteFile(site, QString("[Main incomer]\nLink=rtu:%1:19200\nAddress=1\nFile=%2\n\n"
                                        "[Feeder 2]\nLink=rtu:%1:19200\nAddress=2\nParams=0-3\n\n"
                                        "[Chiller 2]\nLink=tcp:127.0.0.1:%3\nAddress=5\nTimeout=2000\n\n"
                                        "[Pump house]\nLink=rtu-tcp:127.0.0.1:%4\nAddress=9\n")
                                    .arg(QString::fromStdString(bus.Path()), dir.filePath("incomer.csv"))
                                    .arg(gateway.Port())
                                    .arg(deviceServer.Port())
                                    .toUtf8()));
    TLoggerRun run(dir);
    run.Start(engines.LoggerArgs(site));

    struct Meter {
        QString Name;
        simharness::TSimMeters* Sim; // null: the gateway process, whose load moves
        uint8_t Unit;
        int Keys;
    };
    const Meter meters[] = {{"Main incomer", &bus, 1, 60}, {"Feeder 2", &bus, 2, 4}, {"Chiller 2", nullptr, 5, 60},
                            {"Pump house", &deviceServer, 9, 60}};

    // MQTT: each meter's own values, by key, and exactly the quantities read.
    for (const Meter& meter : meters) {
        SCOPED_TRACE(meter.Name.toStdString());
        ASSERT_TRUE(WaitFor([&] { return !mqtt.States(meter.Name).empty(); })) << run.Stderr().toStdString();
        const QJsonObject state = mqtt.States(meter.Name).back();
        EXPECT_EQ(state["address"].toInt(), meter.Unit);
        EXPECT_TRUE(StateTime(state).isValid()) << state["time"].toString().toStdString();
        const QJsonObject values = state["values"].toObject();
        EXPECT_EQ(values.size(), meter.Keys);
        EXPECT_EQ(mqtt.Status(meter.Name), "online");
        if (!meter.Sim)
            continue;
        EXPECT_EQ(values["total_real_power"].toDouble(), Quantity(*meter.Sim, meter.Unit, TotalRealPower));
        if (meter.Keys == 60) {
            EXPECT_EQ(values["voltage_a_n"].toDouble(), Quantity(*meter.Sim, meter.Unit, VoltageAN));
        }
    }
    EXPECT_NE(Quantity(bus, 1, TotalRealPower), Quantity(bus, 2, TotalRealPower)) << "the meters tell apart";

    // Prometheus scraped each meter's values, in base units, and the
    // exposition passes Prometheus's own check.
    for (const Meter& meter : meters) {
        if (!meter.Sim)
            continue;
        SCOPED_TRACE(meter.Name.toStdString());
        const double watts = Quantity(*meter.Sim, meter.Unit, TotalRealPower);
        EXPECT_TRUE(WaitFor([&] {
            return prometheus.Value("kelvane_total_real_power_watts", "meter", meter.Name) == std::optional(watts);
        }));
        const std::optional<double> joules =
            prometheus.Value("kelvane_total_energy_consumption_joules_total", "meter", meter.Name);
        ASSERT_TRUE(joules.has_value());
        EXPECT_NEAR(*joules, Quantity(*meter.Sim, meter.Unit, TotalEnergy) * 3.6e6, 1e-6 * *joules);
    }
    const QByteArray exposition =
        localengine::HttpGet(QUrl(QString("http://127.0.0.1:%1/metrics").arg(metricsPort))).Body;
    QProcess promtool;
    promtool.start("promtool", {"check", "metrics"});
    promtool.write(exposition);
    promtool.closeWriteChannel();
    ASSERT_TRUE(promtool.waitForFinished(20000));
    EXPECT_EQ(promtool.exitCode(), 0) << promtool.readAll().toStdString();
    EXPECT_EQ(promtool.readAll(), "");

    // InfluxDB stored each meter's values under its tags.
    EXPECT_TRUE(WaitFor([&] {
        const QJsonArray series =
            influx.Query("SELECT last(\"voltage_a_n\") FROM \"kelvane\" GROUP BY \"meter\"", "site");
        int matched = 0;
        for (const QJsonValue& one : series) {
            const QString name = one["tags"]["meter"].toString();
            const double value = one["values"][0][1].toDouble();
            matched += (name == "Main incomer" && value == Quantity(bus, 1, VoltageAN)) ||
                       (name == "Pump house" && value == Quantity(deviceServer, 9, VoltageAN));
        }
        return matched == 2;
    }));

    // The gateway goes silent: its meter goes offline and exposes nothing,
    // while the bus goes on on time (a silent pass of the gateway's link
    // takes its three tries of 2 s).
    const std::size_t statesBefore = mqtt.States("Main incomer").size();
    gateway.Signal(SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return mqtt.Status("Chiller 2") == "offline"; }, 60s)) << run.Stderr().toStdString();
    const QByteArray silent = localengine::HttpGet(QUrl(QString("http://127.0.0.1:%1/metrics").arg(metricsPort))).Body;
    EXPECT_TRUE(Samples(silent, "kelvane_voltage_volts", "Chiller 2").isEmpty());
    EXPECT_EQ(Samples(silent, "kelvane_meter_up", "Chiller 2").join("").section(' ', -1), "0");
    EXPECT_EQ(Samples(silent, "kelvane_voltage_volts", "Main incomer", "a-n").size(), 1);
    const std::vector<QJsonObject> busStates = mqtt.States("Main incomer");
    ASSERT_GT(busStates.size(), statesBefore + 4);
    for (std::size_t i = statesBefore + 1; i < busStates.size(); ++i)
        EXPECT_LT(StateTime(busStates[i - 1]).msecsTo(StateTime(busStates[i])), 2500);
    gateway.Signal(SIGCONT);
    EXPECT_TRUE(WaitFor([&] { return mqtt.Status("Chiller 2") == "online"; }, 60s)) << run.Stderr().toStdString();

    // The broker goes away and comes back: what the logger held meanwhile
    // arrives, and every meter is online again.
    broker.Stop();
    const QDateTime away = QDateTime::currentDateTimeUtc();
    ASSERT_TRUE(WaitFor([&] { return run.Stderr().contains("connection lost"); }));
    const qsizetype records = Lines(dir.filePath("incomer.csv")).size();
    ASSERT_TRUE(WaitFor([&] { return Lines(dir.filePath("incomer.csv")).size() >= records + 3; }));
    const QDateTime back = QDateTime::currentDateTimeUtc();
    ASSERT_TRUE(broker.Start());
    EXPECT_TRUE(WaitFor([&] {
        const auto states = mqtt.States("Main incomer");
        return std::count_if(states.begin(), states.end(), [&](const QJsonObject& state) {
                   return StateTime(state) > away && StateTime(state) < back;
               }) >= 3;
    }, 60s)) << run.Stderr().toStdString();
    for (const Meter& meter : meters)
        EXPECT_TRUE(WaitFor([&] { return mqtt.Status(meter.Name) == "online"; })) << meter.Name.toStdString();

    // SIGTERM ends the run within a second and leaves every meter offline.
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
    for (const Meter& meter : meters)
        EXPECT_TRUE(WaitFor([&] { return mqtt.Status(meter.Name) == "offline"; })) << meter.Name.toStdString();
}

// Names with what each output must escape reach every output as they are
// written: InfluxDB and Prometheus hold the name itself, MQTT the topic
// level in which '/', '+' and '#' become '_'; each meter's values arrive under
// its own name, told apart by address.
TEST(SiteLogger, NamesWithCharactersToEscapeReachEveryOutputAsWritten)
{
    EnsureCoreApp();
    if (!TMosquittoBroker::Available() || !TPrometheusServer::Installed() || !TInfluxServer::Installed())
        GTEST_SKIP() << "mosquitto, prometheus or influxd is not installed";
    struct Row {
        QString Name;
        QString Level; // of the MQTT topics
    };
    const Row rows[] = {
        {R"(Pump "A" \ west)", R"(Pump "A" \ west)"}, // a Prometheus label escapes '"' and '\'
        {R"(a,b=c d\,e\ f)", R"(a,b=c d\,e\ f)"},     // InfluxDB escapes ',', '=' and ' ', also after '\'
        {"Feeder 1/2+#", "Feeder 1_2__"},
        {"Zähler € 2 \\server", "Zähler € 2 \\server"},
    };
    simharness::TInProcessSim gateway(Frozen({1, 2, 3, 4}));
    TSiteEngines engines;
    ASSERT_TRUE(engines.Start());
    auto& [metricsPort, broker, prometheus, influx] = engines;
    TMqttSubscriber subscriber(broker.Port(), "kelvane");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    QString text;
    for (std::size_t i = 0; i < std::size(rows); ++i)
        text += QString("[%1]\nLink=tcp:127.0.0.1:%2\nAddress=%3\n").arg(rows[i].Name).arg(gateway.Port()).arg(i + 1);
    ASSERT_TRUE(WriteFile(site, text.toUtf8()));
    TLoggerRun run(dir);
    run.Start(engines.LoggerArgs(site));

    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.Name.toStdString());
        const uint8_t unit = uint8_t(i + 1);
        const double watts = Quantity(gateway, unit, TotalRealPower);
        EXPECT_TRUE(WaitFor([&] {
            const auto states = subscriber.On("kelvane/" + row.Level + "/state");
            return !states.empty() && Json(states.back().Payload)["address"].toInt() == unit &&
                   Json(states.back().Payload)["values"].toObject()["total_real_power"].toDouble() == watts;
        })) << run.Stderr().toStdString();
        EXPECT_TRUE(WaitFor([&] {
            return prometheus.Value("kelvane_total_real_power_watts", "meter", row.Name) == std::optional(watts);
        }));
        EXPECT_TRUE(WaitFor([&] {
            const QJsonArray series = influx.Query(
                "SELECT last(\"total_real_power\") FROM \"kelvane\" GROUP BY \"meter\", \"address\"", "site");
            return std::any_of(series.begin(), series.end(), [&](const QJsonValue& one) {
                return one["tags"]["meter"].toString() == row.Name && one["tags"]["address"].toString().toInt() == unit &&
                       one["values"][0][1].toDouble() == watts;
            });
        }));
    }
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
    EXPECT_FALSE(run.Stderr().contains("InfluxDB")) << run.Stderr().toStdString();
}

// The one meter of the switches is a site of one meter: under its name,
// the default or --name's, its readings reach MQTT and Prometheus with the
// values of its CSV record (to the record's decimals). Served with --serve,
// a client's read of its unit is counted in the metrics and the page's JSON;
// without it neither has a count.
TEST(OneMeterLogger, ReachesTheOutputsWithTheValuesOfItsRecord)
{
    EnsureCoreApp();
    if (!TMosquittoBroker::Available())
        GTEST_SKIP() << "mosquitto is not installed";
    simharness::TInProcessSim gateway(Frozen({1}));
    simharness::TInProcessRtuSim bus(Frozen({4}));
    TMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber subscriber(broker.Port(), "kelvane");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    const struct {
        QStringList Meter;
        QString Name, Level;
        bool Served;
    } rows[] = {{{"--ip", "127.0.0.1", "--tcp-port", QString::number(gateway.Port())}, "meter", "meter", false},
                {{"--port", QString::fromStdString(bus.Path()), "--baud", "19200", "--address", "4", "--name", "Pump #2"},
                 "Pump #2", "Pump _2", true}};
    const struct {
        int Index;
        QString Key, Metric, Phase;
        double Scale; // of the base unit to the meter's
    } quantities[] = {{0, "total_energy_consumption", "kelvane_total_energy_consumption_joules_total", {}, 3.6e6},
                      {1, "total_real_power", "kelvane_total_real_power_watts", {}, 1},
                      {10, "voltage_a_n", "kelvane_voltage_volts", "a-n", 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name.toStdString());
        QTemporaryDir dir;
        const QString csv = dir.filePath("meter.csv"), metrics = QString::number(localengine::FreeLoopbackPort());
        const QString page = QString::number(localengine::FreeLoopbackPort());
        const QString served = QString::number(localengine::FreeLoopbackPort());
        TLoggerRun run(dir);
        run.Start(row.Meter + QStringList{"--interval", "0.3", "--params", "0,1,10", "--file", csv, "--metrics", metrics,
                                          "--mqtt", QString("127.0.0.1:%1").arg(broker.Port()), "--http", page} +
                  (row.Served ? QStringList{"--serve", served} : QStringList{}));
        ASSERT_TRUE(WaitFor([&] { return Lines(csv).size() >= 2 && !subscriber.On("kelvane/" + row.Level + "/state").empty(); }))
            << run.Stderr().toStdString();
        const QStringList record = Lines(csv)[1].split(',').mid(2);
        const QJsonObject values = Json(subscriber.On("kelvane/" + row.Level + "/state").front().Payload)["values"].toObject();
        const QByteArray exposition = localengine::HttpGet(QUrl("http://127.0.0.1:" + metrics + "/metrics")).Body;
        for (std::size_t i = 0; i < std::size(quantities); ++i) {
            const auto& q = quantities[i];
            const double logged = record.value(qsizetype(i)).toDouble(), within = 0.51 * std::pow(10, -LogParameters[q.Index].Decimals);
            EXPECT_NEAR(values[q.Key].toDouble(), logged, within) << q.Key.toStdString();
            const QStringList samples = Samples(exposition, q.Metric, row.Name, q.Phase);
            ASSERT_EQ(samples.size(), 1) << exposition.toStdString();
            EXPECT_NEAR(samples.front().section(' ', -1).toDouble() / q.Scale, logged, within) << q.Metric.toStdString();
        }
        if (row.Served)
            EXPECT_EQ(QProcess::execute("mbpoll", {"-m", "tcp", "-p", served, "-a", "4", "-r", "134", "-1", "127.0.0.1"}), 0);
        // Requests and answered replies of unit 4 in the metrics, and the unit and its answered replies on the page.
        const auto counts = [&] {
            const QByteArray text = localengine::HttpGet(QUrl("http://127.0.0.1:" + metrics + "/metrics")).Body;
            const QByteArray site = localengine::HttpGet(QUrl("http://127.0.0.1:" + page + "/api/site")).Body;
            const QJsonValue json = Json(site)["meters"][0]["gateway"];
            return Samples(text, "kelvane_gateway_requests_total", row.Name).filter("unit=\"4\"").join("").section(' ', -1) + '/' +
                   Samples(text, "kelvane_gateway_replies_total", row.Name).filter("result=\"answered\"").join("").section(' ', -1) +
                   '/' + (json.isNull() ? "" : QString("%1:%2").arg(json["unit"].toInt()).arg(json["answered"].toInt()));
        };
        EXPECT_TRUE(WaitFor([&] { return counts() == (row.Served ? "1/1/4:1" : "//"); })) << counts().toStdString();
        EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
    }
}

// The MQTT password comes from a file or the environment: it is never on
// the command line, where ps shows it, nor in a message, also when the
// broker refuses it.
// Started with a soft limit of 64 descriptors, as a shell or a service
// starts it with 1,024 for a site ten times the size: the 30 meters' MQTT
// connections (three descriptors each) all publish.
TEST(SiteLogger, EveryMeterPublishesBeyondTheSoftDescriptorLimit)
{
    if (!TMosquittoBroker::Available())
        GTEST_SKIP() << "mosquitto is not installed";
    EnsureCoreApp();
    QTemporaryDir dir;
    TMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber subscriber(broker.Port(), "kelvane");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    std::vector<uint8_t> units;
    QString site;
    for (uint8_t unit = 1; unit <= 30; ++unit)
        units.push_back(unit);
    simharness::TInProcessSim gateway(Frozen(units));
    for (const uint8_t unit : units)
        site += QString("[Meter %1]\nLink=tcp:127.0.0.1:%2\nAddress=%1\n").arg(unit).arg(gateway.Port());
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), site.toUtf8()));

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 256)
        GTEST_SKIP() << "the hard limit of descriptors is too low";
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    TLoggerRun run(dir);
    run.Start({"--site", dir.filePath("site.ini"), "--interval", "0.5", "--mqtt",
               QString("127.0.0.1:%1").arg(broker.Port())});
    ::setrlimit(RLIMIT_NOFILE, &saved);
    const TSiteMessages mqtt(subscriber);
    for (const uint8_t unit : units)
        EXPECT_TRUE(WaitFor([&] { return !mqtt.States(QString("Meter %1").arg(unit)).empty(); }))
            << unit << ": " << run.Stderr().toStdString();
    EXPECT_EQ(run.Finish(SIGTERM), 0);
}

TEST(SiteLogger, TheMqttPasswordIsNeverShown)
{
    EnsureCoreApp();
    if (!TMosquittoBroker::Available())
        GTEST_SKIP() << "mosquitto is not installed";
    TMosquittoBroker broker;
    const QString password = "Kv7-secret-word";
    ASSERT_TRUE(broker.RequirePassword("logger", password));
    ASSERT_TRUE(broker.Start());
    simharness::TInProcessSim gateway(Frozen({5}));
    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    const QString passwordFile = dir.filePath("mqtt-password");
    for (const auto& [path, text] : {std::pair{site, QString("[Chiller]\nLink=tcp:127.0.0.1:%1\nAddress=5\n").arg(gateway.Port())},
                                     std::pair{passwordFile, password + "\n"}})
        ASSERT_TRUE(WriteFile(path, text.toUtf8()));
    struct Row {
        const char* name;
        QStringList switches;
        QString environment;
        const char* said;
    };
    const Row rows[] = {
        {"from a file", {"--mqtt-password-file", passwordFile}, {}, "connected"},
        {"a wrong one from the environment", {}, password + "-wrong", "not authori"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qputenv("KELVANE_MQTT_PASSWORD", row.environment.toUtf8());
        TLoggerRun run(dir);
        run.Start(QStringList{"--site", site, "--interval", "0.5", "--mqtt", QString("127.0.0.1:%1").arg(broker.Port()),
                              "--mqtt-user", "logger"} + row.switches);
        EXPECT_TRUE(WaitFor([&] { return run.Stderr().contains(row.said); })) << run.Stderr().toStdString();
        EXPECT_FALSE(FileBytes(QString("/proc/%1/cmdline").arg(run.Pid())).contains(password.toUtf8()));
        EXPECT_EQ(run.Finish(SIGTERM), 0);
        EXPECT_FALSE(run.Stderr().contains(password)) << run.Stderr().toStdString();
    }
    qunsetenv("KELVANE_MQTT_PASSWORD");
}

// Home Assistant's sensor device classes, the units each takes and the state
// classes it allows (developers.home-assistant.io, "Sensor entity": device
// classes and state classes); empty lists for a sensor without a class.
struct TSensorClass {
    QString DeviceClass;
    QStringList Units, StateClasses;
};
const TSensorClass SensorClasses[] = {
    {"energy", {"Wh", "kWh", "MWh"}, {"total", "total_increasing"}},
    {"reactive_energy", {"varh", "kvarh"}, {"total", "total_increasing"}},
    {"power", {"W", "kW"}, {"measurement"}},       {"reactive_power", {"var", "kvar"}, {"measurement"}},
    {"apparent_power", {"VA", "kVA"}, {"measurement"}}, {"voltage", {"V", "mV", "kV"}, {"measurement"}},
    {"current", {"A", "mA"}, {"measurement"}},     {"frequency", {"Hz", "kHz"}, {"measurement"}},
    {"power_factor", {"", "%"}, {"measurement"}},  {"", {}, {}},
};
// The options of home-assistant.io's "MQTT Sensor" and "MQTT Binary sensor"
// pages that the configs may use, and of the device mapping.
const QStringList BinarySensorFields{"name", "unique_id", "state_topic", "value_template", "availability_topic",
                                     "payload_available", "payload_not_available", "device", "origin",
                                     "device_class", "entity_category"};
const QStringList SensorFields = BinarySensorFields + QStringList{"unit_of_measurement", "state_class",
                                                                  "suggested_display_precision"};
const QStringList DeviceFields{"identifiers", "name", "manufacturer", "model", "serial_number", "sw_version", "via_device"};

// What a config of the platform has that Home Assistant would refuse; empty when nothing.
QString ConfigFaults(const QString& platform, const QJsonObject& config)
{
    QStringList faults;
    for (const QString& key : config.keys())
        if (!(platform == "sensor" ? SensorFields : BinarySensorFields).contains(key))
            faults << "field " + key;
    for (const QString& key : config["device"].toObject().keys())
        if (!DeviceFields.contains(key))
            faults << "device field " + key;
    if (!QRegularExpression("^[a-zA-Z0-9_-]+$").match(config["unique_id"].toString()).hasMatch())
        faults << "unique_id";
    const QString deviceClass = config["device_class"].toString();
    if (platform == "binary_sensor")
        return deviceClass == "problem" ? faults.join(", ") : "device class " + deviceClass;
    const auto row = std::find_if(std::begin(SensorClasses), std::end(SensorClasses),
                                  [&](const TSensorClass& c) { return c.DeviceClass == deviceClass; });
    if (row == std::end(SensorClasses))
        faults << "device class " + deviceClass;
    else if ((!row->Units.isEmpty() && !row->Units.contains(config["unit_of_measurement"].toString())) ||
             (!row->StateClasses.isEmpty() && !row->StateClasses.contains(config["state_class"].toString())))
        faults << "unit or state class with " + deviceClass;
    return faults.join(", ");
}

// Each template rendered on its payload by Jinja2, the engine of Home
// Assistant's templates, with value_json the payload's JSON, as it renders them.
QStringList Rendered(const std::vector<std::pair<QString, QByteArray>>& jobs)
{
    QJsonArray array;
    for (const auto& [rule, payload] : jobs)
        array.append(QJsonArray{rule, QString::fromUtf8(payload)});
    QProcess python;
    python.start("/usr/bin/python3", {"-c", "import sys, json, jinja2\n"
                                            "for t, p in json.load(sys.stdin):\n"
                                            "    print(jinja2.Environment().from_string(t).render(value=p, "
                                            "value_json=json.loads(p)))"});
    python.write(QJsonDocument(array).toJson());
    python.closeWriteChannel();
    python.waitForFinished(20000);
    return QString::fromUtf8(python.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// The latest config of each topic, those cleared left out.
std::map<QString, QJsonObject> Configs(const TMqttSubscriber& homeAssistant)
{
    std::map<QString, QJsonObject> configs;
    for (const auto& message : homeAssistant.Messages())
        if (message.Topic.endsWith("/config"))
            configs[message.Topic] = Json(message.Payload);
    std::erase_if(configs, [](const auto& config) { return config.second.isEmpty(); });
    return configs;
}

// A subscriber acting as Home Assistant finds every meter and quantity of
// the site with its identity, each config valid as Home Assistant defines
// them, the templates give the meters' values, and unknown where a pass
// brought none; the wiring sensor follows a fault; Home Assistant's birth
// has every config announced again; at the next start, with the site file
// reordered and a meter gone, the ids stay and that meter's configs go.
TEST(SiteLogger, HomeAssistantDiscoversEveryMeterAndQuantity)
{
    EnsureCoreApp();
    if (!TMosquittoBroker::Available() || !QFileInfo::exists("/usr/bin/python3"))
        GTEST_SKIP() << "mosquitto or python3 is not installed";
    simharness::TInProcessRtuSim bus(Frozen({1}));
    rSimSetup faulty = Frozen({5, 6});
    faulty.Wiring = TWiring::NoCurrentL3;
    simharness::TInProcessSim gateway(faulty);
    TMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber homeAssistant(broker.Port(), "homeassistant"), kelvane(broker.Port(), "kelvane");
    ASSERT_TRUE(homeAssistant.WaitSubscribed() && kelvane.WaitSubscribed());
    QTemporaryDir dir;
    const QString site = dir.filePath("plant.ini");
    const QString incomer = QString("[Main incomer]\nLink=rtu:%1:19200\nAddress=1\n").arg(QString::fromStdString(bus.Path()));
    const QString chiller = QString("[Chiller 2]\nLink=tcp:127.0.0.1:%1\nAddress=5\nParams=0-8,31,44\n").arg(gateway.Port());
    const QString gone = QString("[Old feeder]\nLink=tcp:127.0.0.1:%1\nAddress=6\nParams=1\n").arg(gateway.Port());
    ASSERT_TRUE(WriteFile(site, (incomer + chiller + gone).toUtf8()));
    const QStringList switches{"--site", site, "--interval", "0.5", "--mqtt", QString("127.0.0.1:%1").arg(broker.Port()),
                               "--mqtt-discovery"};
    auto run = std::make_unique<TLoggerRun>(dir);
    run->Start(switches);

    const auto identified = [&](std::size_t count) {
        const auto all = Configs(homeAssistant);
        return all.size() == count && std::ranges::all_of(all | std::views::values, [](const QJsonObject& config) {
                   return config["device"]["serial_number"].isString();
               });
    };
    ASSERT_TRUE(WaitFor([&] { return identified(61 + 12 + 2) && !kelvane.On("kelvane/Main incomer/wiring").empty() &&
                                     !kelvane.On("kelvane/Main incomer/state").empty() && !kelvane.On("kelvane/Chiller 2/wiring").empty(); }))
        << run->Stderr().toStdString();
    const auto first = Configs(homeAssistant);
    const QByteArray state = kelvane.On("kelvane/Main incomer/state").back().Payload;
    std::vector<std::pair<QString, QByteArray>> jobs;
    std::vector<double> expected;
    std::set<QString> ids;
    for (const auto& [topic, config] : first) {
        SCOPED_TRACE(topic.toStdString());
        EXPECT_TRUE(ids.insert(config["unique_id"].toString()).second) << "a unique_id twice";
        EXPECT_EQ(ConfigFaults(topic.section('/', 1, 1), config).toStdString(), "");
        EXPECT_EQ(config["availability_topic"].toString(), "kelvane/" + config["device"]["name"].toString() + "/status");
        EXPECT_TRUE(WaitFor([&] { return TSiteMessages(kelvane).Status(config["device"]["name"].toString()) == "online"; }));
        const QString key = config["unique_id"].toString().section('-', -1);
        const int index = int(std::find(QuantityKeys().begin(), QuantityKeys().end(), key) - QuantityKeys().begin());
        if (config["state_topic"] == "kelvane/Main incomer/state" && index < 60) {
            jobs.emplace_back(config["value_template"].toString(), state);
            expected.push_back(Quantity(bus, 1, index));
        }
    }
    const QJsonObject device = first.begin()->second["device"].toObject(); // "Chiller 2": over Modbus/TCP, no model
    EXPECT_EQ(device["serial_number"].toString(), QString::number(gateway.Register(5, 149)));
    EXPECT_EQ(device["sw_version"].toString(), QString::number(Quantity(gateway, 5, 31), 'f', 2));
    const auto onTheBus = std::ranges::find(first | std::views::values, QString("Main incomer"), [](const QJsonObject& c) { return c["device"]["name"]; });
    EXPECT_TRUE((*onTheBus)["device"]["model"].toString().startsWith("Kelvane power transducer, serial " + QString::number(bus.Register(1, 149))));
    jobs.emplace_back(jobs.front().first, R"({"values":{}})"); // a pass that did not bring it: unknown
    const QStringList rendered = Rendered(jobs);
    ASSERT_EQ(rendered.size(), 61);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(rendered[qsizetype(i)].toDouble(), expected[i]) << jobs[i].first.toStdString();
    EXPECT_EQ(rendered.back(), "None");

    // The wiring: a problem on the faulty meter, none on the bus; each sent
    // once, then again when the fault is gone.
    const auto wiring = [&](const QString& meter) {
        const QString topic = "kelvane/" + meter + "/wiring";
        const auto sensor = std::ranges::find(first | std::views::values, topic, [](const QJsonObject& c) { return c["state_topic"]; });
        return Rendered({{(*sensor)["value_template"].toString(), kelvane.On(topic).back().Payload}});
    };
    EXPECT_EQ(wiring("Chiller 2"), QStringList{"ON"});
    EXPECT_EQ(wiring("Main incomer"), QStringList{"OFF"});
    const std::size_t passes = kelvane.On("kelvane/Main incomer/state").size();
    ASSERT_TRUE(WaitFor([&] { return kelvane.On("kelvane/Main incomer/state").size() > passes + 3; }));
    EXPECT_EQ(kelvane.On("kelvane/Main incomer/wiring").size(), 1u);
    gateway.SetWiring(5, TWiring::Healthy);
    ASSERT_TRUE(WaitFor([&] { return kelvane.On("kelvane/Chiller 2/wiring").size() == 2; }));
    EXPECT_EQ(wiring("Chiller 2"), QStringList{"OFF"});

    // Home Assistant's birth: every config again.
    const std::size_t announced = homeAssistant.Messages().size();
    homeAssistant.Publish("homeassistant/status", "online");
    EXPECT_TRUE(WaitFor([&] { return homeAssistant.Messages().size() >= announced + 1 + first.size(); }));
    EXPECT_EQ(run->Finish(SIGTERM), 0) << run->Stderr().toStdString();

    // The next start, reordered, without the old feeder.
    ASSERT_TRUE(WriteFile(site, (chiller + incomer).toUtf8()));
    run = std::make_unique<TLoggerRun>(dir);
    run->Start(switches);
    ASSERT_TRUE(WaitFor([&] { return Configs(homeAssistant).size() == 61 + 12; })) << run->Stderr().toStdString();
    TMqttSubscriber later(broker.Port(), "homeassistant");
    ASSERT_TRUE(later.WaitSubscribed());
    EXPECT_TRUE(WaitFor([&] { return identified(61 + 12) && Configs(later).size() == 61 + 12; }));
    const auto second = Configs(later);
    for (const auto& [topic, config] : first)
        EXPECT_EQ(second.contains(topic) ? second.at(topic)["unique_id"].toString() : "(cleared)",
                  config["device"]["name"] == "Old feeder" ? "(cleared)" : config["unique_id"].toString())
            << topic.toStdString();
    EXPECT_EQ(run->Finish(SIGTERM), 0) << run->Stderr().toStdString();
}

} // namespace
