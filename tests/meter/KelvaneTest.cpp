#include "KelvaneCOM.h"
#include "CoreApp.h"
#include "ScriptedServer.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <bit>
#include <chrono>

using testsupport::Bytes;
using testsupport::LibmodbusServer;
using testsupport::ScriptedServer;

namespace {

const bool NoAbort = false;

// A Modbus/TCP link to a server on 127.0.0.1.
std::unique_ptr<TKelvane> LinkTo(uint16_t port)
{
    EnsureCoreApp();
    auto link = std::make_unique<TKelvane>("127.0.0.1", true);
    link->SetTcpPort(port);
    return link;
}

class KelvaneOverTcp : public ::testing::Test {
protected:
    LibmodbusServer server;
    std::unique_ptr<TKelvane> link = LinkTo(server.Port());

    // Puts value into register reg of the meter and reads it into the image.
    void Load(int reg, uint16_t value)
    {
        server.Registers()[reg] = value;
        ASSERT_EQ(link->ReadRegisters(1, 3, reg, reg, NoAbort), 0);
    }
};

} // namespace

TEST(Kelvane, CreationOverTcp)
{
    EnsureCoreApp();
    TKelvane link("10.0.0.5", true);
    EXPECT_TRUE(link.TCP());
    EXPECT_TRUE(link.Active());
    EXPECT_EQ(link.TcpPort(), 502);
    EXPECT_EQ(link.LastResult(), 0);
    link.SetBaudRate(TBaudRate::br57600); // no serial connection: no effect
    EXPECT_EQ(link.BaudRate(), TBaudRate::br9600);
}

TEST(Kelvane, SerialLinkWithoutATransportNeverPretendsToSucceed)
{
    TKelvane link("/dev/kelvane-no-such-port", false);
    EXPECT_FALSE(link.TCP());
    EXPECT_FALSE(link.Active());
    EXPECT_EQ(link.ComPort(), "/dev/kelvane-no-such-port");
    link.SetActive(true);
    EXPECT_FALSE(link.Active());
    try {
        link.ReadRegisters(1, 3, 0, 9, NoAbort);
        FAIL() << "no exception";
    } catch (const EModbusError& e) {
        EXPECT_STREQ(e.what(), "There is no active connection");
    }
    EXPECT_THROW(link.WriteRegister(1, 150, 1, NoAbort), EModbusError);
    const int32_t values[] = {1};
    EXPECT_THROW(link.WriteMultipleRegisters(1, 150, values, NoAbort), EModbusError);
    EXPECT_THROW(link.Modbus17(1, NoAbort), EModbusError);
}

TEST_F(KelvaneOverTcp, FourDigitRuleAndBlockOf125)
{
    for (int i = 0; i < 125; ++i)
        server.Registers()[i] = static_cast<uint16_t>(1000 + i);
    ASSERT_EQ(link->ReadRegisters(1, 3, 40001, 40125, NoAbort), 0);
    EXPECT_EQ(link->GetRegister(0), 1000);
    EXPECT_EQ(link->GetRegister(124), 1124);
    EXPECT_EQ(link->GetRegister(40125), 1124);
    EXPECT_EQ(link->LastResult(), 0);
}

TEST_F(KelvaneOverTcp, FunctionFourOverTcpIsAHoldingRead)
{
    server.Registers()[20] = 77;
    ASSERT_EQ(link->ReadRegisters(1, 4, 20, 20, NoAbort), 0);
    EXPECT_EQ(link->GetRegister(20), 77);
    EXPECT_EQ(link->GetRegisterFunc4(20), 0);
}

TEST_F(KelvaneOverTcp, MaskedReadsOfDefinedRegisters)
{
    struct Row {
        int reg;
        uint16_t raw;
        int32_t expected;
    };
    const Row rows[] = {
        {160, 0xFFFF, -1},    {159, 0xFFFF, 65535}, {575, 0x0040, -64},   {575, 0x003F, 63},
        {575, 0x00C1, -63},   {548, 0x0800, -2048}, {548, 0x07FF, 2047},  {528, 0xF123, 0x123},
        {522, 0xFFFF, 65535}, {1000, 0xFFFF, 65535},
    };
    for (const auto& r : rows) {
        Load(r.reg, r.raw);
        EXPECT_EQ(link->GetRegister(r.reg), r.expected) << r.reg;
    }
    Load(133, 12345);
    EXPECT_EQ(link->GetRegister(40134), link->GetRegister(133));
    EXPECT_EQ(link->GetRegister(40134), 12345);
}

