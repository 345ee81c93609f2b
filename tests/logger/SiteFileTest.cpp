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
    std::string site;
    std::string message; // after "<file>, line "
};

const std::string Address1 = "\nLink=tcp:10.0.0.1\nAddress=1\n";
const std::string Address2 = "\nLink=tcp:10.0.0.1\nAddress=2\n";

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
    // Names that the outputs would merge or cannot carry.
    {"names sharing a topic", "[a/b]" + Address1 + "[a_b]" + Address2,
     "4: the meter \"a_b\" would publish on the MQTT topics of the meter \"a/b\" at line 1, \"a_b\""},
    {"wildcards sharing a topic", "[a+b]" + Address1 + "[a#b]" + Address2,
     "4: the meter \"a#b\" would publish on the MQTT topics of the meter \"a+b\" at line 1, \"a_b\""},
    {"a name twice", "[A]" + Address1 + "[A]" + Address2, "4: the meter \"A\" is named at line 1 already"},
    {"an empty name", "[ ]" + Address1, "1: the meter's name \"\" is empty"},
    {"a long name", "[" + std::string(101, 'n') + "]" + Address1,
     "1: the meter's name \"" + std::string(80, 'n') + "...\" is longer than 100 characters"},
    {"a backslash at the end", "[Pump\\]" + Address1, "1: the meter's name \"Pump\\\" ends in a backslash"},
    {"a noncharacter", "[a\xEF\xBF\xBE]" + Address1, "1: the meter's name \"a\xEF\xBF\xBE\" holds U+FFFE, a Unicode noncharacter"},
    {"a control character", "[a\tb]" + Address1, "1: the meter's name \"a\\x09b\" holds the control character U+0009"},
    {"a name not in UTF-8", "[Z\xE4hler]" + Address1, "1: not UTF-8 text"},
    {"a control character in a value", "[A]\nLink=rtu:/dev/ttyUSB0\x05\nAddress=1\n",
     "2: Link: \"rtu:/dev/ttyUSB0\\x05\" holds a control character"},
    {"one address twice on a long link",
     "[A]\nLink=rtu:/dev/" + std::string(200, 'p') + "\nAddress=1\n[B]\nLink=rtu:/dev/" + std::string(200, 'p') + "\nAddress=1\n",
     "6: Address: the meter \"A\" has address 1 on rtu:/dev/" + std::string(71, 'p') + "... already"},
    // Units on the gateway: given twice, or given where another meter's address is its unit.
    {"one unit twice", "[A]" + Address1 + "Unit=9\n[B]" + Address2 + "Unit=9\n",
     "8: Unit: the meter \"B\" would be unit 9 on the gateway, which the meter \"A\" at line 4 is already"},
    {"a unit that is another meter's address",
     "[A]" + Address1 + "[B]\nLink=tcp:10.0.0.2\nAddress=7\nUnit=1\n",
     "3: Address: the meter \"A\" would be unit 1 on the gateway (its address; give it a Unit= of its own), "
     "which the meter \"B\" at line 7 is already"},
    // Line ends and what a refusal shows of a line.
    {"CR line ends", "; CR\r[A]\rLink=tcp:10.0.0.1\rAddress=0\r", "4: Address: \"0\" is not a whole number"},
    {"CR LF line ends", "[A]\r\nLink=tcp:10.0.0.1\r\nAddress=1\r\n\r\nTries=x\r\n", "5: Tries: \"x\" is not a whole number"},
    {"a long line of control bytes", "[A]" + Address1 + "\x01\x7f" + std::string(1 << 20, 'x'),
     "4: \"\\x01\\x7F" + std::string(78, 'x') + "...\" is neither a [meter] heading nor a Key=value line"},
};

class SiteFileRefusal : public ::testing::TestWithParam<rSiteRefusal> {};

TEST_P(SiteFileRefusal, IsRefusedNamingTheLineBeforeAnyMeterIsRead)
{
    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    ASSERT_TRUE(WriteFile(site, QByteArray::fromStdString(GetParam().site)));
    TLoggerRun run(dir);
    run.Start({"--site", site});
    EXPECT_EQ(run.Finish(), 2);
    const QString expected = site + ", line " + QString::fromStdString(GetParam().message);
    EXPECT_TRUE(run.Stderr().contains(expected)) << run.Stderr().toStdString() << "\nexpected: " << expected.toStdString();
    EXPECT_LT(run.Stderr().size(), 500) << "a refusal quotes a line cut short";
    EXPECT_FALSE(run.Stderr().contains(QRegularExpression("[\\x00-\\x09\\x0B-\\x1F\\x7F]")));
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
