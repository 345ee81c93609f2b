// The Grafana dashboard that ships with the logger: a model Grafana can
// import, and every query of every panel, with its variables put in as
// Grafana puts them in, answered by a real Prometheus that scrapes the real
// kelvane-log with simulated meters, for each meter.

#include "CoreApp.h"
#include "LocalEngine.h"
#include "LoggerRun.h"
#include "PrometheusServer.h"
#include "SimHarness.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

// The fields Grafana's dashboard model needs, after its documentation
// ("Dashboard JSON model", grafana.com/docs/grafana/latest/dashboards/
// build-dashboards/view-dashboard-json-model/): the dashboard's, each
// panel's and each query's (a Prometheus query's text is its "expr").
struct TField {
    const char* Name;
    QJsonValue::Type Type;
};
const TField DashboardFields[] = {{"title", QJsonValue::String},   {"uid", QJsonValue::String},
                                  {"schemaVersion", QJsonValue::Double}, {"panels", QJsonValue::Array},
                                  {"templating", QJsonValue::Object}, {"time", QJsonValue::Object}};
const TField PanelFields[] = {{"id", QJsonValue::Double},       {"type", QJsonValue::String},
                              {"title", QJsonValue::String},    {"gridPos", QJsonValue::Object},
                              {"datasource", QJsonValue::Object}, {"targets", QJsonValue::Array}};
const TField TargetFields[] = {{"refId", QJsonValue::String}, {"expr", QJsonValue::String}};
const TField VariableFields[] = {{"name", QJsonValue::String}, {"type", QJsonValue::String}};

::testing::AssertionResult HasFields(const QJsonObject& object, const auto& fields)
{
    for (const TField& field : fields)
        if (object[field.Name].type() != field.Type)
            return ::testing::AssertionFailure() << "no " << field.Name << " of its type in "
                                                 << QJsonDocument(object).toJson().left(300).toStdString();
    return ::testing::AssertionSuccess();
}

