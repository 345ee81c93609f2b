// Our master against libmodbus's RTU server, an implementation independent
// of ours: the values must arrive, and the frames our connection reports
// sending and receiving must be exactly those libmodbus took and wrote.

#include "LibmodbusRtuServer.h"
#include "SerialClientTestSupport.h"

#include <gtest/gtest.h>

#include <string_view>

using namespace serialtest;

namespace {

using testsupport::TLibmodbusRtuServer;

struct PeerCase {
    const char* Name;
    std::function<uint32_t(TModbusClient&)> Issue;
    // Checks the event's values against the server's registers afterwards.
    std::function<void(const TSeenEvent&, const TLibmodbusRtuServer&)> Check;
};
void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.Name; }

std::vector<uint16_t> Ramp(int n, uint16_t first)
{
    std::vector<uint16_t> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<std::size_t>(i)] = static_cast<uint16_t>(first + 977 * i);
    return v;
}

const PeerCase PeerCases[] = {
    {"ReadHoldingRegisters125", [](TModbusClient& c) { return c.ReadHoldingRegisters(300, 125); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "HoldingRegistersRead");
         ASSERT_EQ(e.Values.size(), 125u);
         for (int i = 0; i < 125; ++i)
             EXPECT_EQ(e.Values[std::size_t(i)], s.HoldingRegister(300 + i)) << i;
     }},
    {"ReadInputRegisters", [](TModbusClient& c) { return c.ReadInputRegisters(17, 9); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "InputRegistersRead");
         ASSERT_EQ(e.Values.size(), 9u);
         for (int i = 0; i < 9; ++i)
             EXPECT_EQ(e.Values[std::size_t(i)], s.InputRegister(17 + i)) << i;
     }},
    {"WriteSingleRegister", [](TModbusClient& c) { return c.WriteSingleRegister(42, 0xBEEF); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "SingleRegisterWrite");
         EXPECT_EQ(e.Values, (std::vector<int>{42, 0xBEEF}));
         EXPECT_EQ(s.HoldingRegister(42), 0xBEEF);
     }},
    {"WriteMultipleRegisters123", [](TModbusClient& c) { return c.WriteMultipleRegisters(600, Ramp(123, 5)); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "MultipleRegistersWrite");
         const std::vector<uint16_t> written = Ramp(123, 5);
         EXPECT_EQ(e.Values, std::vector<int>(written.begin(), written.end()));
         for (int i = 0; i < 123; ++i)
             EXPECT_EQ(s.HoldingRegister(600 + i), written[std::size_t(i)]) << i;
     }},
    {"ReportServerIdentification", [](TModbusClient& c) { return c.ReportServerIdentification(); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer&) {
         EXPECT_EQ(e.Name, "ServerIdentificationReport");
         ASSERT_GE(e.Values.size(), 1u);
         EXPECT_EQ(e.Values[0], int(e.Values.size()) - 1);
         // libmodbus names itself after its id and run indicator bytes.
         const std::string text(e.Values.begin() + 1, e.Values.end());
         EXPECT_NE(text.find("LMB"), std::string::npos) << text;
     }},
};

class AgainstLibmodbus : public ::testing::TestWithParam<PeerCase> {};

TEST_P(AgainstLibmodbus, ValuesAndFramesMatchTheServer)
{
    TRtuClientOnPty line;
    TLibmodbusRtuServer server(line.Line.Master());
    TEventLog log(line.Client);
    std::vector<Bytes> sent, received;
    line.Connection.OnFrameSend = [&](TModbusConnection*, const TFrameData& d) { sent.push_back(d); };
    line.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) { received.push_back(d); };

    const uint32_t id = GetParam().Issue(line.Client);
    ASSERT_TRUE(log.WaitProcessed(id));
    const TSeenEvent event = log.Of(id).at(0);
    EXPECT_EQ(event.Info.Reply, TTransactionReply::trSuccess);
    GetParam().Check(event, server);

    const auto [toServer, fromServer] = server.TakeTraffic();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(sent[0], toServer);
    EXPECT_EQ(received[0], fromServer);
}

INSTANTIATE_TEST_SUITE_P(Functions, AgainstLibmodbus, ::testing::ValuesIn(PeerCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