TEST_F(KelvaneOverTcp, ThirtyTwoBitAndFloatReadsInBothWordOrders)
{
    server.Registers()[10] = 0x0001;
    server.Registers()[11] = 0x0002;
    server.Registers()[20] = 0x3F80;
    server.Registers()[21] = 0x0000;
    server.Registers()[30] = 0xFFFF;
    server.Registers()[31] = 0xFFFE;
    ASSERT_EQ(link->ReadRegisters(1, 3, 0, 40, NoAbort), 0);
    EXPECT_EQ(link->GetRegister32(10, 11, 1), 0x00020001);
    EXPECT_EQ(link->GetRegister32(10, 11, 0), 0x00010002);
    EXPECT_EQ(link->GetRegister32(10, 11, 7), 0x00010002);
    EXPECT_EQ(link->GetRegister32(40011, 40012, 0), 0x00010002);
    EXPECT_EQ(link->GetRegister32(30, 31, 0), -2); // wraps to a signed value
    EXPECT_DOUBLE_EQ(link->GetRegisterFloat(20, 21, 0), 1.0);
    EXPECT_DOUBLE_EQ(link->GetRegisterFloat(21, 20, 1), 1.0);
    EXPECT_EQ(link->GetRegisterFloat(20, 21, 1), double(std::bit_cast<float>(0x00003F80u)));
}

TEST_F(KelvaneOverTcp, InvalidCountsReturnMinusSevenAndSendNothing)
{
    ScriptedServer counting([](const Bytes&) { return ScriptedServer::Reply{}; });
    auto probe = LinkTo(counting.Port());
    EXPECT_EQ(probe->ReadRegisters(1, 3, 40001, 40126, NoAbort), -7);
    EXPECT_EQ(probe->ReadRegisters(1, 3, 10, 9, NoAbort), -7);
    EXPECT_EQ(probe->ReadRegisters(1, 3, 0, 125, NoAbort), -7);
    EXPECT_EQ(probe->LastResult(), 0); // a refusal leaves the last result alone
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(counting.Connections(), 0);
}

TEST_F(KelvaneOverTcp, RegisterNumbersOutsideTheImage)
{
    ScriptedServer counting([](const Bytes&) { return ScriptedServer::Reply{}; });
    auto probe = LinkTo(counting.Port());
    EXPECT_EQ(probe->ReadRegisters(1, 3, -3, 2, NoAbort), MeterResult::RegisterOutOfRange);
    EXPECT_EQ(probe->ReadRegisters(1, 3, 105530, 105540, NoAbort), MeterResult::RegisterOutOfRange); // 65529 ... 65539
    EXPECT_EQ(probe->WriteRegister(1, -1, 5, NoAbort), MeterResult::RegisterOutOfRange);
    EXPECT_EQ(probe->WriteRegister(1, 105537, 5, NoAbort), MeterResult::RegisterOutOfRange);         // register 65536
    const int32_t values[] = {1, 2};
    EXPECT_EQ(probe->WriteMultipleRegisters(1, 65535, values, NoAbort), MeterResult::RegisterOutOfRange);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(counting.Connections(), 0);

    EXPECT_EQ(probe->GetRegister(-1), 0);
    EXPECT_EQ(probe->GetRegister(105537), 0);
    EXPECT_EQ(probe->GetRegister(200000), 0);
    EXPECT_EQ(probe->GetRegisterFunc4(-1), 0);
    EXPECT_EQ(probe->GetRegisterFunc4(65537), 0);
    EXPECT_EQ(probe->GetRegister32(-1, 70000000, 0), 0);
    EXPECT_EQ(probe->GetRegisterFloat(-5, -6, 1), 0.0);
}