QJsonObject Dashboard()
{
    QFile file(KELVANE_GRAFANA_DASHBOARD);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

TEST(GrafanaDashboard, IsAModelGrafanaImportsWithTheDataSourceAndTheMeterAsVariables)
{
    const QJsonObject dashboard = Dashboard();
    ASSERT_TRUE(HasFields(dashboard, DashboardFields));
    EXPECT_GE(dashboard["uid"].toString().size(), 8);
    EXPECT_LE(dashboard["uid"].toString().size(), 40);
    QSet<int> ids;
    for (const QJsonValue panel : dashboard["panels"].toArray()) {
        SCOPED_TRACE(panel["title"].toString().toStdString());
        ASSERT_TRUE(HasFields(panel.toObject(), PanelFields));
        EXPECT_FALSE(ids.contains(panel["id"].toInt())) << "ids are the panels' own";
        ids << panel["id"].toInt();
        const QJsonObject at = panel["gridPos"].toObject();
        EXPECT_LE(at["x"].toInt() + at["w"].toInt(), 24) << "the grid is 24 wide";
        EXPECT_GT(at["h"].toInt(), 0);
        // Bound to the variable, not to one Prometheus, so that it imports anywhere.
        EXPECT_EQ(panel["datasource"]["uid"].toString(), "${datasource}");
        QSet<QString> refIds;
        for (const QJsonValue target : panel["targets"].toArray()) {
            ASSERT_TRUE(HasFields(target.toObject(), TargetFields));
            EXPECT_FALSE(refIds.contains(target["refId"].toString()));
            refIds << target["refId"].toString();
            EXPECT_TRUE(target["expr"].toString().contains("{meter=~\"$meter\"}")) << "each panel follows the meter";
        }
    }
    const QJsonArray variables = dashboard["templating"]["list"].toArray();
    ASSERT_EQ(variables.size(), 2);
    for (const QJsonValue variable : variables)
        ASSERT_TRUE(HasFields(variable.toObject(), VariableFields));
    EXPECT_EQ(variables[0]["name"], "datasource");
    EXPECT_EQ(variables[0]["type"], "datasource");
    EXPECT_EQ(variables[0]["query"], "prometheus");
    EXPECT_EQ(variables[1]["name"], "meter");
    EXPECT_EQ(variables[1]["type"], "query");
    EXPECT_TRUE(variables[1]["multi"].toBool() && variables[1]["includeAll"].toBool());
}

// A panel's own least interval ("1h", "30s"), in seconds; 0 when it has none.
int MinInterval(const QJsonValue& panel)
{
    static const QRegularExpression interval(R"(^(\d+)([smhd])$)");
    const QRegularExpressionMatch m = interval.match(panel["interval"].toString());
    const QHash<QString, int> seconds{{"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
    return m.hasMatch() ? m.captured(1).toInt() * seconds[m.captured(2)] : 0;
}

// A query as Grafana sends it for the last five minutes with the Prometheus
// data source's default scrape interval (15 s): $__interval the step, never
// below the scrape interval or the panel's own least interval;
// $__rate_interval the step and a scrape interval, at least four scrape
// intervals; "All" meters as an alternation of every value of the variable
// (the names here hold nothing that Grafana would escape).
QString Expanded(QString expr, int step, const QStringList& meters)
{
    const std::pair<const char*, QString> variables[] = {{"$__rate_interval", QString("%1s").arg(std::max(step + 15, 60))},
                                                         {"$__interval", QString("%1s").arg(step)},
                                                         {"$__range", "300s"},
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
    const QStringList meters{"Incomer", "Feeder 2", "Chiller"};
    simharness::TInProcessSim gateway({.Units = {1, 2, 3}});
    QTemporaryDir dir;
    QString site;
    for (int i = 0; i < meters.size(); ++i)
        site += QString("[%1]\nLink=tcp:127.0.0.1:%2\nAddress=%3\n").arg(meters[i]).arg(gateway.Port()).arg(i + 1);
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), site.toUtf8()));
    const uint16_t port = localengine::FreeLoopbackPort();
    TPrometheusServer prometheus(QString("127.0.0.1:%1").arg(port));
    TLoggerRun run(dir);
    run.Start({"--site", dir.filePath("site.ini"), "--interval", "0.5", "--metrics", QString::number(port)});
    ASSERT_TRUE(prometheus.Start()) << prometheus.Process().Failure().toStdString();

    // The meter variable's values, asked as Grafana asks for label_values().
    const QJsonObject dashboard = Dashboard();
    const QJsonArray variables = dashboard["templating"]["list"].toArray();
    ASSERT_EQ(variables[1]["query"].toString(), "label_values(kelvane_meter_up, meter)");
    const QUrl labels(QString("http://127.0.0.1:%1/api/v1/label/meter/values?match[]=kelvane_meter_up")
                          .arg(prometheus.Port()));
    EXPECT_TRUE(WaitFor([&] {
        const QJsonArray values = QJsonDocument::fromJson(localengine::HttpGet(labels).Body)["data"].toArray();
        QStringList names;
        for (const QJsonValue value : values)
            names << value.toString();
        return QSet<QString>(names.begin(), names.end()) == QSet<QString>(meters.begin(), meters.end());
    }, 60s)) << run.Stderr().toStdString();

    // Every range query, its start and end aligned to the step as Grafana
    // aligns them. The energy panels' hour and day windows answer as soon as
    // two scrapes lie in them, and their points every step up to now: a run
    // of seconds shows what a run of days does.
    for (const QJsonValue panel : dashboard["panels"].toArray()) {
        const int step = std::max(15, MinInterval(panel));
        for (const QJsonValue target : panel["targets"].toArray()) {
            const QString expr = Expanded(target["expr"].toString(), step, meters);
            SCOPED_TRACE(panel["title"].toString().toStdString() + ": " + expr.toStdString());
            QSet<QString> answered;
            EXPECT_TRUE(WaitFor([&] {
                const qint64 now = QDateTime::currentSecsSinceEpoch();
                answered.clear();
                for (const auto& series : prometheus.QueryRange(expr, (now - 300) / step * step, now / step * step, step))
                    if (std::isfinite(series.Value))
                        answered << series.Labels.value("meter");
                return answered == QSet<QString>(meters.begin(), meters.end());
            }, 60s)) << QStringList(answered.begin(), answered.end()).join(", ").toStdString();
        }
    }
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
}

} // namespace
