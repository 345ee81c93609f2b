// The simulator served over loopback TCP, with libmodbus as the independent
// client and a raw socket for frames that libmodbus would never send.

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <string>

using namespace simtest;

namespace {

uint16_t ReadOne(modbus_t* ctx, int reg)
{
    uint16_t v = 0;
    EXPECT_EQ(modbus_read_registers(ctx, reg, 1, &v), 1) << modbus_strerror(errno);
    return v;
}

// errno of a failed single-register read.
int ReadError(modbus_t* ctx, int reg, int count = 1)
{
    uint16_t v[125];
    errno = 0;
    EXPECT_EQ(modbus_read_registers(ctx, reg, count, v), -1);
    return errno;
}

TEST(SimTcp, Register133Reads12345)
{
    TInProcessSim sim;
    auto ctx = Connect(sim.Port(), 1);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
    uint16_t input = 0;
    ASSERT_EQ(modbus_read_input_registers(ctx.get(), 133, 1, &input), 1);
    EXPECT_EQ(input, 12345);
}

TEST(SimTcp, ScratchpadWritesReadBack)
{
    TInProcessSim sim;
    auto ctx = Connect(sim.Port(), 1);
    ASSERT_TRUE(ctx);
    ASSERT_EQ(modbus_write_register(ctx.get(), 151, 4321), 1) << modbus_strerror(errno);
    EXPECT_EQ(ReadOne(ctx.get(), 151), 4321);

    const uint16_t values[] = {0xFFFF, 0, 0x8000};
    ASSERT_EQ(modbus_write_registers(ctx.get(), 155, 3, values), 3) << modbus_strerror(errno);
    uint16_t back[4] = {};
    ASSERT_EQ(modbus_read_registers(ctx.get(), 154, 4, back), 4);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(back[1], 0xFFFF);
    EXPECT_EQ(back[2], 0);
    EXPECT_EQ(back[3], 0x8000);
}

TEST(SimTcp, WordOrderSwitchChangesHowFloatsRead)
{
    TInProcessSim sim;
    auto ctx = Connect(sim.Port(), 1);
    ASSERT_TRUE(ctx);
    const auto decode = [](uint16_t high, uint16_t low) {
        return std::bit_cast<float>(static_cast<uint32_t>(high) << 16 | low);
    };
    // Frequency (entry 8) and average voltage L-N (entry 4).
    uint16_t r[10];
    ASSERT_EQ(modbus_read_registers(ctx.get(), 776, 10, r), 10);
    EXPECT_NEAR(decode(r[8], r[9]), 50.0, 0.1) << "configuration word 0x05E6: high word first";
    EXPECT_NEAR(decode(r[0], r[1]), 230.0, 10.0);
    EXPECT_FALSE(std::abs(decode(r[9], r[8]) - 50.0f) < 1.0f);

    ASSERT_EQ(modbus_write_register(ctx.get(), 142, 0x05E6 | 0x2000), 1);
    ASSERT_EQ(modbus_read_registers(ctx.get(), 776, 10, r), 10);
    EXPECT_NEAR(decode(r[9], r[8]), 50.0, 0.1) << "bit 13 set: low word first";
    EXPECT_NEAR(decode(r[1], r[0]), 230.0, 10.0);
    EXPECT_FALSE(std::abs(decode(r[8], r[9]) - 50.0f) < 1.0f);
}

TEST(SimTcp, ExceptionsReachTheClient)
{
    TInProcessSim sim;
    auto ctx = Connect(sim.Port(), 1);
    ASSERT_TRUE(ctx);
    uint8_t bits[8];
    errno = 0;
    EXPECT_EQ(modbus_read_bits(ctx.get(), 0, 1, bits), -1);
    EXPECT_EQ(errno, EMBXILFUN);

    EXPECT_EQ(ReadError(ctx.get(), 1023, 2), EMBXILADD);
    EXPECT_EQ(ReadError(ctx.get(), 2000), EMBXILADD);
    errno = 0;
    EXPECT_EQ(modbus_write_register(ctx.get(), 133, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    errno = 0;
    EXPECT_EQ(modbus_write_register(ctx.get(), 20, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345) << "the connection survives exceptions";

    // libmodbus refuses bad counts itself, so they go out raw.
    TRawClient raw(sim.Port());
    ASSERT_TRUE(raw.Connected());
    raw.Send(Frame(0x0102, 1, {0x03, 0x00, 0x00, 0x00, 126}));
    EXPECT_EQ(raw.Receive(1000, 9), (std::vector<uint8_t>{0x01, 0x02, 0, 0, 0, 3, 1, 0x83, 0x03}));
    raw.Send(Frame(0x0103, 1, {0x10, 0x00, 0x96, 0x00, 0x01, 0x04, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(raw.Receive(1000, 9), (std::vector<uint8_t>{0x01, 0x03, 0, 0, 0, 3, 1, 0x90, 0x03}));
}

TEST(SimTcp, ReportServerId)
{
    TInProcessSim sim({.Units = {4}});
    auto ctx = Connect(sim.Port(), 4);
    ASSERT_TRUE(ctx);
    uint8_t data[MODBUS_MAX_PDU_LENGTH] = {};
    const int n = modbus_report_slave_id(ctx.get(), sizeof data, data);
    ASSERT_GT(n, 2) << modbus_strerror(errno);
    EXPECT_EQ(data[0], 0x4B);
    EXPECT_EQ(data[1], 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 2, n - 2), "Kelvane power transducer, serial 10004, firmware 5.70");
}

TEST(SimTcp, UnitsAnswerWithTheirOwnSerialNumbers)
{
    TInProcessSim sim({.Units = {1, 2, 7}});
    for (int unit : {1, 2, 7}) {
        auto ctx = Connect(sim.Port(), unit);
        ASSERT_TRUE(ctx);
        EXPECT_EQ(ReadOne(ctx.get(), 149), 10000 + unit);
    }
    auto absent = Connect(sim.Port(), 5);
    ASSERT_TRUE(absent);
    EXPECT_EQ(ReadError(absent.get(), 133), EMBXGTAR) << "gateway: target device failed to respond";
}

TEST(SimTcp, DropEveryNthRequest)
{
    TInProcessSim sim({.Faults = {.DropEvery = 2}});
    auto ctx = Connect(sim.Port(), 1, 300);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
    EXPECT_EQ(ReadError(ctx.get(), 133), ETIMEDOUT);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
}

TEST(SimTcp, ExceptionEveryNthRequest)
{
    TInProcessSim sim({.Faults = {.ExceptionEvery = 3}});
    auto ctx = Connect(sim.Port(), 1);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
    EXPECT_EQ(ReadError(ctx.get(), 133), EMBXSFAIL);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
}

TEST(SimTcp, CorruptedRepliesAreRefusedByTheClient)
{
    TInProcessSim sim({.Faults = {.CorruptEvery = 2}});
    {
        auto ctx = Connect(sim.Port(), 1);
        ASSERT_TRUE(ctx);
        EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
        EXPECT_EQ(ReadError(ctx.get(), 133), EMBBADDATA) << "wrong function code";
    }
    // The second corruption: a byte count one register short of the data.
    // The MBAP length still covers the bytes sent.
    TRawClient raw(sim.Port());
    ASSERT_TRUE(raw.Connected());
    raw.Send(Frame(7, 1, {0x03, 0x00, 0x85, 0x00, 0x02}));
    EXPECT_EQ(raw.Receive(1000, 13), (std::vector<uint8_t>{0, 7, 0, 0, 0, 7, 1, 0x03, 0x04, 0x30, 0x39, 0, 25}));
    raw.Send(Frame(8, 1, {0x03, 0x00, 0x85, 0x00, 0x02}));
    EXPECT_EQ(raw.Receive(1000, 13), (std::vector<uint8_t>{0, 8, 0, 0, 0, 7, 1, 0x03, 0x02, 0x30, 0x39, 0, 25}));
}

TEST(SimTcp, WrongUnitAnswersFromAnotherId)
{
    TInProcessSim sim({.Faults = {.WrongUnit = true}});
    TRawClient raw(sim.Port());
    ASSERT_TRUE(raw.Connected());
    raw.Send(Frame(0xABCD, 1, {0x03, 0x00, 0x85, 0x00, 0x01}));
    EXPECT_EQ(raw.Receive(1000, 11), (std::vector<uint8_t>{0xAB, 0xCD, 0, 0, 0, 5, 2, 0x03, 0x02, 0x30, 0x39}));
}

TEST(SimTcp, DelayedRepliesDoNotHoldUpOtherClients)
{
    constexpr int Delay = 400;
    TInProcessSim sim({.DelayMs = Delay});
    auto a = Connect(sim.Port(), 1, 3000);
    auto b = Connect(sim.Port(), 1, 3000);
    ASSERT_TRUE(a && b);

    const auto start = std::chrono::steady_clock::now();
    uint16_t va = 0, vb = 0;
    std::thread ta([&] { modbus_read_registers(a.get(), 133, 1, &va); });
    std::thread tb([&] { modbus_read_registers(b.get(), 133, 1, &vb); });
    ta.join();
    tb.join();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(va, 12345);
    EXPECT_EQ(vb, 12345);
    EXPECT_GE(ms.count(), Delay);
    EXPECT_LT(ms.count(), 2 * Delay - 50) << "the two delays ran one after the other";
}

TEST(SimTcp, ManyClientsAtOnce)
{
    TInProcessSim sim({.Units = {1, 2}});
    constexpr int Clients = 20;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i) {
        threads.emplace_back([&, i] {
            auto ctx = Connect(sim.Port(), 1 + i % 2, 2000);
            if (!ctx)
                return;
            for (int k = 0; k < 25; ++k) {
                uint16_t r[125];
                if (modbus_read_registers(ctx.get(), 128, 125, r) != 125 || r[5] != 12345
                    || r[21] != 10001 + i % 2)
                    return;
            }
            ++good;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, Clients);
}

TEST(SimTcp, PipelinedAndSplitFrames)
{
    TInProcessSim sim;
    TRawClient raw(sim.Port());
    ASSERT_TRUE(raw.Connected());
    // Three requests in one segment: three replies, in order.
    std::vector<uint8_t> three;
    for (uint16_t tid : {1, 2, 3}) {
        const auto f = Frame(tid, 1, {0x03, 0x00, 0x85, 0x00, 0x01});
        three.insert(three.end(), f.begin(), f.end());
    }
    raw.Send(three);
    const auto replies = raw.Receive(1000, 33);
    ASSERT_EQ(replies.size(), 33u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(replies[i * 11 + 1], i + 1) << "transaction id echoed";

    // A frame that arrives in pieces, with another client served meanwhile.
    const auto f = Frame(9, 1, {0x03, 0x00, 0x85, 0x00, 0x01});
    raw.Send({f.begin(), f.begin() + 4});
    auto ctx = Connect(sim.Port(), 1);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ReadOne(ctx.get(), 133), 12345);
    EXPECT_TRUE(raw.Receive(100).empty());
    raw.Send({f.begin() + 4, f.end()});
    EXPECT_EQ(raw.Receive(1000, 11), (std::vector<uint8_t>{0, 9, 0, 0, 0, 5, 1, 0x03, 0x02, 0x30, 0x39}));
}

struct rBadHeaderCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const rBadHeaderCase& row, std::ostream* os) { *os << row.Name; }

class SimTcpBadHeader : public testing::TestWithParam<rBadHeaderCase> {};

TEST_P(SimTcpBadHeader, ClosesThatConnectionOnly)
{
    TInProcessSim sim;
    auto other = Connect(sim.Port(), 1);
    ASSERT_TRUE(other);
    TRawClient raw(sim.Port());
    ASSERT_TRUE(raw.Connected());
    raw.Send(GetParam().Bytes);
    EXPECT_TRUE(raw.Receive(2000).empty());
    EXPECT_TRUE(raw.PeerClosed);
    EXPECT_EQ(ReadOne(other.get(), 133), 12345);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimTcpBadHeader,
    testing::Values(rBadHeaderCase{"ProtocolId1", {0, 1, 0, 1, 0, 6, 1, 3, 0, 0x85, 0, 1}},
                    rBadHeaderCase{"LengthFFFF", {0, 1, 0, 0, 0xFF, 0xFF, 1}},
                    rBadHeaderCase{"Length255", {0, 1, 0, 0, 0, 255, 1}},
                    rBadHeaderCase{"Length1", {0, 1, 0, 0, 0, 1, 1}},
                    rBadHeaderCase{"Length0", {0, 1, 0, 0, 0, 0, 1}},
                    rBadHeaderCase{"Text", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1'}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(SimTcp, LargestFramesAreTakenWhole)
{
    TInProcessSim sim;
    TRawClient raw(sim.Port());
    ASSERT_TRUE(raw.Connected());
    // Function 16 with 123 registers (a 252-byte PDU) to addresses the
    // meter refuses: exception 2, so the count and byte count were accepted.
    std::vector<uint8_t> write{0x10, 0x00, 0x00, 0x00, 123, 246};
    write.resize(252, 0);
    raw.Send(Frame(1, 1, write));
    EXPECT_EQ(raw.Receive(1000, 9), (std::vector<uint8_t>{0, 1, 0, 0, 0, 3, 1, 0x90, 0x02}));

    // A 253-byte PDU (MBAP length 254, the most allowed) whose byte count
    // does not match, followed at once by an ordinary request: both are
    // answered, so the first frame was taken in to its last byte.
    auto big = write;
    big.push_back(0);
    auto frames = Frame(2, 1, big);
    ASSERT_EQ(frames.size(), 260u);
    const auto read = Frame(3, 1, {0x03, 0x00, 0x85, 0x00, 0x01});
    frames.insert(frames.end(), read.begin(), read.end());
    raw.Send(frames);
    EXPECT_EQ(raw.Receive(1000, 20), (std::vector<uint8_t>{0, 2, 0, 0, 0, 3, 1, 0x90, 0x03, 0, 3, 0, 0, 0, 5, 1,
                                                           0x03, 0x02, 0x30, 0x39}));
}

TEST(SimTcp, ConnectionsBeyondTheCapAreClosed)
{
    TInProcessSim sim({.MaxClients = 2});
    auto a = Connect(sim.Port(), 1);
    auto b = Connect(sim.Port(), 1);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(ReadOne(a.get(), 133), 12345);
    EXPECT_EQ(ReadOne(b.get(), 133), 12345);
    {
        TRawClient third(sim.Port());
        ASSERT_TRUE(third.Connected());
        third.Send(Frame(1, 1, {0x03, 0x00, 0x85, 0x00, 0x01}));
        EXPECT_TRUE(third.Receive(2000).empty());
        EXPECT_TRUE(third.PeerClosed);
    }
    a.reset();
    // The server sees the close on its next wake-up, however long a busy
    // machine makes it take; a new client then fits. Until then each new
    // client is turned away at once, so the attempts are spaced a little.
    bool served = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!served && std::chrono::steady_clock::now() < deadline) {
        TRawClient next(sim.Port());
        next.Send(Frame(2, 1, {0x03, 0x00, 0x85, 0x00, 0x01}));
        served = next.Receive(2000, 11).size() == 11;
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(ReadOne(b.get(), 133), 12345);
}

TEST(SimTcp, StopClosesClientConnections)
{
    auto sim = std::make_unique<TInProcessSim>();
    TRawClient raw(sim->Port());
    ASSERT_TRUE(raw.Connected());
    raw.Send(Frame(1, 1, {0x03, 0x00, 0x85, 0x00, 0x01}));
    ASSERT_EQ(raw.Receive(1000, 11).size(), 11u);
    sim.reset();
    raw.Receive(2000);
    EXPECT_TRUE(raw.PeerClosed);
}

} // namespace
