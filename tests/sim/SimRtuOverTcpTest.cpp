// kelvane-sim serving Modbus RTU over TCP, started as a user starts it and
// fed RTU frames on plain sockets: libmodbus has no client for this
// transport, and raw bytes let a test split and spoil frames. The frames'
// CRCs were computed apart from the project's code.

#include "SimProcess.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>

using namespace simtest;

namespace {

using TBytes = std::vector<uint8_t>;

// 300 baud: a silence of 120 ms ends a request whose length its bytes do
// not tell, and a frame cut short.
const std::vector<std::string> SimArgs{"--rtu-over-tcp", "0", "--units", "1,2", "--baud", "300"};
// Longer than that silence: whatever a request would get has come by then.
constexpr int QuietMs = 600;
constexpr int ReplyDeadlineMs = 5000;

const TBytes Read133{0x01, 0x03, 0x00, 0x85, 0x00, 0x01, 0x95, 0xE3};
const TBytes Reply133{0x01, 0x03, 0x02, 0x30, 0x39, 0x6C, 0x56}; // 12345
const TBytes Read133BadCrc{0x01, 0x03, 0x00, 0x85, 0x00, 0x01, 0x95, 0xE2};
const TBytes Read133Unit7{0x07, 0x03, 0x00, 0x85, 0x00, 0x01, 0x95, 0x85};
const TBytes ReadSerialUnit2{0x02, 0x03, 0x00, 0x95, 0x00, 0x01, 0x94, 0x15};
const TBytes SerialUnit2{0x02, 0x03, 0x02, 0x27, 0x12, 0x67, 0xB9}; // 10002
// Function 43 (device identification): its length is not in its bytes.
const TBytes Fc43{0x01, 0x2B, 0x0E, 0x01, 0x00, 0x70, 0x77};
const TBytes Fc43IllegalFunction{0x01, 0xAB, 0x01, 0x9E, 0xF0};

TBytes Head(const TBytes& f) { return TBytes(f.begin(), f.begin() + 3); }
TBytes Tail(const TBytes& f) { return TBytes(f.begin() + 3, f.end()); }

struct rStep {
    int Client;                 // 0 or 1: two connections at once
    std::vector<TBytes> Writes; // each its own send()
    // The reply expected; empty: nothing comes within QuietMs; no value:
    // the test goes on without waiting.
    std::optional<TBytes> Reply;
};

struct rCase {
    const char* Name;
    std::vector<rStep> Steps;
};
void PrintTo(const rCase& c, std::ostream* os) { *os << c.Name; }

class SimRtuOverTcp : public testing::TestWithParam<rCase> {};

TEST_P(SimRtuOverTcp, AnswersAsAMeterOnALine)
{
    REQUIRE_SIM_EXECUTABLE();
    TSimProcess sim(SimArgs);
    ASSERT_TRUE(sim.Started());
    const std::string line = sim.ReadLine(5000);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m,
                                 std::regex("kelvane-sim serving Modbus RTU over TCP on 127\\.0\\.0\\.1:(\\d+)\n")))
        << "first line: '" << line << "'";
    const auto port = static_cast<uint16_t>(std::stoi(m[1]));
    TRawClient first(port), second(port);
    ASSERT_TRUE(first.Connected() && second.Connected());

    for (size_t i = 0; i < GetParam().Steps.size(); ++i) {
        const rStep& step = GetParam().Steps[i];
        TRawClient& client = step.Client == 0 ? first : second;
        for (const TBytes& bytes : step.Writes)
            ASSERT_TRUE(client.Send(bytes)) << "step " << i;
        if (!step.Reply)
            continue;
        if (step.Reply->empty())
            EXPECT_EQ(client.Receive(QuietMs), TBytes{}) << "step " << i;
        else
            EXPECT_EQ(client.Receive(ReplyDeadlineMs, step.Reply->size()), *step.Reply) << "step " << i;
        EXPECT_FALSE(client.PeerClosed) << "step " << i;
    }

    ASSERT_EQ(kill(sim.Pid, SIGTERM), 0);
    EXPECT_EQ(sim.Wait(5000), 0);
    EXPECT_EQ(sim.ReadAll(sim.Err, 100), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimRtuOverTcp,
    testing::Values(
        rCase{"Register133Reads12345", {{0, {Read133}, Reply133}}},
        rCase{"RequestInTwoWrites", {{0, {Head(Read133), Tail(Read133)}, Reply133}}},
        rCase{"WrongCrcUnansweredNextAnswered", {{0, {Read133BadCrc}, TBytes{}}, {0, {Read133}, Reply133}}},
        rCase{"UnknownUnitUnansweredNextAnswered", {{0, {Read133Unit7}, TBytes{}}, {0, {Read133}, Reply133}}},
        rCase{"UnknownFunctionEndsAtTheSilence", {{0, {Fc43}, Fc43IllegalFunction}}},
        // The second connection's exchange falls inside the first one's
        // request: each connection delimits its own frames.
        rCase{"ClientsFrameApart",
              {{0, {Head(Read133)}, std::nullopt},
               {1, {ReadSerialUnit2}, SerialUnit2},
               {0, {Tail(Read133)}, Reply133}}}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