TEST_F(KelvaneOverTcp, FailedReadLeavesTheImageUntouched)
{
    Load(50, 4242);
    server.Registers()[50] = 1;
    // libmodbus answers exception 2 for registers it has not got.
    EXPECT_EQ(link->ReadRegisters(1, 3, 50, 2049, NoAbort), -7);
    EXPECT_EQ(link->ReadRegisters(1, 3, 1990, 2010, NoAbort), 2);
    EXPECT_EQ(link->LastResult(), 2);
    EXPECT_EQ(link->GetRegister(50), 4242);

    ScriptedServer silent([](const Bytes&) { return ScriptedServer::Reply{{}, false, true}; });
    link->SetTcpPort(silent.Port());
    link->SetRXTimeout(200);
    EXPECT_EQ(link->ReadRegisters(1, 3, 50, 50, NoAbort), -1);
    EXPECT_EQ(link->GetRegister(50), 4242);
}

TEST_F(KelvaneOverTcp, WritesReachTheMeterButNotTheImage)
{
    Load(150, 11);
    EXPECT_EQ(link->WriteRegister(1, 40151, 0x12345, NoAbort), 0); // low 16 bits are sent
    EXPECT_EQ(server.Registers()[150], 0x2345);
    EXPECT_EQ(link->GetRegister(150), 11);
    const int32_t values[] = {-1, 70000, 3};
    EXPECT_EQ(link->WriteMultipleRegisters(1, 151, values, NoAbort), 0);
    EXPECT_EQ(server.Registers()[151], 0xFFFF);
    EXPECT_EQ(server.Registers()[152], 70000 & 0xFFFF);
    EXPECT_EQ(server.Registers()[153], 3);
    EXPECT_EQ(link->GetRegister(151), 0);
}

TEST_F(KelvaneOverTcp, ResetClearsTheFirst1001SlotsOnly)
{
    Load(1000, 5);
    Load(1001, 6);
    link->ResetRegisters();
    EXPECT_EQ(link->GetRegister(1000), 0);
    EXPECT_EQ(link->GetRegister(1001), 6);
    EXPECT_EQ(link->LastResult(), 0);
}

TEST(Kelvane, ExceptionRepliesAndRefusedConnections)
{
    ScriptedServer server([](const Bytes&) { return ScriptedServer::Reply{{0, 0, 0, 0, 0, 3, 1, 0x83, 2}}; });
    auto link = LinkTo(server.Port());
    EXPECT_EQ(link->ReadRegisters(1, 3, 0, 9, NoAbort), 2);
    EXPECT_EQ(TKelvane::ErrorCode(link->LastResult()), "Exception: Illegal Data Address");
    EXPECT_EQ(server.Requests().at(0)[6], 1); // the unit id is the address

    auto refused = LinkTo(testsupport::UnusedPort());
    EXPECT_EQ(refused->ReadRegisters(1, 3, 0, 9, NoAbort), MeterResult::SocketNotConnected);
    EXPECT_EQ(TKelvane::ErrorCode(refused->LastResult()), "Socket Not Connected");
}

TEST(Kelvane, Modbus17OverTcpSendsNothing)
{
    ScriptedServer counting([](const Bytes&) { return ScriptedServer::Reply{}; });
    auto link = LinkTo(counting.Port());
    EXPECT_TRUE(link->Modbus17(1, NoAbort).isEmpty());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(counting.Connections(), 0);
}

TEST(Kelvane, ErrorCodeTexts)
{
    const std::pair<int32_t, const char*> rows[] = {
        {0, "OK"},
        {1, "Exception: Illegal Function"},
        {2, "Exception: Illegal Data Address"},
        {3, "Exception: Illegal Data Value"},
        {4, "Exception: Slave Device Failure"},
        {5, "Exception: Acknowledge"},
        {6, "Exception: Slave Device Busy"},
        {7, "7"},
        {8, "8"},
        {10, "Exception: Gateway Path Unavailable"},
        {11, "Exception: Gateway Target Device Failed to Respond"},
        {512, "Offset Error"},
        {-1, "Timeout"},
        {-2, "Invalid Response"},
        {-3, "Unexpected Response"},
        {-4, "Unmatched Response"},
        {-5, "Exception"},
        {-6, "Unknown Response Error"},
        {-7, "Invalid Reg Count (must be 1-125)"},
        {-13, "-13"},
        {-99999, "-99999"},
        {-2147219992, "Buffer Overflow"},
        {-2147219991, "Socket Error"},
        {-2147219990, "Socket Write Error"},
        {-2147219989, "Socket Read Error"},
        {-2147219988, "Socket Not Connected"},
        {-2147219987, "-2147219987"},
    };
    for (const auto& [code, text] : rows)
        EXPECT_EQ(TKelvane::ErrorCode(code), text) << code;
}

