// The real kelvane-log reading simulated meters: a wiring fault put on one
// meter turns on its checks, and only those, on the metrics and once on
// stderr, and off again when taken away; every query of the Grafana
// dashboard answers for each meter from a real Prometheus scraping it.

#include "CoreApp.h"
#include "LocalEngine.h"
#include "LoggerRun.h"
#include "PrometheusServer.h"
#include "QuantityKey.h"
#include "RegisterBanksFile.h"
#include "SimHarness.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const QStringList Meters{"Incomer", "Feeder 2", "Chiller"}; // units 1, 2, 3 of the gateway

// The logger reading the gateway's units as the meters, and `more`, every
// interval seconds, its metrics on `port`.
void StartSite(TLoggerRun& run, const QTemporaryDir& dir, uint16_t gateway, uint16_t port, const QString& interval,
               const QString& more = {})
{
    QString site = more;
    for (int i = 0; i < Meters.size(); ++i)
        site += QString("[%1]\nLink=tcp:127.0.0.1:%2\nAddress=%3\n").arg(Meters[i]).arg(gateway).arg(i + 1);
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), site.toUtf8()));
    run.Start({"--site", dir.filePath("site.ini"), "--interval", interval, "--metrics", QString::number(port)});
}

// The configuration word without the bits that force real power absolute,
// which would hide a reversed CT.
constexpr uint16_t SignedWord = 0x0500;

struct TVerdicts {
    QMap<QString, QSet<QString>> Failing; // check keys, by meter
    QMap<QString, int> Judged;            // checks, by meter
    QMap<QString, double> Requests;       // by meter
};

TVerdicts Scrape(uint16_t port)
{
    // name, meter, check, value
    static const QRegularExpression sample(R"re(^(\w+)\{meter="([^"]*)"[^}]*?(?:,check="(\w+)")?\} (\S+)$)re");
    TVerdicts verdicts;
    const QByteArray text = localengine::HttpGet(QUrl(QString("http://127.0.0.1:%1/metrics").arg(port))).Body;
    for (const QString& line : QString::fromUtf8(text).split('\n')) {
        const QRegularExpressionMatch m = sample.match(line);
        if (m.captured(1) == "kelvane_requests_total")
            verdicts.Requests[m.captured(2)] = m.captured(4).toDouble();
        if (m.captured(1) != "kelvane_wiring_problem")
            continue;
        ++verdicts.Judged[m.captured(2)];
        if (m.captured(4) == "1")
            verdicts.Failing[m.captured(2)] << m.captured(3);
    }
    return verdicts;
}

