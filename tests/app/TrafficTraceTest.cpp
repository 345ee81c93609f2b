// The "Modbus Data Display" fed by the utility's read-all passes: each
// exchange with the time its request went out, its round trip and its
// outcome; the failed ones alone under "Failed only"; and the timing the
// meter link takes from a serial line.

#include "AppHarness.h"

#include "KelvaneCOM.h"
#include "frmModbusData.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>

using apptest::rSimSetup;
using apptest::TAppHarness;
using apptest::Poller;

namespace {

QStringList TraceLines(const TModbusData& display)
{
    const QAbstractItemModel& model = *display.findChild<QAbstractItemView*>("Memo")->model();
    QStringList lines;
    for (int row = 0; row < model.rowCount(); ++row)
        lines << model.index(row, 0).data().toString();
    return lines;
}

struct TResultLine {
    QString Outcome;
    QDateTime At;
    double RoundTripMs = -1;
};

TResultLine ParseResult(const QString& line)
{
    static const QRegularExpression result(
        R"(^   RESULT: (.+)   at (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}), round trip (\d+\.\d) ms$)");
    const QRegularExpressionMatch match = result.match(line);
    if (!match.hasMatch())
        return {};
    return {match.captured(1), QDateTime::fromString(match.captured(2), "yyyy-MM-dd hh:mm:ss.zzz"),
            match.captured(3).toDouble()};
}

int64_t WallClockMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

TEST(TrafficTrace, EachBankReadShowsItsTimeRoundTripAndOutcomeAndTheFailedOneStandsAlone)
{
    TAppHarness app;
    app.WriteFile("RegisterBanks.ini", "[Measurements]\nName=Measurements\nStart=0\nEnd=124\n"
                                       "[Beyond]\nName=Beyond\nStart=2000\nEnd=2009\n"
                                       "[Configuration]\nName=Configuration\nStart=128\nEnd=158\n");
    TForm1& form = app.Start();
    TModbusData& display = *form.Dialogs().ModbusData;
    display.resize(980, 360);
    display.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&display));
    QTest::mouseClick(display.findChild<QAbstractButton*>("Clear"), Qt::LeftButton);

    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    QElapsedTimer pass;
    pass.start();
    Poller(form).Poll();
    const double passMs = static_cast<double>(pass.nsecsElapsed()) / 1e6;
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList lines = TraceLines(display);
    ASSERT_EQ(lines.size(), 12) << lines.join('\n').toStdString();
    const char* outcomes[] = {"OK", "Exception 2: Illegal Data Address", "OK"};
    QDateTime previousEnd = before;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(lines[4 * i].startsWith("QRY >(00)")) << lines[4 * i].toStdString();
        const TResultLine result = ParseResult(lines[4 * i + 2]);
        ASSERT_TRUE(result.At.isValid()) << lines[4 * i + 2].toStdString();
        EXPECT_EQ(result.Outcome, outcomes[i]);
        // The exchanges follow one another: each went out after the one
        // before had its outcome, and all within the pass.
        EXPECT_GE(result.At, previousEnd.addMSecs(-1)) << lines[4 * i + 2].toStdString();
        EXPECT_LE(result.RoundTripMs, passMs);
        previousEnd = result.At.addMSecs(static_cast<qint64>(result.RoundTripMs));
        EXPECT_LE(previousEnd, after.addMSecs(1)) << lines[4 * i + 2].toStdString();
        EXPECT_EQ(lines[4 * i + 3], QString(35, '-'));
    }
    EXPECT_TRUE(lines[4].endsWith("(01)(03)(07)(D0)(00)(0A)")) << lines[4].toStdString();
    EXPECT_TRUE(lines[5].endsWith("(01)(83)(02)")) << lines[5].toStdString();
    testsupport::SaveScreenshot(display, "trace");

    QTest::mouseClick(display.findChild<QCheckBox*>("cbFailedOnly"), Qt::LeftButton);
    EXPECT_EQ(TraceLines(display), lines.mid(4, 4));
    Poller(form).Poll();
    const QStringList failed = TraceLines(display);
    ASSERT_EQ(failed.size(), 8) << failed.join('\n').toStdString();
    // The same request, with a transaction identifier of its own.
    EXPECT_EQ(failed[4].mid(13), lines[4].mid(13));
    EXPECT_NE(failed[4], lines[4]);
    EXPECT_EQ(ParseResult(failed[6]).Outcome, "Exception 2: Illegal Data Address");
}

// The time a serial request went out and its round trip, answered and
// unanswered (the receive timeout, 200 ms here, passes first).
TEST(TrafficTrace, SerialExchangesAreTimedFromTheirFrames)
{
    struct Row {
        const char* name;
        int dropEvery;
        int result;
        int64_t minRoundTripUs;
        int64_t maxRoundTripUs;
    };
    for (const Row row : {Row{"answered", 0, 0, 1, 10000000}, Row{"unanswered", 1, -1, 150000, 10000000}}) {
        SCOPED_TRACE(row.name);
        simharness::TInProcessRtuSim meter(rSimSetup{.Units = {1}, .Faults = {.DropEvery = row.dropEvery}});
        TKelvane link(QString::fromStdString(meter.Path()), false);
        link.SetBaudRate(TBaudRate::br19200);
        link.SetRXTimeout(200);
        ASSERT_TRUE(link.Active());
        const bool abort = false;
        const int64_t before = WallClockMs();
        QElapsedTimer exchange;
        exchange.start();
        const TExchange read = link.Read(1, 3, 0, 9, abort);
        ASSERT_EQ(read.Result, row.result);
        const int64_t elapsedUs = exchange.nsecsElapsed() / 1000;
        ASSERT_EQ(read.Attempts.size(), 1u);
        const TAttempt& timing = read.Attempts[0];
        EXPECT_EQ(TKelvane::Hexa(read.Request()), "(01)(03)(00)(00)(00)(0A)(C5)(CD)");
        EXPECT_GE(timing.SentAt, before);
        EXPECT_LE(timing.SentAt, WallClockMs());
        EXPECT_GE(timing.RoundTripUs, row.minRoundTripUs);
        EXPECT_LE(timing.RoundTripUs, std::min(row.maxRoundTripUs, elapsedUs));
    }
}
