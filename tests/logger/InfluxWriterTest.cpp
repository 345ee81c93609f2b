// The InfluxDB writer against a real InfluxDB 1.x: what arrives, what a
// refusal and a restart of the server cost, and what the writer says; and
// against a server that stores a write and answers late.

#include "InfluxWriter.h"

#include "CoreApp.h"
#include "InfluxServer.h"
#include "StderrCapture.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using localengine::WaitUntil;
using namespace std::chrono_literals;

// An HTTP server that keeps the body of each request and answers 204 after
// the delay of its turn (the last delay holds for the rest): a server that
// stores a write and answers late.
class TLateServer {
public:
    explicit TLateServer(std::vector<std::chrono::milliseconds> delays) : delays_(std::move(delays))
    {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { Read(socket); });
        });
    }
    QUrl Url() const { return QUrl(QString("http://127.0.0.1:%1").arg(server_.serverPort())); }
    const QList<QByteArray>& Bodies() const { return bodies_; }

private:
    void Read(QTcpSocket* socket)
    {
        QByteArray& request = pending_[socket];
        request += socket->readAll();
        const qsizetype headerEnd = request.indexOf("\r\n\r\n");
        const QRegularExpressionMatch length =
            QRegularExpression("content-length: *([0-9]+)", QRegularExpression::CaseInsensitiveOption).match(request);
        if (headerEnd < 0 || !length.hasMatch() || request.size() < headerEnd + 4 + length.captured(1).toLongLong())
            return;
        bodies_ << request.mid(headerEnd + 4);
        request.clear();
        const auto delay = delays_[std::min(std::size_t(bodies_.size()), delays_.size()) - 1];
        QTimer::singleShot(delay, socket, [socket] { socket->write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"); });
    }

    std::vector<std::chrono::milliseconds> delays_;
    QTcpServer server_;
    std::map<QTcpSocket*, QByteArray> pending_;
    QList<QByteArray> bodies_;
};

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

    // Limits whose spool files are the test's own.
    TInfluxLimits Limits(qint64 memoryBytes = 8 << 20, qint64 fileBytes = 1 << 30,
                         std::chrono::milliseconds timeout = 5000ms) const
    {
        return {.Spool = {memoryBytes, fileBytes, Dir.filePath(QString("spool%1").arg(memoryBytes ^ fileBytes))},
                .FirstRetry = 100ms,
                .LastRetry = 400ms,
                .RequestTimeout = timeout};
    }
    qsizetype SpoolFiles() const { return QDir(Dir.path()).entryList({"*.spool"}).size(); }

    const qint64 start = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;
    QTemporaryDir Dir;
    TInfluxServer Influx;
};

