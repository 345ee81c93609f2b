// kelvane-log --site with meters that do not answer, on RS-485 buses of
// simulators on pseudo-terminals.

#include "LateMeter.h"
#include "LoggerRun.h"
#include "SimHarness.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <ranges>

// Ten meters on a bus at 19200 baud read every 2.5 s with a 250 ms timeout
// and 3 tries (a 5 s site's times halved), none at addresses 9 and 10; on a
// bus of its own, every 0.5 s, a meter that falls silent for a while. Those
// that answer record at every interval within 10 %; a dead or silent meter
// gets a record without values at every interval and, after three passes
// without an answer, is asked less often until it answers, each said once.
TEST(SiteDeadMeters, LiveMetersKeepTheirIntervalAndSilentOnesAreAskedLessOften)
{
    using Clock = std::chrono::steady_clock;
    const auto noValue = [](const QString& record) { return !record.contains(QRegularExpression("^[^,]*,[^,]*,+[^,]")); };
    simharness::TInProcessRtuSim bus({.Units = {1, 2, 3, 4, 5, 6, 7, 8}});
    testsupport::TLateMeter quiet(0, [](int) { return false; });
    QTemporaryDir dir;
    const auto file = [&](int m) { return dir.filePath(QString("m%1.csv").arg(m)); };
    QString site = QString("[M0]\nLink=rtu:%1:19200\nAddress=1\nFile=%2\nTimeout=300\nTries=1\nInterval=0.5\n")
                       .arg(QString::fromStdString(quiet.Path()), file(0));
    for (int m = 1; m <= 10; ++m)
        site += QString("[M%1]\nLink=rtu:%2:19200\nAddress=%1\nFile=%3\nTimeout=250\n")
                    .arg(m).arg(QString::fromStdString(bus.Path()), file(m));
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), site.toUtf8()));
    TLoggerRun run(dir);
    run.Start({"--site", dir.filePath("site.ini"), "--interval", "2.5"});
    std::vector<std::vector<Clock::time_point>> seen(9); // when each record of M1-M8 came
    const auto waitFor = [&](const std::function<bool()>& condition) {
        return WaitFor([&] {
            for (int m = 1; m <= 8; ++m)
                while (qsizetype(seen[m].size()) < Lines(file(m)).size() - 1)
                    seen[m].push_back(Clock::now());
            return condition();
        }, 120s);
    };
    const auto answered = [&] { const QStringList lines = Lines(file(0)); return lines.size() > 1 && !noValue(lines.back()); };
    ASSERT_TRUE(waitFor(answered)) << run.Stderr().toStdString();
    quiet.SetSilent(true);
    ASSERT_TRUE(waitFor([&] { return run.Stderr().contains(QRegularExpression("\"M0\" \\(.*\\) gave no answer")); }));
    const qsizetype from = Lines(file(0)).size();
    const int asked = quiet.Requests();
    const auto start = Clock::now();
    ASSERT_TRUE(waitFor([&] { return Lines(file(0)).size() >= from + 12; })) << run.Stderr().toStdString();
    EXPECT_LT(Clock::now() - start, 12 * 600ms) << "a record at every interval";
    EXPECT_LE(quiet.Requests() - asked, 3) << "asked at the 2nd, 4th and 8th interval";
    EXPECT_TRUE(std::ranges::all_of(Lines(file(0)).mid(from, 12), noValue));
    quiet.SetSilent(false);
    ASSERT_TRUE(waitFor(answered)) << run.Stderr().toStdString();
    ASSERT_TRUE(waitFor([&] { return std::ranges::all_of(seen | std::views::drop(1), [](auto& s) { return s.size() >= 9; }); }));
    ASSERT_EQ(run.Finish(SIGTERM), 0);

    const QString said = run.Stderr();
    for (int m = 0; m <= 10; ++m) {
        const QString backOff = QString("the meter \"M%1\" \\(rtu:[^ ]*, address \\d+\\) gave no answer 3 passes in a row: "
                                        "it is asked less often now, at least every 300 s, until it answers\n").arg(m);
        EXPECT_EQ(said.count(QRegularExpression(backOff)), m == 0 || m >= 9) << "M" << m << "\n" << said.toStdString();
        for (std::size_t i = 1; m >= 1 && m <= 8 && i < 9; ++i)
            EXPECT_NEAR(std::chrono::duration<double>(seen[m][i] - seen[m][i - 1]).count(), 2.5, 0.25) << "M" << m;
        EXPECT_TRUE(m < 9 || std::ranges::all_of(Lines(file(m)).mid(1), noValue)) << "M" << m;
    }
    EXPECT_EQ(said.count(QRegularExpression("\"M0\" .* answers again")), said.count("from the meter \"M0\""));
}
