// Communication statistics fed as the program feeds them: every try of a
// bank pass over RTU over TCP on 127.0.0.1 to the in-process simulator,
// each counted for the meter it went to.

#include "BankPass.h"
#include "CommStatistics.h"
#include "CoreApp.h"
#include "KelvaneCOM.h"
#include "ScriptedServer.h"
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::unique_ptr<TKelvane> LinkTo(uint16_t port)
{
    EnsureCoreApp();
    auto link = std::make_unique<TKelvane>("127.0.0.1", TLinkKind::RtuOverTcp);
    link->SetTcpPort(port);
    link->SetBaudRate(TBaudRate::br19200);
    link->SetRXTimeout(300);
    return link;
}

QString LinkText(uint16_t port)
{
    return QString("127.0.0.1:%1 RTU over TCP").arg(port);
}

// A pass over banks with `tries` tries each, every try counted for the
// meter at address; a try after the first of a bank is a repeat.
void CountedPass(TKelvane& link, TCommStatistics& statistics, const TMeterKey& meter,
                 const std::vector<TRegisterBankEntry>& banks, int tries)
{
    TBankPass pass;
    int tryOfBank = 0;
    pass.OnTry = [&](const TExchange& exchange) { statistics.Add(meter, exchange, tryOfBank++ > 0); };
    pass.OnBank = [&](std::size_t, int, const QString&) { tryOfBank = 0; };
    pass.Run(link, meter.Address, banks, {tries, false});
}

const TRegisterBankEntry Readable{"Readable", 0, 9};
const TRegisterBankEntry Refused{"Beyond the meter's registers", 2000, 2009}; // exception 2

struct TCounts {
    int64_t Requests, Ok, Timeouts, Invalid, Exceptions, LinkFailures, Retries;
    bool operator==(const TCounts&) const = default;
};

TCounts CountsOf(const TCommCounters& c)
{
    return {c.Requests, c.Ok, c.Timeouts, c.Invalid, c.Exceptions, c.LinkFailures, c.Retries};
}

void PrintTo(const TCounts& c, std::ostream* os)
{
    *os << "requests " << c.Requests << ", ok " << c.Ok << ", timeouts " << c.Timeouts << ", invalid " << c.Invalid
        << ", exceptions " << c.Exceptions << ", link failures " << c.LinkFailures << ", retries " << c.Retries;
}

} // namespace

// Meters 1 and 2 answer, address 7 has none; two tries per bank. Each
// address keeps its own counts, and only the meters that answered have a
// round trip.
TEST(CommStatistics, CountsEveryTryOfABankPassForItsOwnMeter)
{
    simharness::rSimSetup setup;
    setup.Units = {1, 2};
    setup.Framing = TFraming::Rtu;
    simharness::TInProcessSim sim(setup);
    auto link = LinkTo(sim.Port());
    TCommStatistics statistics;

    struct Row {
        uint8_t address;
        std::vector<TRegisterBankEntry> banks;
        TCounts expected;
        bool answered;
    };
    const Row rows[] = {
        {1, {Readable, Refused}, {3, 1, 0, 0, 2, 0, 1}, true},
        {2, {Readable}, {1, 1, 0, 0, 0, 0, 0}, true},
        {7, {Readable}, {2, 0, 2, 0, 0, 0, 1}, false},
    };
    for (const Row& row : rows)
        CountedPass(*link, statistics, {LinkText(sim.Port()), row.address, QString("Meter %1").arg(row.address)},
                    row.banks, 2);

    ASSERT_EQ(statistics.Meters().size(), 3u);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        const TCommCounters* counts = statistics.Find({LinkText(sim.Port()), row.address});
        ASSERT_NE(counts, nullptr);
        EXPECT_EQ(counts->Meter.Name, QString("Meter %1").arg(row.address));
        EXPECT_EQ(CountsOf(*counts), row.expected);
        EXPECT_EQ(counts->LastRoundTripUs >= 0, row.answered);
        EXPECT_GE(counts->SlowestRoundTripUs, counts->LastRoundTripUs);
    }
    EXPECT_EQ(statistics.Find({LinkText(sim.Port()), 7})->Summary(),
              "Requests 2 · OK 0 · Timeouts 2 · Invalid 0 · Exceptions 0 · Link failures 0 · Retries 1");
    EXPECT_EQ(statistics.Find({LinkText(sim.Port() + 1), 1}), nullptr);

    statistics.Reset();
    for (const TCommCounters& c : statistics.Meters()) {
        EXPECT_EQ(CountsOf(c), (TCounts{}));
        EXPECT_EQ(c.LastRoundTripUs, -1);
        EXPECT_EQ(c.SlowestRoundTripUs, -1);
    }
}

namespace {

struct FaultRow {
    const char* name;
    rFaultOptions faults;
    bool serverThere;
    int64_t TCommCounters::*heading; // the one heading the read counts under
};

void PrintTo(const FaultRow& row, std::ostream* os)
{
    *os << row.name;
}

class CommStatisticsHeading : public ::testing::TestWithParam<FaultRow> {};

const FaultRow FaultRows[] = {
    {"Answered", {}, true, &TCommCounters::Ok},
    {"Silent", {.DropEvery = 1}, true, &TCommCounters::Timeouts},
    {"Exception", {.ExceptionEvery = 1}, true, &TCommCounters::Exceptions},
    {"Corrupted", {.CorruptEvery = 1}, true, &TCommCounters::Invalid},
    // Another unit's reply is thrown away and the wait runs out: that frame
    // is no request of this meter's.
    {"FromAnotherUnit", {.WrongUnit = true}, true, &TCommCounters::Timeouts},
    {"NoServer", {}, false, &TCommCounters::LinkFailures},
};

} // namespace

// One read of one try: it counts under exactly one heading, and as a request
// unless nothing could be sent.
TEST_P(CommStatisticsHeading, OneReadCountsUnderItsHeading)
{
    const FaultRow& row = GetParam();
    simharness::rSimSetup setup;
    setup.Faults = row.faults;
    setup.Framing = TFraming::Rtu;
    simharness::TInProcessSim sim(setup);
    const uint16_t port = row.serverThere ? sim.Port() : testsupport::UnusedPort();
    auto link = LinkTo(port);
    TCommStatistics statistics;
    int changes = 0;
    QObject::connect(&statistics, &TCommStatistics::Changed, [&] { ++changes; });

    statistics.Add({LinkText(port), 1}, link->Read(1, 3, 0, 9, false));

    ASSERT_EQ(statistics.Meters().size(), 1u);
    TCommCounters expected{statistics.Meters()[0].Meter};
    expected.*row.heading = 1;
    expected.Requests = row.heading == &TCommCounters::LinkFailures ? 0 : 1;
    EXPECT_EQ(CountsOf(statistics.Meters()[0]), CountsOf(expected));
    EXPECT_EQ(changes, 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, CommStatisticsHeading, ::testing::ValuesIn(FaultRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Requests the program turns away itself send nothing and count nothing.
TEST(CommStatistics, RefusedRequestsCountNothing)
{
    auto link = LinkTo(testsupport::UnusedPort());
    TCommStatistics statistics;
    statistics.Add({"link", 0}, link->Read(0, 3, 0, 9, false));
    statistics.Add({"link", 1}, link->Read(1, 3, 0, 200, false));
    EXPECT_TRUE(statistics.Meters().empty());
}
