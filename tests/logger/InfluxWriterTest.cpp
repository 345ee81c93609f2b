// The InfluxDB writer against a real InfluxDB 1.x: what arrives, what a
// refusal and a restart of the server cost, and what the writer says.

#include "InfluxWriter.h"

#include "CoreApp.h"
#include "InfluxServer.h"
#include "StderrCapture.h"

#include <QJsonObject>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using localengine::WaitUntil;
using namespace std::chrono_literals;

class InfluxWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!TInfluxServer::Installed())
            GTEST_SKIP() << TInfluxServer::Program << " is not installed";
        EnsureCoreApp();
        ASSERT_TRUE(Influx.Start()) << Influx.Process().Failure().toStdString();
        std::printf("influxd ready after %lld ms\n", qlonglong(Influx.Process().StartTime().count()));
        Influx.Query("CREATE DATABASE site");
    }

    // The points of one meter, oldest first, each by column name.
    std::vector<QJsonObject> Points(const QString& meter)
    {
        std::vector<QJsonObject> points;
        const QString select = QString("SELECT * FROM kelvane WHERE meter = '%1'").arg(QString(meter).replace("'", "\\'"));
        for (const QJsonValue series : Influx.Query(select, "site")) {
            const QJsonArray columns = series["columns"].toArray();
            for (const QJsonValue row : series["values"].toArray()) {
                QJsonObject point;
                for (qsizetype i = 0; i < columns.size(); ++i)
                    point[columns[i].toString()] = row.toArray()[i];
                points.push_back(point);
            }
        }
        return points;
    }

    static TMeterReading Reading(const QString& meter, uint8_t address, qint64 msecs, bool answered,
                                 std::initializer_list<std::pair<std::size_t, double>> values)
    {
        TMeterReading reading;
        reading.Meter = {meter, "tcp:127.0.0.1:1502", address};
        reading.Time = QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
        reading.Answered = answered;
        for (const auto& [index, value] : values)
            reading.Values[index] = value;
        return reading;
    }

    const qint64 start = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;
    TInfluxServer Influx;
};

TEST_F(InfluxWriterTest, EachAnsweredPassIsOnePointOfItsMeter)
{
    TStderrCapture said;
    TInfluxWriter writer(Influx.Url(), "site");
    const QString main = "Main, incomer=1 A";
    writer.Publish(Reading(main, 1, start, true, {{1, 1520.5}, {10, 230.125}, {35, 12345.678}}));
    writer.Publish(Reading("Pump", 7, start + 1500, true, {{1, 300}}));
    writer.Publish(Reading("Pump", 7, start + 2500, false, {{1, 999}}));
    writer.Finish(TSiteOutput::Clock::now() + 30s);

    const std::vector<QJsonObject> mainPoints = Points(main);
    ASSERT_EQ(mainPoints.size(), 1u);
    EXPECT_EQ(mainPoints[0]["address"].toString(), "1");
    EXPECT_EQ(mainPoints[0]["total_real_power"].toDouble(), 1520.5);
    EXPECT_EQ(mainPoints[0]["voltage_a_n"].toDouble(), 230.125);
    EXPECT_EQ(mainPoints[0]["total_import_energy_a_b_c"].toDouble(), 12345.678);
    const std::vector<QJsonObject> pumpPoints = Points("Pump");
    ASSERT_EQ(pumpPoints.size(), 1u) << "a pass the meter did not answer is no point";
    EXPECT_EQ(pumpPoints[0]["address"].toString(), "7");
    EXPECT_EQ(pumpPoints[0]["total_real_power"].toDouble(), 300);
    EXPECT_TRUE(pumpPoints[0]["total_import_energy_a_b_c"].isNull()) << "a quantity the pass did not bring is no field";
    EXPECT_EQ(QDateTime::fromString(pumpPoints[0]["time"].toString(), Qt::ISODateWithMs).toMSecsSinceEpoch(),
              start + 1500);
    EXPECT_EQ(said.Text(), "");
}

TEST_F(InfluxWriterTest, ARefusedWriteIsSaidOnceWithInfluxText)
{
    TStderrCapture said;
    TInfluxWriter writer(Influx.Url(), "nowhere");
    for (int i = 0; i < 3; ++i) {
        writer.Publish(Reading("Main", 1, start + i * 1000, true, {{1, 100.0 + i}}));
        ASSERT_TRUE(WaitUntil([&] { return said.Count("HTTP 404") >= 1; }));
    }
    writer.Finish(TSiteOutput::Clock::now() + 10s);
    EXPECT_EQ(said.Count("cannot write to InfluxDB"), 1) << said.Text().toStdString();
    EXPECT_EQ(said.Count("database not found: \"nowhere\""), 1) << said.Text().toStdString();
    EXPECT_EQ(said.Count("3 lines were not written"), 1) << said.Text().toStdString();
}

