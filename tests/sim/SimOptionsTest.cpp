#include "SimOptions.h"

#include <gtest/gtest.h>

namespace {

TEST(SimOptions, Defaults)
{
    const auto r = ParseSimOptions({});
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Options.Host, "127.0.0.1");
    EXPECT_EQ(r.Options.Port, 1502);
    EXPECT_EQ(r.Options.Units, std::vector<uint8_t>{1});
    EXPECT_EQ(r.Options.DelayMs, 0);
    EXPECT_EQ(r.Options.Faults.DropEvery, 0);
    EXPECT_FALSE(r.Options.Faults.WrongUnit);
    EXPECT_FALSE(r.Options.Help);
}

TEST(SimOptions, EverySwitch)
{
    const auto r = ParseSimOptions({"--host", "0.0.0.0", "--port=0", "--units", "1,2,247", "--delay", "250",
                                    "--drop-every", "5", "--exception-every=6", "--corrupt-every", "7",
                                    "--wrong-unit", "--max-clients", "3", "--rtu", "--link", "/tmp/meter",
                                    "--baud=9600", "--wiring", "ct-wrong-phase", "--late", "30:450-1200"});
    ASSERT_EQ(r.Error, "");
    const rSimOptions& o = r.Options;
    EXPECT_EQ(o.Host, "0.0.0.0");
    EXPECT_EQ(o.Port, 0);
    EXPECT_EQ(o.Units, (std::vector<uint8_t>{1, 2, 247}));
    EXPECT_EQ(o.DelayMs, 250);
    EXPECT_EQ(o.Faults.DropEvery, 5);
    EXPECT_EQ(o.Faults.ExceptionEvery, 6);
    EXPECT_EQ(o.Faults.CorruptEvery, 7);
    EXPECT_TRUE(o.Faults.WrongUnit);
    EXPECT_EQ(o.MaxClients, 3);
    EXPECT_EQ(o.Link, "/tmp/meter");
    EXPECT_EQ(o.Baud, 9600);
    EXPECT_EQ(o.Wiring, TWiring::CtWrongPhase);
    EXPECT_EQ(o.Late.Percent, 30);
    EXPECT_EQ(o.Late.MinMs, 450);
    EXPECT_EQ(o.Late.MaxMs, 1200);
}

struct rTransportCase {
    const char* Name;
    std::vector<std::string> Args;
    bool Tcp, Rtu, RtuOverTcp;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const rTransportCase& row, std::ostream* os) { *os << row.Name; }

class SimOptionsTransports : public testing::TestWithParam<rTransportCase> {};

TEST_P(SimOptionsTransports, Chosen)
{
    const auto r = ParseSimOptions(GetParam().Args);
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Options.Tcp, GetParam().Tcp);
    EXPECT_EQ(r.Options.Rtu, GetParam().Rtu);
    EXPECT_EQ(r.Options.RtuOverTcpPort.has_value(), GetParam().RtuOverTcp);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimOptionsTransports,
    testing::Values(rTransportCase{"NoSwitch", {}, true, false, false},
                    rTransportCase{"Tcp", {"--tcp"}, true, false, false},
                    rTransportCase{"RtuAlone", {"--rtu", "--link", "/tmp/m", "--baud", "9600", "--units", "2"}, false,
                                   true, false},
                    rTransportCase{"RtuAndTcp", {"--rtu", "--tcp"}, true, true, false},
                    rTransportCase{"PortBeforeRtu", {"--port", "0", "--rtu"}, true, true, false},
                    rTransportCase{"RtuAndHost", {"--rtu", "--host", "::1"}, true, true, false},
                    rTransportCase{"RtuAndMaxClients", {"--rtu", "--max-clients=2"}, true, true, false},
                    rTransportCase{"RtuOverTcpAlone", {"--rtu-over-tcp", "0", "--baud", "9600"}, false, false, true},
                    rTransportCase{"RtuOverTcpTakesHostAndMaxClients",
                                   {"--rtu", "--host", "::1", "--rtu-over-tcp=0", "--max-clients", "2"}, false, true,
                                   true},
                    rTransportCase{"RtuOverTcpAndPort", {"--rtu-over-tcp", "1503", "--port", "0"}, true, false, true},
                    rTransportCase{"AllThree", {"--tcp", "--rtu", "--rtu-over-tcp", "0"}, true, true, true}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(SimOptions, HelpAndUsage)
{
    EXPECT_TRUE(ParseSimOptions({"--help"}).Options.Help);
    const std::string usage = SimUsage();
    for (const char* word : {"--host", "--port", "--units", "--delay", "--drop-every", "--exception-every",
                             "--corrupt-every", "--wrong-unit", "--max-clients", "exception 11", "--tcp", "--rtu",
                             "--link", "--baud", "--wiring", "crossed-voltage", "--rtu-over-tcp"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
}

struct rBadCase {
    std::vector<std::string> Args;
    const char* ErrorMentions;
};
void PrintTo(const rBadCase& row, std::ostream* os)
{
    for (const std::string& arg : row.Args)
        *os << arg << ' ';
}

class SimOptionsBad : public testing::TestWithParam<rBadCase> {};

TEST_P(SimOptionsBad, Refused)
{
    const auto r = ParseSimOptions(GetParam().Args);
    EXPECT_NE(r.Error.find(GetParam().ErrorMentions), std::string::npos) << "error: " << r.Error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimOptionsBad,
    testing::Values(rBadCase{{"--bogus"}, "unknown option '--bogus'"},
                    rBadCase{{"port"}, "unknown option 'port'"},
                    rBadCase{{"--port"}, "--port needs a value"},
                    rBadCase{{"--port", "65536"}, "--port"},
                    rBadCase{{"--port", "12ab"}, "'12ab'"},
                    rBadCase{{"--port="}, "--port"},
                    rBadCase{{"--delay", "60001"}, "--delay"},
                    rBadCase{{"--late", "30:1200-450"}, "is not PERCENT:MIN-MAX"},
                    rBadCase{{"--late", "101:0-10"}, "--late"},
                    rBadCase{{"--late", "30"}, "--late"},
                    rBadCase{{"--drop-every", "0"}, "--drop-every"},
                    rBadCase{{"--exception-every", "x"}, "--exception-every"},
                    rBadCase{{"--units", "0"}, "--units"},
                    rBadCase{{"--units", "1,,2"}, "--units"},
                    rBadCase{{"--units", "3,3"}, "--units"},
                    rBadCase{{"--host", ""}, "--host"},
                    rBadCase{{"--wrong-unit=1"}, "takes no value"},
                    rBadCase{{"--rtu=yes"}, "takes no value"},
                    rBadCase{{"--link", "/tmp/m"}, "--link needs --rtu"},
                    rBadCase{{"--tcp", "--baud", "9600"}, "--baud needs --rtu or --rtu-over-tcp"},
                    rBadCase{{"--rtu-over-tcp", "0", "--link", "/tmp/m"}, "--link needs --rtu"},
                    rBadCase{{"--rtu-over-tcp", "65536"}, "--rtu-over-tcp"},
                    rBadCase{{"--rtu", "--baud", "49"}, "--baud"},
                    rBadCase{{"--rtu", "--link="}, "--link needs a path"},
                    rBadCase{{"--wiring"}, "--wiring needs a value"},
                    rBadCase{{"--wiring", "reversed"}, "'reversed' is not one of healthy|reversed-ct-l2|"}));

} // namespace
