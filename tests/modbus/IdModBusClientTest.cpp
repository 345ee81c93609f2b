#include "IdModBusClient.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>

using testsupport::Bytes;
using testsupport::LibmodbusServer;
using testsupport::ScriptedServer;

namespace {

TIdModBusClient ClientFor(uint16_t port, uint32_t timeOut = 1000)
{
    TIdModBusClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.ConnectTimeOut = 2000;
    client.TimeOut = timeOut;
    return client;
}

ScriptedServer::Reply Send(Bytes bytes)
{
    return {std::move(bytes)};
}

} // namespace

TEST(IdModBusClient, Defaults)
{
    TIdModBusClient client;
    EXPECT_EQ(client.Port, 502);
    EXPECT_EQ(client.ConnectTimeOut, -1);
    EXPECT_EQ(client.TimeOut, 15000u);
    EXPECT_EQ(client.UnitID, 1);
    EXPECT_EQ(client.ModBusFunction, 0);
    EXPECT_EQ(client.Version(), "1.0.1");
}

// Our client against libmodbus's server: an implementation of its own, so a
// misreading of the protocol cannot hide behind a matching misreading.
TEST(IdModBusClientPeer, ReadsAndWritesAgainstLibmodbus)
{
    LibmodbusServer server;
    for (int i = 0; i < 1000; ++i)
        server.Registers()[i] = static_cast<uint16_t>(i * 7 + 1);
    auto client = ClientFor(server.Port());

    uint16_t dest[125] = {};
    ASSERT_EQ(client.ReadHoldingRegisters(100, 125, dest), 0);
    for (int i = 0; i < 125; ++i)
        ASSERT_EQ(dest[i], (100 + i) * 7 + 1) << i;

    EXPECT_EQ(client.WriteSingleRegister(5, 0xBEEF), 0);
    EXPECT_EQ(server.Registers()[5], 0xBEEF);

    const uint16_t values[] = {1, 2, 0xFFFF};
    EXPECT_EQ(client.WriteMultipleRegisters(200, values), 0);
    EXPECT_EQ(server.Registers()[200], 1);
    EXPECT_EQ(server.Registers()[202], 0xFFFF);

    // libmodbus answers registers it has not got with exception 2.
    EXPECT_EQ(client.ReadHoldingRegisters(1990, 20, dest), 2);
    EXPECT_EQ(client.WriteSingleRegister(5000, 1), 2);
}

TEST(IdModBusClient, SendsTheRequestBytesOfFunctionsThreeAndSixteen)
{
    ScriptedServer server([](const Bytes&) { return Send({0, 0, 0, 0, 0, 3, 1, 0x83, 2}); });
    auto client = ClientFor(server.Port());
    uint16_t dest[125];
    EXPECT_EQ(client.ReadHoldingRegisters(0, 10, dest), 2);
    client.UnitID = 7;
    const uint16_t values[] = {0x0102, 0x0304};
    EXPECT_EQ(client.WriteMultipleRegisters(0x0100, values), -1); // a 0x83 answer is foreign to 16
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    // Each request has a transaction identifier of its own.
    EXPECT_EQ(requests[0], (Bytes{0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 0x0A}));
    EXPECT_EQ(requests[1], (Bytes{0, 2, 0, 0, 0, 0x0B, 7, 0x10, 1, 0, 0, 2, 4, 1, 2, 3, 4}));
}

TEST(IdModBusClient, ReadHandsBackExactlyTheCountAsked)
{
    ScriptedServer server([](const Bytes&) { return Send({0, 0, 0, 0, 0, 7, 1, 3, 4, 0, 11, 0, 22}); });
    auto client = ClientFor(server.Port());
    uint16_t dest[4] = {9, 9, 9, 9};
    ASSERT_EQ(client.ReadHoldingRegisters(0, 2, dest), 0);
    EXPECT_EQ((std::vector<uint16_t>(dest, dest + 4)), (std::vector<uint16_t>{11, 22, 9, 9}));
}

// A reply that brings fewer registers than asked is no success: its values
// never pass for the meter's.
TEST(IdModBusClient, ShortReadIsAnInvalidResponse)
{
    const Bytes replies[] = {
        {0, 0, 0, 0, 0, 3, 1, 3, 0},
        {0, 0, 0, 0, 0, 6, 1, 3, 3, 0, 11, 0},
        {0, 0, 0, 0, 0, 7, 1, 3, 4, 0, 11, 0, 22},
    };
    for (const Bytes& reply : replies) {
        ScriptedServer server([&](const Bytes&) { return Send(reply); });
        auto client = ClientFor(server.Port());
        uint16_t dest[10] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
        EXPECT_EQ(client.ReadHoldingRegisters(0, 10, dest), ModbusTcp::InvalidReply) << int(reply[8]) << " bytes";
        EXPECT_EQ(dest[0], 0);
    }
}