TEST_F(InfluxWriterTest, EachAnsweredPassIsOnePointOfItsMeter)
{
    TStderrCapture said;
    TInfluxWriter writer(Influx.Url(), "site", Limits());
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
    TInfluxWriter writer(Influx.Url(), "nowhere", Limits());
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
    TInfluxLimits oneLineEach = Limits();
    oneLineEach.BatchBytes = 1;
    TInfluxWriter writer(Influx.Url(), "hour", oneLineEach);
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

// The server goes away for a while: the lines a writer holds, in memory and
// beyond its bound in its spool files, arrive when it is back; those beyond
// the spool's bound, the oldest, are counted and said. The writers share one
// outage, each with its own messages.
TEST_F(InfluxWriterTest, LinesKeptWhileTheServerIsDownArriveWhenItIsBack)
{
    struct TCase {
        const char* Meter;
        qint64 MemoryBytes, FileBytes;
        bool Spooled; // files hold lines during the outage
        bool Dropping;
    } const cases[] = {
        {"In memory", 1 << 20, 1 << 30, false, false},
        {"Spooled", 300, 1 << 30, true, false},
        {"Beyond the spool", 300, 400, true, true},
    };
    TStderrCapture said;
    std::vector<std::unique_ptr<TInfluxWriter>> writers;
    for (const TCase& c : cases)
        writers.push_back(std::make_unique<TInfluxWriter>(Influx.Url(), "site", Limits(c.MemoryBytes, c.FileBytes)));
    Influx.Stop();
    // The first line finds the server gone; the others wait behind it.
    for (int i = 1; i <= 12; ++i) {
        for (std::size_t w = 0; w < writers.size(); ++w)
            writers[w]->Publish(Reading(cases[w].Meter, 1, start + i * 1000, true, {{1, double(i)}}));
        if (i == 1) {
            ASSERT_TRUE(WaitUntil([&] { return said.Count("cannot write to InfluxDB") == 3; }));
        }
    }
    EXPECT_EQ(SpoolFiles() > 0, cases[1].Spooled);
    ASSERT_TRUE(Influx.Start()) << Influx.Process().Failure().toStdString();
    std::printf("influxd ready again after %lld ms\n", qlonglong(Influx.Process().StartTime().count()));
    ASSERT_TRUE(WaitUntil([&] { return said.Count("works again") == 3; })) << said.Text().toStdString();

    EXPECT_EQ(said.Count("cannot write to InfluxDB"), 3) << said.Text().toStdString();
    EXPECT_EQ(said.Count("works again; no line was dropped meanwhile"), 2) << said.Text().toStdString();
    const QRegularExpressionMatch dropped = QRegularExpression("works again; ([0-9]+) lines? w").match(said.Text());
    ASSERT_TRUE(dropped.hasMatch()) << said.Text().toStdString();
    for (std::size_t w = 0; w < writers.size(); ++w) {
        const TCase& c = cases[w];
        SCOPED_TRACE(c.Meter);
        const qsizetype lost = c.Dropping ? dropped.captured(1).toInt() : 0;
        // "Works again" comes with the first batch that is taken; the lines
        // kept behind it follow in batches of their own.
        std::vector<QJsonObject> points;
        EXPECT_TRUE(WaitUntil([&] { return qsizetype((points = Points(c.Meter)).size()) >= 12 - lost; }));
        EXPECT_EQ(c.Dropping, lost > 0);
        ASSERT_EQ(qsizetype(points.size()), 12 - lost);
        EXPECT_EQ(points.front()["total_real_power"].toDouble(), 1.0 + double(lost)) << "the oldest lines went first";
        EXPECT_EQ(points.back()["total_real_power"].toDouble(), 12);
        writers[w]->Finish(TSiteOutput::Clock::now() + 10s);
    }
    EXPECT_EQ(said.Count("not written"), 0) << said.Text().toStdString();
    EXPECT_EQ(SpoolFiles(), 0);
}

// A run that ends while the server is away keeps its lines in the spool
// files; the next run with the same files sends them first, the whole ones
// of a file a crash left.
TEST_F(InfluxWriterTest, LinesKeptAtTheEndAreSentAtTheNextStart)
{
    TStderrCapture said;
    Influx.Stop();
    {
        TInfluxWriter writer(Influx.Url(), "site", Limits());
        for (int i = 1; i <= 3; ++i)
            writer.Publish(Reading("Kept", 1, start + i * 1000, true, {{1, double(i)}}));
        writer.Finish(TSiteOutput::Clock::now() + 500ms);
    }
    EXPECT_EQ(said.Count("3 lines kept in"), 1) << said.Text().toStdString();
    EXPECT_EQ(said.Count("not written"), 0) << said.Text().toStdString();
    ASSERT_EQ(SpoolFiles(), 1);
    // A crash while a record was written leaves it cut short: it is cut off.
    QFile spool(Dir.filePath(QDir(Dir.path()).entryList({"*.spool"}).front()));
    ASSERT_TRUE(spool.open(QIODevice::Append) && spool.write(QByteArray("\x40\0\0\0kelvane,meter=", 18)) == 18);
    spool.close();
    ASSERT_TRUE(Influx.Start()) << Influx.Process().Failure().toStdString();
    TInfluxWriter next(Influx.Url(), "site", Limits());
    EXPECT_EQ(said.Count("3 lines left by the last run"), 1) << said.Text().toStdString();
    next.Publish(Reading("Kept", 1, start + 4000, true, {{1, 4.0}}));
    ASSERT_TRUE(WaitUntil([&] { return Points("Kept").size() == 4; })) << said.Text().toStdString();
    EXPECT_EQ(SpoolFiles(), 0);
}

// A write that gets its answer late was stored all the same: it is sent
// again, never called lost, and a stop waits for it until its deadline;
// past the deadline it may have been stored and is kept for the next start.
TEST_F(InfluxWriterTest, AWriteAnsweredLateIsUncertainNeverLost)
{
    struct TCase {
        const char* Name;
        std::vector<std::chrono::milliseconds> Delays;
        bool StopAtOnce;
        int Writes;
        const char* Said;
        qsizetype SpoolFiles;
    } const cases[] = {
        {"answered after the timeout", {1500ms, 0ms}, false, 2,
         "no answer within 300 ms, so the lines may have been stored; keeping them", 0},
        {"stop during the write", {400ms}, true, 1, "", 0},
        {"stop before the answer", {5000ms}, true, 1,
         "had not answered the write of 1 line by the end, which may have been stored", 1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TStderrCapture said;
        TLateServer server(c.Delays);
        const TInfluxLimits limits = Limits(8 << 20, 1 << 30, 300ms * (c.StopAtOnce ? 10 : 1));
        TInfluxWriter writer(server.Url(), "site", limits);
        writer.Publish(Reading("Late", 1, start, true, {{1, 1.0}}));
        if (c.StopAtOnce) {
            ASSERT_TRUE(WaitUntil([&] { return server.Bodies().size() == 1; }));
            // As at a stop, where the links' end has told the application
            // to exit before the outputs finish.
            QCoreApplication::exit(0);
        } else {
            ASSERT_TRUE(WaitUntil([&] { return said.Count("works again") == 1; })) << said.Text().toStdString();
        }
        writer.Finish(TSiteOutput::Clock::now() + 900ms);
        if (c.StopAtOnce) {
            // Clears the request to exit for the tests after.
            QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
            QCoreApplication::exec();
        }
        EXPECT_EQ(server.Bodies().size(), c.Writes);
        EXPECT_EQ(server.Bodies().front(), server.Bodies().back()) << "the same lines again";
        EXPECT_EQ(*c.Said ? said.Count(c.Said) : said.Text().size(), *c.Said ? 1 : 0) << said.Text().toStdString();
        EXPECT_FALSE(said.Text().contains("not written")) << said.Text().toStdString();
        EXPECT_EQ(SpoolFiles(), c.SpoolFiles);
        for (const QString& file : QDir(Dir.path()).entryList({"*.spool"}))
            QFile::remove(Dir.filePath(file));
    }
}

} // namespace