// A database that keeps an hour refuses a point older than that and takes
// the next, each sent alone: failing and working again, pass after pass,
// are each said once and then counted, and the lines refused once more.
TEST_F(InfluxWriterTest, RefusalsBetweenWritesThatWorkAreCounted)
{
    Influx.Query("CREATE DATABASE hour WITH DURATION 1h");
    TStderrCapture said;
    TInfluxWriter writer(Influx.Url(), "hour", TInfluxLimits{100000, 1, 1000ms, 30000ms, 5000ms});
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < 5; ++i) {
        writer.Publish(Reading("Main", 1, start - 3600 * 1000 + i, true, {{1, 1.0}}));
        writer.Publish(Reading("Main", 1, now + i, true, {{1, 2.0}}));
        ASSERT_TRUE(WaitUntil([&] { return Influx.Query("SELECT * FROM kelvane", "hour").at(0)["values"].toArray().size() == i + 1; }));
    }
    writer.Finish(TSiteOutput::Clock::now() + 10s);
    const QString where = Influx.Url().toString() + "/write";
    const QStringList lines = said.Text().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << said.Text().toStdString();
    EXPECT_TRUE(lines[0].contains("cannot write to InfluxDB at " + where + ": refused (HTTP 400)")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("writing to InfluxDB at " + where + " works again; 1 line was dropped meanwhile"));
    EXPECT_TRUE(lines[2].endsWith("cannot write to InfluxDB at " + where + " (4 more times in the last minute)")) << said.Text().toStdString();
    EXPECT_TRUE(lines[3].endsWith("writing to InfluxDB at " + where + " works again (4 more times in the last minute)"));
    EXPECT_TRUE(lines[4].endsWith("4 lines were not written to InfluxDB at " + where)) << lines[4].toStdString();
}

// The server goes away for a while: the lines a writer's buffer keeps
// arrive when it is back, and those it cannot keep, the oldest, are counted
// and said. The writers share one outage, each with its own messages.
TEST_F(InfluxWriterTest, LinesKeptWhileTheServerIsDownArriveWhenItIsBack)
{
    struct TCase {
        const char* Meter;
        qsizetype Bound;
        std::size_t Arriving; // of the 12 published while down, the newest
        const char* Said;
    } const cases[] = {
        {"Big buffer", 100000, 12, "works again; no line was dropped meanwhile"},
        {"Small buffer", 5, 5, "works again; 7 lines were dropped meanwhile"},
    };
    TStderrCapture said;
    std::vector<std::unique_ptr<TInfluxWriter>> writers;
    for (const TCase& c : cases)
        writers.push_back(std::make_unique<TInfluxWriter>(Influx.Url(), "site",
                                                          TInfluxLimits{c.Bound, 5000, 100ms, 400ms, 5000ms}));
    Influx.Stop();
    // The first line finds the server gone; the others wait behind it.
    for (int i = 1; i <= 12; ++i) {
        for (std::size_t w = 0; w < writers.size(); ++w)
            writers[w]->Publish(Reading(cases[w].Meter, 1, start + i * 1000, true, {{1, double(i)}}));
        if (i == 1) {
            ASSERT_TRUE(WaitUntil([&] { return said.Count("cannot write to InfluxDB") == 2; }));
        }
    }
    ASSERT_TRUE(Influx.Start()) << Influx.Process().Failure().toStdString();
    std::printf("influxd ready again after %lld ms\n", qlonglong(Influx.Process().StartTime().count()));
    ASSERT_TRUE(WaitUntil([&] { return said.Count("works again") == 2; })) << said.Text().toStdString();

    EXPECT_EQ(said.Count("cannot write to InfluxDB"), 2) << said.Text().toStdString();
    for (std::size_t w = 0; w < writers.size(); ++w) {
        const TCase& c = cases[w];
        SCOPED_TRACE(c.Meter);
        const std::vector<QJsonObject> points = Points(c.Meter);
        ASSERT_EQ(points.size(), c.Arriving);
        EXPECT_EQ(points.front()["total_real_power"].toDouble(), 13.0 - double(c.Arriving)) << "the oldest lines went first";
        EXPECT_EQ(points.back()["total_real_power"].toDouble(), 12);
        EXPECT_EQ(said.Count(c.Said), 1) << said.Text().toStdString();
        writers[w]->Finish(TSiteOutput::Clock::now() + 10s);
    }
    EXPECT_EQ(said.Count("not written"), 0) << said.Text().toStdString();
}

} // namespace