TEST(Kelvane, Hexa)
{
    EXPECT_EQ(TKelvane::Hexa(QByteArray("\x01\x03\xFF", 3)), "(01)(03)(FF)");
    EXPECT_EQ(TKelvane::Hexa(QByteArray("\x00\xab", 2)), "(00)(AB)");
    EXPECT_EQ(TKelvane::Hexa(QByteArray()), "");
}

TEST(Kelvane, EnumComPortsSortsWithoutRegardToCase)
{
    QStringList list{"stale entry"};
    TKelvane::EnumComPorts(list);
    EXPECT_FALSE(list.contains("stale entry"));
    QStringList sorted = list;
    sorted.sort(Qt::CaseInsensitive);
    EXPECT_EQ(list, sorted);
    for (const auto& port : list)
        EXPECT_TRUE(port.startsWith("/dev/")) << port.toStdString();
}

TEST(Kelvane, DelayWaitsAndProcessesEvents)
{
    EnsureCoreApp();
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    const auto t0 = std::chrono::steady_clock::now();
    TKelvane::Delay(50);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
    EXPECT_TRUE(fired);
}

TEST_F(KelvaneOverTcp, FramesOfEachExchangeAreKeptForTheTrace)
{
    // Each request carries a transaction identifier of its own, which its
    // reply repeats.
    const TExchange read = link->Read(1, 3, 0, 9, NoAbort);
    ASSERT_EQ(read.Result, 0);
    const QByteArray readId = read.Request().left(2);
    EXPECT_EQ(TKelvane::Hexa(read.Request().mid(2)), "(00)(00)(00)(06)(01)(03)(00)(00)(00)(0A)");
    EXPECT_EQ(read.Reply().size(), 9 + 20);
    EXPECT_EQ(TKelvane::Hexa(read.Reply().left(9)), TKelvane::Hexa(readId) + "(00)(00)(00)(17)(01)(03)(14)");

    const TExchange write = link->Write(2, 150, 0x0102, NoAbort);
    EXPECT_EQ(write.Result, 0);
    EXPECT_NE(write.Request().left(2), readId);
    EXPECT_EQ(TKelvane::Hexa(write.Request().mid(2)), "(00)(00)(00)(06)(02)(06)(00)(96)(01)(02)");
    EXPECT_EQ(write.Reply(), write.Request()); // a write is echoed

    // A refused connection sends nothing: the trace shows empty frames.
    link->SetTcpPort(testsupport::UnusedPort());
    const TExchange refused = link->Read(1, 3, 0, 9, NoAbort);
    EXPECT_EQ(refused.Result, MeterResult::SocketNotConnected);
    EXPECT_TRUE(refused.Request().isEmpty());
    EXPECT_TRUE(refused.Reply().isEmpty());
}

TEST_F(KelvaneOverTcp, WordOrderIsBitThirteenOfTheConfigurationWord)
{
    const std::pair<uint16_t, int> rows[] = {{0x05E6, 0}, {0x2000, 1}, {0x25E6, 1}, {0xDFFF, 0}, {0xFFFF, 1}};
    for (const auto& [word, order] : rows) {
        Load(142, word);
        EXPECT_EQ(link->WordOrder(), order) << std::hex << word;
    }
}

// Floats read before the meter's word order changed were sent in the other
// order: none of them is taken as read until it is read again.
TEST_F(KelvaneOverTcp, AChangedWordOrderForgetsTheValuesReadInTheOldOne)
{
    server.Registers()[768] = 0x3F80;
    Load(142, 0x05E6);
    ASSERT_EQ(link->ReadRegisters(1, 3, 768, 769, NoAbort), 0);
    ASSERT_EQ(link->LoggedQuantity(0), 1.0);
    Load(142, 0x05E6); // the same order keeps them
    EXPECT_EQ(link->LoggedQuantity(0), 1.0);
    Load(142, 0x25E6);
    EXPECT_FALSE(link->LoggedQuantity(0).has_value());
    EXPECT_TRUE(link->LatestReadOk(142));
    server.Registers()[768] = 0x0000;
    server.Registers()[769] = 0x3F80;
    ASSERT_EQ(link->ReadRegisters(1, 3, 768, 769, NoAbort), 0);
    EXPECT_EQ(link->LoggedQuantity(0), 1.0);
}