TEST(IdModBusClient, WriteEchoThatDoesNotRepeatTheRequestIsUnmatched)
{
    struct Row {
        const char* what;
        Bytes reply;
        int expected;
    };
    const Row rows[] = {
        {"function 6, sound echo", {0, 0, 0, 0, 0, 6, 1, 6, 0, 5, 0xBE, 0xEF}, 0},
        {"function 6, other value", {0, 0, 0, 0, 0, 6, 1, 6, 0, 5, 0xBE, 0xEE}, ModbusTcp::UnmatchedReply},
        {"function 6, other register", {0, 0, 0, 0, 0, 6, 1, 6, 0, 6, 0xBE, 0xEF}, ModbusTcp::UnmatchedReply},
        {"function 16, sound echo", {0, 0, 0, 0, 0, 6, 1, 16, 0, 200, 0, 3}, 0},
        {"function 16, other count", {0, 0, 0, 0, 0, 6, 1, 16, 0, 200, 0, 2}, ModbusTcp::UnmatchedReply},
        {"function 16, other start", {0, 0, 0, 0, 0, 6, 1, 16, 0, 201, 0, 3}, ModbusTcp::UnmatchedReply},
    };
    const uint16_t values[] = {1, 2, 3};
    for (const auto& r : rows) {
        ScriptedServer server([&](const Bytes&) { return Send(r.reply); });
        auto client = ClientFor(server.Port());
        const int result = r.reply[7] == 6 ? client.WriteSingleRegister(5, 0xBEEF)
                                           : client.WriteMultipleRegisters(200, values);
        EXPECT_EQ(result, r.expected) << r.what;
    }
}

TEST(IdModBusClient, BlockLengthAboveTheLimitIsSentAsTheLimit)
{
    ScriptedServer server([](const Bytes&) { return Send({0, 0, 0, 0, 0, 3, 1, 0x83, 3}); });
    auto client = ClientFor(server.Port());
    uint16_t dest[200];
    client.ReadHoldingRegisters(0, 200, dest);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0][11], 125);
}

TEST(IdModBusClient, RefusedRequestsNeverConnect)
{
    ScriptedServer server([](const Bytes&) { return Send({}); });
    auto client = ClientFor(server.Port());
    std::vector<uint16_t> many(124, 1);
    EXPECT_THROW(client.WriteMultipleRegisters(0, many), EModbusTcpError);
    EXPECT_THROW(client.WriteMultipleRegisters(0, {}), EModbusTcpError);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.Connections(), 0);
}

TEST(IdModBusClient, SilentServerTimesOutAndTheConnectionIsClosed)
{
    ScriptedServer server([](const Bytes&) { return ScriptedServer::Reply{{}, false, true}; });
    auto client = ClientFor(server.Port(), 300);
    uint16_t dest[125];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ReadHoldingRegisters(0, 10, dest), -1);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::milliseconds(290));
    for (int i = 0; i < 100 && !server.ClientClosed(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(server.ClientClosed());
}

TEST(IdModBusClient, TimeOutZeroTakesOnlyWhatHasArrived)
{
    ScriptedServer server([](const Bytes&) { return ScriptedServer::Reply{{}, false, true}; });
    auto client = ClientFor(server.Port(), 0);
    uint16_t dest[125];
    EXPECT_EQ(client.ReadHoldingRegisters(0, 10, dest), -1);
}

// Servers that misbehave get a result code, never an exception, a crash, a
// hang or data that did not arrive. A connection that breaks is an outcome
// of the exchange like any other.
TEST(IdModBusClient, MisbehavingServers)
{
    struct Row {
        const char* what;
        ScriptedServer::Reply reply;
        int expected;
    };
    Bytes oversized = {0, 0, 0, 0, 1, 0x2D, 1, 3, 250};
    oversized.resize(400, 0x42);
    const Row rows[] = {
        {"truncated and held", {{0, 0, 0, 0, 0, 7, 1, 3}, false, true}, -2},
        {"byte count promises more", {{0, 0, 0, 0, 0, 7, 1, 3, 20, 0, 1}, false, true}, -2},
        {"wrong function code", {{0, 0, 0, 0, 0, 5, 1, 4, 2, 0, 1}}, -1},
        {"oversized reply", {oversized}, -2},
        {"closed before replying", {{}, true}, TIdModBusClient::SocketReadError},
        {"closed mid-reply", {{0, 0, 0, 0, 0, 7, 1, 3, 4, 0}, true}, TIdModBusClient::SocketReadError},
        {"reset before replying", {{}, false, false, true}, TIdModBusClient::SocketReadError},
        {"reset mid-reply", {{0, 0, 0, 0, 0, 7, 1, 3, 4}, false, false, true}, TIdModBusClient::SocketReadError},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        ScriptedServer server([&](const Bytes&) { return r.reply; });
        auto client = ClientFor(server.Port(), 300);
        uint16_t dest[125];
        EXPECT_EQ(client.ReadHoldingRegisters(0, 2, dest), r.expected);
    }
}

TEST(IdModBusClient, ConnectionsThatCannotBeMadeAreNotConnected)
{
    auto refused = ClientFor(testsupport::UnusedPort());
    uint16_t dest[125];
    EXPECT_EQ(refused.ReadHoldingRegisters(0, 1, dest), TIdModBusClient::SocketNotConnected);
    EXPECT_TRUE(refused.LastRequest().empty());

    testsupport::UnansweredListener never;
    auto slow = ClientFor(never.Port());
    slow.ConnectTimeOut = 300;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.WriteSingleRegister(0, 1), TIdModBusClient::SocketNotConnected);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::milliseconds(290));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
}

// A host that is not an IP address is a request that cannot be made, not an
// outcome of an exchange: it says so, and no name is looked up.
TEST(IdModBusClient, HostThatIsNotAnAddressRaises)
{
    for (const char* host : {"no-such-host.invalid", "", "localhost"}) {
        TIdModBusClient client;
        client.Host = host;
        try {
            client.WriteSingleRegister(0, 1);
            FAIL() << "no exception for " << host;
        } catch (const ESocketError& e) {
            EXPECT_NE(std::string(e.what()).find("not an IP address"), std::string::npos) << e.what();
        }
    }
}
