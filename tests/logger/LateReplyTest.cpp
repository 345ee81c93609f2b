// kelvane-log against kelvane-sim on a pseudo-terminal whose meter answers
// some requests later than the receive timeout.

#include "LateReplyChecks.h"
#include "LogFile.h"
#include "LoggerRun.h"
#include "SimProcess.h"
#include "TestFiles.h"

#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

// Three replies in ten come 450 to 1200 ms late, after the 500 ms receive
// timeout, and the two banks are of the same size: a late reply of one bank
// would pass every check of the other's request. No record holds a value
// in the other bank's place; the meter's lateness is told on stderr, again
// only when it has grown by a quarter.
TEST(LoggerLateReplies, NoRecordHoldsTheOtherBanksValues)
{
    QTemporaryDir dir;
    const QString line = dir.filePath("meter-line");
    TSimProcess sim(KELVANE_SIM_EXE, {"--rtu", "--link", line, "--late", "30:450-1200"});
    const QString banks = dir.filePath("banks.ini");
    ASSERT_TRUE(WriteFile(banks, testsupport::SimTwoBanks));
    TLoggerRun run(dir);
    run.Start({"--banks", banks, "--port", line, "--baud", "19200", "--timeout", "500", "--tries", "3",
               "--interval", "0.1"});
    const QString logPath = dir.filePath("log.csv");
    ASSERT_TRUE(WaitFor([&] { return Lines(logPath).size() > 30; }, 240s)) << run.Stderr().toStdString();
    ASSERT_EQ(run.Finish(SIGTERM), 0);

    const QLocale locale("en_US");
    int values = 0;
    for (const QString& record : Lines(logPath).mid(1)) {
        const QStringList fields = record.split(LogFile::ListSeparator(locale)).mid(2);
        ASSERT_EQ(fields.size(), 60) << record.toStdString();
        for (int i = 0; i < fields.size(); ++i)
            if (!fields[i].isEmpty()) {
                ++values;
                EXPECT_TRUE(testsupport::InItsOwnBank(i, locale.toDouble(fields[i])))
                    << "quantity " << i << " in " << record.toStdString();
            }
    }
    EXPECT_GT(values, 30 * 60 / 2);
    const std::vector<int> late = testsupport::LateNotices(run.Stderr().split('\n'), 1, 500);
    ASSERT_FALSE(late.empty()) << run.Stderr().toStdString();
    EXPECT_GT(late.front(), 500);
    for (std::size_t i = 1; i < late.size(); ++i)
        EXPECT_GE(4 * late[i], 5 * late[i - 1]) << run.Stderr().toStdString();
}
