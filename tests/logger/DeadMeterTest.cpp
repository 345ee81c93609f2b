// kelvane-log --site with meters that do not answer on an RS-485 bus, a
// simulator on a pseudo-terminal: the meters that answer keep their
// interval, and a meter that keeps silent is asked less often while its file
// shows the gap at every interval.

#include "LateMeter.h"
#include "LogFile.h"
#include "LoggerRun.h"
#include "SimHarness.h"

#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool NoValue(const QString& record)
{
    const QStringList fields = record.split(LogFile::ListSeparator(QLocale("en_US"))).mid(2);
    return std::all_of(fields.begin(), fields.end(), [](const QString& field) { return field.isEmpty(); });
}

// Ten meters on one bus at 19200 baud, read every 2.5 s with a 250 ms
// timeout and 3 tries (a 5 s site's times halved, the bus as fast), and no
// meter at addresses 9 and 10: each meter that answers records at its
// interval, within 10 %, from its first record on, while the two dead ones
// still get a record, without values, at every interval.
TEST(SiteDeadMeters, MetersThatAnswerKeepTheirIntervalWhileTwoOfTenAreDead)
{
    simharness::TInProcessRtuSim bus({.Units = {1, 2, 3, 4, 5, 6, 7, 8}});
    QTemporaryDir dir;
    QString site;
    QStringList files;
    for (int address = 1; address <= 10; ++address) {
        files << dir.filePath(QString("m%1.csv").arg(address));
        site += QString("[M%1]\nLink=rtu:%2:19200\nAddress=%1\nFile=%3\nTimeout=250\nTries=3\n")
                    .arg(address)
                    .arg(QString::fromStdString(bus.Path()), files.back());
    }
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), site.toUtf8()));
    TLoggerRun run(dir);
    run.Start({"--site", dir.filePath("site.ini"), "--interval", "2.5"});
    // When each record of each file was seen.
    constexpr qsizetype Records = 9;
    std::vector<std::vector<Clock::time_point>> seen(files.size());
    const auto allLiveRecorded = [&] {
        bool all = true;
        for (qsizetype m = 0; m < files.size(); ++m) {
            const qsizetype records = std::max<qsizetype>(Lines(files[m]).size() - 1, 0);
            while (qsizetype(seen[m].size()) < records)
                seen[m].push_back(Clock::now());
            all = all && (m >= 8 || records >= Records);
        }
        return all;
    };
    ASSERT_TRUE(WaitFor(allLiveRecorded, 120s)) << run.Stderr().toStdString();
    ASSERT_EQ(run.Finish(SIGTERM), 0);

    for (qsizetype m = 0; m < 8; ++m) {
        const auto span = std::chrono::duration<double>(seen[m][Records - 1] - seen[m][0]).count();
        EXPECT_NEAR(span / (Records - 1), 2.5, 0.25) << "M" << m + 1 << "\n" << run.Stderr().toStdString();
        EXPECT_FALSE(run.Stderr().contains(QString("meter \"M%1\"").arg(m + 1))) << "M" << m + 1 << " answered every pass";
    }
    for (qsizetype m : {8, 9}) {
        const QStringList records = Lines(files[m]).mid(1);
        EXPECT_GE(records.size(), Records - 1) << "M" << m + 1;
        EXPECT_TRUE(std::all_of(records.begin(), records.end(), NoValue)) << "M" << m + 1;
        EXPECT_EQ(run.Stderr().count(QString("the meter \"M%1\" (rtu:%2:19200, address %1) gave no answer 3 passes in a "
                                             "row: it is asked less often now, at least every 300 s, until it answers")
                                         .arg(m + 1)
                                         .arg(QString::fromStdString(bus.Path()))),
                  1)
            << run.Stderr().toStdString();
    }
}

// A meter that falls silent is asked less often after three passes without
// an answer, told once, while its file gets a record without values at every
// interval; once it answers again it is read at the next pass that asks it,
// and that is told once.
TEST(SiteDeadMeters, ASilentMeterIsAskedLessOftenAndItsFileShowsEveryInterval)
{
    testsupport::TLateMeter meter(0, [](int) { return false; });
    QTemporaryDir dir;
    const QString file = dir.filePath("quiet.csv");
    ASSERT_TRUE(WriteFile(dir.filePath("banks.ini"), "[A]\nName=A\nStart=768\nEnd=771\n"));
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"),
                          QString("[Quiet]\nLink=rtu:%1:19200\nAddress=1\nFile=%2\nTimeout=100\nTries=1\nParams=0,1\n")
                              .arg(QString::fromStdString(meter.Path()), file)
                              .toUtf8()));
    TLoggerRun run(dir);
    run.Start({"--banks", dir.filePath("banks.ini"), "--site", dir.filePath("site.ini"), "--interval", "0.2"});
    const auto valuesAfter = [&](qsizetype after) {
        return WaitFor([&] {
            const QStringList lines = Lines(file);
            return lines.size() > after + 1 && !NoValue(lines.back());
        }, 60s);
    };
    ASSERT_TRUE(valuesAfter(0)) << run.Stderr().toStdString();

    meter.SetSilent(true);
    ASSERT_TRUE(WaitFor([&] { return run.Stderr().contains("asked less often"); })) << run.Stderr().toStdString();
    const qsizetype from = Lines(file).size();
    const int askedBefore = meter.Requests();
    const auto start = Clock::now();
    constexpr int Intervals = 20;
    ASSERT_TRUE(WaitFor([&] { return Lines(file).size() >= from + Intervals; })) << run.Stderr().toStdString();
    EXPECT_LT(Clock::now() - start, Intervals * 300ms) << "a record at every interval";
    EXPECT_LE(meter.Requests() - askedBefore, 4) << "asked at the 2nd, 4th, 8th and 16th interval";
    const QStringList gap = Lines(file).mid(from, Intervals);
    EXPECT_TRUE(std::all_of(gap.begin(), gap.end(), NoValue));

    meter.SetSilent(false);
    ASSERT_TRUE(valuesAfter(from + Intervals)) << run.Stderr().toStdString();
    EXPECT_EQ(run.Stderr().count("asked less often"), 1) << run.Stderr().toStdString();
    EXPECT_EQ(run.Stderr().count("answers again"), 1) << run.Stderr().toStdString();
    EXPECT_EQ(run.Finish(SIGTERM), 0);
}

} // namespace