TEST(SiteWiring, AFaultOnOneMeterTurnsOnItsChecksAndOffAgain)
{
    EnsureCoreApp();
    simharness::TInProcessSim gateway({.Units = {1, 2, 3}, .Clock = [] { return 1000.0; }});
    for (uint8_t unit = 1; unit <= 3; ++unit)
        gateway.SetRegister(unit, 142, SignedWord);
    QTemporaryDir dir;
    TLoggerRun run(dir);
    const uint16_t port = localengine::FreeLoopbackPort();
    // A unit without a meter answers every request with an exception: its
    // passes never bring the values the checks judge.
    StartSite(run, dir, gateway.Port(), port, "0.3",
              QString("[Spare]\nLink=tcp:127.0.0.1:%1\nAddress=7\n").arg(gateway.Port()));
    const std::vector<TRegisterBankEntry> banks = RegisterBanksFile::Read(KELVANE_BANKS_FILE);
    const auto requestsPerPass =
        std::count_if(banks.begin(), banks.end(), [](const auto& bank) { return bank.Active; });
    const auto wiringLines = [&] { return run.Stderr().split('\n').filter(" the wiring check "); };
    ASSERT_TRUE(WaitFor([&] { return Scrape(port).Judged.size() == Meters.size(); })) << run.Stderr().toStdString();
    EXPECT_TRUE(wiringLines().isEmpty()) << "healthy meters are not said";

    struct TFault {
        TWiring Wiring;
        int Meter;          // of Meters
        QStringList Checks; // that fail, by name
        QString Advice;     // part of what one of them says
    } const faults[] = {
        {TWiring::ReversedCtL2, 0, {"CT direction"}, "the CT of B is reversed"},
        {TWiring::NoCurrentL3, 1, {"Current on every phase"}, "Phase C carries no current"},
        {TWiring::NoVoltageL1, 2, {"Voltage on every phase"}, "Phase A carries current but shows no voltage"},
        {TWiring::Unbalance, 0, {"Voltage unbalance", "Current unbalance"}, "Phase B is furthest"},
        {TWiring::CrossedVoltage, 1, {"CT direction", "Line-to-line voltages"}, "V B-C is not about"},
        {TWiring::CtWrongPhase, 2, {"Power factor per phase"}, "phase C is far"},
        {TWiring::Frequency, 0, {"Frequency"}, "outside the range"},
    };
    qsizetype said = 0; // wiring lines so far
    for (const TFault& fault : faults) {
        const QString meter = Meters[fault.Meter];
        SCOPED_TRACE(meter.toStdString() + ": " + fault.Checks.join(", ").toStdString());
        QSet<QString> keys;
        for (const QString& check : fault.Checks)
            keys << QuantityKey(check);
        const auto only = [&](const QSet<QString>& failing) {
            const TVerdicts now = Scrape(port);
            return now.Judged.size() == Meters.size() && now.Failing.value(meter) == failing &&
                   now.Failing.size() == (failing.isEmpty() ? 0 : 1);
        };
        gateway.SetWiring(uint8_t(fault.Meter + 1), fault.Wiring);
        EXPECT_TRUE(WaitFor([&] { return only(keys); })) << run.Stderr().toStdString();
        // Some passes more with the fault: it is said once, not per pass.
        const double requests = Scrape(port).Requests.value(meter);
        ASSERT_TRUE(WaitFor([&] { return Scrape(port).Requests.value(meter) >= requests + 3 * requestsPerPass; }));
        gateway.SetWiring(uint8_t(fault.Meter + 1), TWiring::Healthy);
        EXPECT_TRUE(WaitFor([&] { return only({}); })) << run.Stderr().toStdString();

        const QStringList lines = wiringLines().mid(said);
        said += lines.size();
        const QString named = QString("the meter \"%1\" (tcp:127.0.0.1:%2, address %3) ")
                                  .arg(meter).arg(gateway.Port()).arg(fault.Meter + 1);
        QStringList expected;
        for (const char* said : {"fails the wiring check \"%1\" (", "passes the wiring check \"%1\" again"})
            for (const QString& check : fault.Checks)
                expected << named + QString(said).arg(check);
        ASSERT_EQ(lines.size(), expected.size()) << lines.join('\n').toStdString();
        for (qsizetype i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].contains(expected[i])) << lines[i].toStdString();
        EXPECT_TRUE(lines.join('\n').contains(fault.Advice)) << lines.join('\n').toStdString();
    }
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
    EXPECT_EQ(wiringLines().size(), said) << run.Stderr().toStdString();
}

// The fields Grafana's dashboard model needs, by its documentation
// ("Dashboard JSON model", grafana.com/docs/grafana/latest/dashboards/
// build-dashboards/view-dashboard-json-model/), with their JSON types: the
// dashboard's, each panel's and each query's (a Prometheus query is "expr").
using TFields = std::vector<std::pair<const char*, QJsonValue::Type>>;
constexpr auto Text = QJsonValue::String, Number = QJsonValue::Double, Object = QJsonValue::Object;
const TFields DashboardFields{{"title", Text},  {"uid", Text},       {"schemaVersion", Number},
                              {"time", Object}, {"templating", Object}, {"panels", QJsonValue::Array}};
const TFields PanelFields{{"id", Number},      {"type", Text},         {"title", Text},
                          {"gridPos", Object}, {"datasource", Object}, {"targets", QJsonValue::Array}};
const TFields TargetFields{{"refId", Text}, {"expr", Text}};

::testing::AssertionResult HasFields(const QJsonValue& object, const TFields& fields)
{
    for (const auto& [name, type] : fields)
        if (object[name].type() != type)
            return ::testing::AssertionFailure() << "no " << name;
    return ::testing::AssertionSuccess();
}

QJsonObject Dashboard()
{
    return QJsonDocument::fromJson(FileBytes(KELVANE_GRAFANA_DASHBOARD)).object();
}

TEST(GrafanaDashboard, IsAModelGrafanaImportsWithTheDataSourceAndTheMeterAsVariables)
{
    const QJsonObject dashboard = Dashboard();
    ASSERT_TRUE(HasFields(dashboard, DashboardFields));
    EXPECT_TRUE(QRegularExpression("^[\\w-]{8,40}$").match(dashboard["uid"].toString()).hasMatch());
    QSet<int> ids;
    for (const QJsonValue panel : dashboard["panels"].toArray()) {
        SCOPED_TRACE(panel["title"].toString().toStdString());
        ASSERT_TRUE(HasFields(panel, PanelFields));
        EXPECT_FALSE(ids.contains(panel["id"].toInt())) << "each panel's id is its own";
        ids << panel["id"].toInt();
        EXPECT_LE(panel["gridPos"]["x"].toInt() + panel["gridPos"]["w"].toInt(), 24) << "the grid is 24 wide";
        // Bound to the variable, not to one Prometheus, so that it imports anywhere.
        EXPECT_EQ(panel["datasource"]["uid"].toString(), "${datasource}");
        QSet<QString> refIds;
        for (const QJsonValue target : panel["targets"].toArray()) {
            ASSERT_TRUE(HasFields(target, TargetFields));
            EXPECT_FALSE(refIds.contains(target["refId"].toString()));
            refIds << target["refId"].toString();
            EXPECT_TRUE(target["expr"].toString().contains("{meter=~\"$meter\"}")) << "each panel follows the meter";
        }
    }
    const QJsonArray variables = dashboard["templating"]["list"].toArray();
    const QJsonObject expected[] = {{{"name", "datasource"}, {"type", "datasource"}, {"query", "prometheus"}},
                                    {{"name", "meter"}, {"type", "query"}, {"multi", true}, {"includeAll", true}}};
    ASSERT_EQ(variables.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i)
        for (const QString& key : expected[i].keys())
            EXPECT_EQ(variables[qsizetype(i)][key], expected[i][key]) << key.toStdString();
}

