// A site file that the logger cannot follow is refused whole, before any
// meter is read, naming the file, the line and the reason.

#include "LoggerRun.h"

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
    QFile file(site);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(GetParam().site);
    file.close();
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

} // namespace
