// A site file that the logger cannot follow is refused whole, before any
// meter is read, naming the file, the line and the reason.

#include "LoggerRun.h"
#include "SimHarness.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct rSiteRefusal {
    const char* name;
    const char* site;
    const char* message; // after "<file>, line "
};

const rSiteRefusal SiteRefusals[] = {
    {"an unknown link", "[A]\nLink=modbus:192.168.1.5\nAddress=1\n",
     "2: Link: \"modbus:192.168.1.5\" is none of rtu:DEVICE[:BAUD], tcp:ADDRESS[:PORT] and rtu-tcp:ADDRESS:PORT"},
    {"a host name", "[A]\nAddress=1\nLink=tcp:meter.local:502\n",
     "3: Link: \"meter.local\" is not an IP address"},
    {"a device server without its port", "[A]\nLink=rtu-tcp:192.168.1.5\nAddress=1\n",
     "2: Link: \"rtu-tcp:192.168.1.5\" needs the device server's TCP port"},
    {"an address out of range", "[A]\nLink=tcp:192.168.1.5\nAddress=248\n",
     "3: Address: \"248\" is not a whole number from 1 to 247"},
    {"a meter without an address", "; two meters\n[A]\nLink=tcp:192.168.1.5\n",
     "2: the meter \"A\" has no Address="},
    {"one address twice on a link", "[A]\nLink=tcp:192.168.1.5\nAddress=3\n[B]\nLink=tcp:192.168.1.5:502\nAddress=3\n",
     "6: Address: the meter \"A\" has address 3 on tcp:192.168.1.5:502 already"},
    {"two speeds on one port", "[A]\nLink=rtu:/dev/ttyUSB0:19200\nAddress=1\n[B]\nLink=rtu:/dev/ttyUSB0\nAddress=2\n",
     "5: Link: \"rtu:/dev/ttyUSB0\" is the port of rtu:/dev/ttyUSB0:19200 at another line speed"},
    {"two settings for one link", "[A]\nLink=tcp:10.0.0.1\nAddress=1\nTries=2\n[B]\nLink=tcp:10.0.0.1\nAddress=2\nTries=5\n",
     "8: Tries=5 differs from Tries=2 at line 4 for the same link tcp:10.0.0.1:502"},
    {"a key before the first meter", "Link=tcp:10.0.0.1\n[A]\nAddress=1\n", "1: a key before the first [meter] heading"},
    {"an unknown key", "[A]\nLink=tcp:10.0.0.1\nAdress=1\n", "3: \"Adress\" is not a key of a meter"},
    {"one log file for two meters",
     "[A]\nLink=tcp:10.0.0.1\nAddress=1\nFile=site.csv\n[B]\nLink=tcp:10.0.0.2\nAddress=1\nFile=./site.csv\n",
     "8: File: \"./site.csv\" is the log file of the meter at line 4 already"},
};

class SiteFileRefusal : public ::testing::TestWithParam<rSiteRefusal> {};

TEST_P(SiteFileRefusal, IsRefusedNamingTheLineBeforeAnyMeterIsRead)
{
    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    ASSERT_TRUE(WriteFile(site, GetParam().site));
    TLoggerRun run(dir);
    run.Start({"--site", site});
    EXPECT_EQ(run.Finish(), 2);
    const QString expected = site + ", line " + GetParam().message;
    EXPECT_TRUE(run.Stderr().contains(expected)) << run.Stderr().toStdString() << "\nexpected: " << expected.toStdString();
    EXPECT_FALSE(run.Stderr().contains("Connect")) << "no meter is read";
    EXPECT_FALSE(QFile::exists(dir.filePath("site.csv")));
}

INSTANTIATE_TEST_SUITE_P(Cases, SiteFileRefusal, ::testing::ValuesIn(SiteRefusals),
                         [](const auto& info) {
                             std::string name;
                             for (const char c : std::string(info.param.name))
                                 if (std::isalnum(static_cast<unsigned char>(c)))
                                     name += c;
                             return name;
                         });

// --once reads every meter of the site once, the links at the same time,
// and prints a table per meter in the file's order, writing no meter's file;
// a meter that does not answer gets "--" for every value, one message, and
// status 1.
TEST(SiteOnce, PrintsEveryMetersTableInTheFilesOrder)
{
    simharness::TInProcessRtuSim bus({.Units = {1, 2}});
    simharness::TInProcessSim gateway({.Units = {5}});
    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    ASSERT_TRUE(WriteFile(site, QString("[Chiller 2]\nLink=tcp:127.0.0.1:%1\nAddress=5\nParams=8,10\n"
                                        "[Main incomer]\nLink=rtu:%2:19200\nAddress=1\nParams=8\nFile=%3\n"
                                        "[Absent]\nLink=rtu:%2:19200\nAddress=3\nParams=8\nTimeout=200\n")
                                    .arg(gateway.Port())
                                    .arg(QString::fromStdString(bus.Path()), dir.filePath("main.csv"))
                                    .toUtf8()));
    TLoggerRun run(dir);
    run.Start({"--site", site, "--once"});
    EXPECT_EQ(run.Finish(), 1) << run.Stderr().toStdString();
    const QStringList lines = run.Stdout().split('\n', Qt::SkipEmptyParts);
    const QStringList expected{
        QString("\"Chiller 2\" (tcp:127.0.0.1:%1, address 5)").arg(gateway.Port()), "Frequency", "Voltage A-N",
        QString("\"Main incomer\" (rtu:%1:19200, address 1)").arg(QString::fromStdString(bus.Path())), "Frequency",
        QString("\"Absent\" (rtu:%1:19200, address 3)").arg(QString::fromStdString(bus.Path())), "Frequency"};
    ASSERT_EQ(lines.size(), expected.size()) << run.Stdout().toStdString();
    for (qsizetype i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(lines[i].startsWith(expected[i])) << lines[i].toStdString();
    const QRegularExpression hertz(R"(^Frequency\s+(\S+)$)");
    EXPECT_NEAR(hertz.match(lines[1]).captured(1).toDouble(), 50.0, 1.0) << lines[1].toStdString();
    EXPECT_NEAR(hertz.match(lines[4]).captured(1).toDouble(), 50.0, 1.0) << lines[4].toStdString();
    EXPECT_EQ(hertz.match(lines[6]).captured(1), "--");
    EXPECT_EQ(run.Stderr().count("no answer from the meter \"Absent\""), 1) << run.Stderr().toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("main.csv")));
    EXPECT_FALSE(run.Stderr().contains("\"Main incomer\" (")) << "only the absent meter is reported";
}

} // namespace