// A panel's own least interval ("30s", "1h") in seconds; 0 when it has none.
int MinInterval(const QString& text)
{
    const QHash<QChar, int> unit{{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    return text.isEmpty() ? 0 : text.chopped(1).toInt() * unit.value(text.back());
}

// A query as Grafana sends it for the last five minutes with the data
// source's default scrape interval, 15 s: $__interval the step (at least the
// scrape interval and the panel's least interval), $__rate_interval
// max(step + 15 s, 60 s), "All" meters an alternation of every value (the
// names here hold nothing that Grafana would escape).
QString Expanded(QString expr, int step, const QStringList& meters)
{
    const std::pair<const char*, QString> variables[] = {
        {"$__rate_interval", QString("%1s").arg(std::max(step + 15, 60))},
        {"$__interval", QString("%1s").arg(step)},
        {"$meter", "(" + meters.join('|') + ")"}};
    for (const auto& [name, value] : variables)
        expr.replace(name, value);
    return expr;
}

TEST(GrafanaDashboard, EveryQueryOfEveryPanelAnswersForEachMeterAfterAShortRun)
{
    EnsureCoreApp();
    if (!TPrometheusServer::Installed())
        GTEST_SKIP() << TPrometheusServer::Program << " is not installed";
    const QSet<QString> all(Meters.begin(), Meters.end());
    simharness::TInProcessSim gateway({.Units = {1, 2, 3}});
    QTemporaryDir dir;
    TLoggerRun run(dir);
    const uint16_t port = localengine::FreeLoopbackPort();
    TPrometheusServer prometheus(QString("127.0.0.1:%1").arg(port));
    StartSite(run, dir, gateway.Port(), port, "0.5");
    ASSERT_TRUE(prometheus.Start()) << prometheus.Process().Failure().toStdString();

    // The meter variable's values, asked as Grafana asks for label_values().
    const QJsonObject dashboard = Dashboard();
    const QJsonArray variables = dashboard["templating"]["list"].toArray();
    ASSERT_EQ(variables[1]["query"].toString(), "label_values(kelvane_meter_up, meter)");
    const QUrl labels(QString("http://127.0.0.1:%1/api/v1/label/meter/values?match[]=kelvane_meter_up")
                          .arg(prometheus.Port()));
    ASSERT_TRUE(WaitFor([&] {
        const QJsonDocument answer = QJsonDocument::fromJson(localengine::HttpGet(labels).Body);
        const QStringList names = QVariant(answer["data"].toArray().toVariantList()).toStringList();
        return QSet<QString>(names.begin(), names.end()) == all;
    }, 60s)) << run.Stderr().toStdString();

    // Every range query, aligned to its step as Grafana aligns it. The hour
    // and day windows answer as soon as two scrapes lie in them, at points up
    // to now: a run of seconds shows what a run of days does.
    for (const QJsonValue panel : dashboard["panels"].toArray()) {
        const int step = std::max(15, MinInterval(panel["interval"].toString()));
        for (const QJsonValue target : panel["targets"].toArray()) {
            const QString expr = Expanded(target["expr"].toString(), step, Meters);
            SCOPED_TRACE(panel["title"].toString().toStdString() + ": " + expr.toStdString());
            QSet<QString> answered;
            EXPECT_TRUE(WaitFor([&] {
                const qint64 end = QDateTime::currentSecsSinceEpoch() / step * step;
                answered.clear();
                for (const auto& series : prometheus.QueryRange(expr, end - 300 / step * step, end, step))
                    if (std::isfinite(series.Value))
                        answered << series.Labels.value("meter");
                return answered == all;
            }, 60s)) << QStringList(answered.begin(), answered.end()).join(", ").toStdString();
        }
    }
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
}

} // namespace
