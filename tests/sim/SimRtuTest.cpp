// The simulator's Modbus RTU server: request delimiting on its own, then the
// server on a real pseudo-terminal against libmodbus's RTU master and
// hand-made frames.

#include "RtuRequestReader.h"
#include "RtuServer.h"
#include "SerialFrame.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

using namespace simtest;

namespace {

using TBytes = std::vector<uint8_t>;

// An RTU frame: address, PDU and CRC, low byte first.
TBytes Adu(uint8_t address, const TBytes& pdu)
{
    TBytes f{address};
    f.insert(f.end(), pdu.begin(), pdu.end());
    const uint16_t crc = Crc16(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

TBytes Join(TBytes a, const TBytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TBytes Slice(const TBytes& f, size_t from, size_t to)
{
    return TBytes(f.begin() + static_cast<std::ptrdiff_t>(from), f.begin() + static_cast<std::ptrdiff_t>(to));
}

TBytes WithCrcFlipped(TBytes f)
{
    f.back() ^= 0x01;
    return f;
}

const TBytes Read133{0x03, 0x00, 0x85, 0x00, 0x01};
const TBytes Read149{0x03, 0x00, 0x95, 0x00, 0x01};
const TBytes WriteFc16{0x10, 0x00, 0x96, 0x00, 0x02, 0x04, 0x12, 0x34, 0x56, 0x78};

// ---- Delimiting: chunks of bytes at given times, with an interval of 16 ms.

struct rChunk {
    int64_t AtMs;
    TBytes Bytes;
};

struct rDelimitCase {
    const char* Name;
    std::vector<rChunk> Chunks;
    std::vector<rRtuRequest> Expected; // in order, over all chunks and a final silence
};

void PrintTo(const rDelimitCase& c, std::ostream* os) { *os << c.Name; }

class SimRtuDelimiting : public testing::TestWithParam<rDelimitCase> {};

TEST_P(SimRtuDelimiting, TakesTheRequestsAMeterWould)
{
    TRtuRequestReader reader(16);
    std::vector<rRtuRequest> got;
    for (const rChunk& c : GetParam().Chunks) {
        const auto done = reader.Take(c.Bytes, c.AtMs);
        got.insert(got.end(), done.begin(), done.end());
    }
    const int64_t end = reader.Deadline();
    if (end != INT64_MAX) {
        EXPECT_TRUE(reader.Take({}, end - 1).empty()) << "nothing ends before the silence";
        const auto done = reader.Take({}, end);
        got.insert(got.end(), done.begin(), done.end());
    }
    EXPECT_EQ(got, GetParam().Expected);
    EXPECT_EQ(reader.Deadline(), INT64_MAX) << "idle after the silence";
}

const TBytes Fc43 = Adu(1, {0x2B, 0x0E, 0x01, 0x00});
const TBytes Overlong(300, 0x41);
const TBytes Rtu133 = Adu(1, Read133);

INSTANTIATE_TEST_SUITE_P(
    Table, SimRtuDelimiting,
    testing::Values(
        rDelimitCase{"ReadInOneChunk", {{0, Adu(1, Read133)}}, {{1, Read133}}},
        rDelimitCase{"ReadSplitWithinTheInterval", {{0, Slice(Rtu133, 0, 3)}, {15, Slice(Rtu133, 3, 8)}},
                     {{1, Read133}}},
        rDelimitCase{"TwoRequestsBackToBack", {{0, Join(Adu(0, WriteFc16), Adu(2, {0x11}))}},
                     {{0, WriteFc16}, {2, {0x11}}}},
        rDelimitCase{"UnknownFunctionEndsAtTheSilence", {{0, Fc43}}, {{1, {0x2B, 0x0E, 0x01, 0x00}}}},
        rDelimitCase{"WrongCrcDropsTheRestOfTheBurst",
                     {{0, Join(WithCrcFlipped(Adu(1, Read149)), Rtu133)}, {10, Rtu133}, {40, Rtu133}},
                     {{1, Read133}}},
        rDelimitCase{"GarbageBeforeAFrameSpoilsItUpToTheSilence",
                     {{0, Join(TBytes{0xFF, 0x00}, Adu(1, Read149))}, {40, Rtu133}},
                     {{1, Read133}}},
        rDelimitCase{"PauseLongerThanTheIntervalSplitsAFrame",
                     {{0, Slice(Rtu133, 0, 4)}, {17, Slice(Rtu133, 4, 8)}, {50, Adu(1, Read149)}},
                     {{1, Read149}}},
        rDelimitCase{"TooShortForAFrame", {{0, {0x01, 0x03, 0x00}}}, {}},
        rDelimitCase{"LongerThanAnyFrame", {{0, Overlong}, {40, Adu(7, Read133)}}, {{7, Read133}}},
        rDelimitCase{"ByteCountBeyondAnyFrame",
                     {{0, Join(TBytes{1, 0x10, 0, 0, 0, 0x7F, 0xFE}, TBytes(60, 0))}, {40, Adu(1, Read133)}},
                     {{1, Read133}}}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- The server on a pseudo-terminal.

// The slave side opened raw, for frames no library would send.
class TRawLine {
public:
    explicit TRawLine(const std::string& path)
        : Fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios t{};
        if (Fd >= 0 && tcgetattr(Fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(Fd, TCSANOW, &t);
        }
    }
    ~TRawLine()
    {
        if (Fd >= 0)
            close(Fd);
    }
    bool Open() const { return Fd >= 0; }
    bool Send(const TBytes& bytes) { return write(Fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()); }
    // Bytes waiting to be read.
    int Unread() const
    {
        int n = -1;
        ioctl(Fd, FIONREAD, &n);
        return n;
    }
    bool WaitReadable(int timeoutMs)
    {
        pollfd p{Fd, POLLIN, 0};
        return poll(&p, 1, timeoutMs) == 1;
    }

    // What arrives within timeoutMs, stopping once `expected` bytes are in.
    TBytes Receive(int timeoutMs, size_t expected)
    {
        TBytes got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < expected) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{Fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buf[300];
            const ssize_t n = read(Fd, buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

private:
    int Fd;
};

uint16_t ReadRtu(modbus_t* ctx, int reg)
{
    uint16_t v = 0;
    EXPECT_EQ(modbus_read_registers(ctx, reg, 1, &v), 1) << "register " << reg << ": " << modbus_strerror(errno);
    return v;
}

TEST(SimRtu, LibmodbusMasterReadsWritesAndIdentifies)
{
    TInProcessRtuSim sim({.Units = {1, 2}});
    auto ctx = ConnectRtu(sim.Path(), 1);
    ASSERT_TRUE(ctx) << modbus_strerror(errno);

    EXPECT_EQ(ReadRtu(ctx.get(), 133), 12345);
    // The software version among the floats, high word first by default.
    uint16_t words[2] = {};
    ASSERT_EQ(modbus_read_registers(ctx.get(), 768 + 2 * 31, 2, words), 2);
    EXPECT_EQ(std::bit_cast<float>(uint32_t{words[0]} << 16 | words[1]), 5.7f);

    ASSERT_EQ(modbus_write_register(ctx.get(), 150, 0xBEEF), 1);
    EXPECT_EQ(ReadRtu(ctx.get(), 150), 0xBEEF);
    const uint16_t pair[2] = {0x1234, 0x5678};
    ASSERT_EQ(modbus_write_registers(ctx.get(), 150, 2, pair), 2);
    EXPECT_EQ(ReadRtu(ctx.get(), 150), 0x1234);

    errno = 0;
    EXPECT_EQ(modbus_write_register(ctx.get(), 133, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(ReadRtu(ctx.get(), 133), 12345) << "the line goes on after an exception";

    modbus_set_slave(ctx.get(), 2);
    EXPECT_EQ(ReadRtu(ctx.get(), 150), 0) << "unit 2 is a meter of its own";
    uint8_t id[MODBUS_MAX_PDU_LENGTH] = {};
    const int n = modbus_report_slave_id(ctx.get(), sizeof id, id);
    ASSERT_GT(n, 2) << modbus_strerror(errno);
    EXPECT_EQ(id[0], 0x4B);
    EXPECT_EQ(id[1], 0xFF) << "run indicator on";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 2, n - 2),
              "Kelvane power transducer, serial 10002, firmware 5.70");
}

TEST(SimRtu, ReplyLeftUnreadGoesWhenItsProgramCloses)
{
    TInProcessRtuSim sim({.Units = {1}});
    // Another program on the port sees the line's input queue, which all
    // openers of the slave share.
    TRawLine observer(sim.Path());
    ASSERT_TRUE(observer.Open());
    {
        TRawLine line(sim.Path());
        ASSERT_TRUE(line.Open());
        ASSERT_TRUE(line.Send(Adu(1, Read133)));
        ASSERT_TRUE(line.WaitReadable(5000)) << "the reply is on the line";
        EXPECT_EQ(observer.Unread(), 7);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (observer.Unread() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(observer.Unread(), 0) << "the reply nobody read is gone";

    auto ctx = ConnectRtu(sim.Path(), 1);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ReadRtu(ctx.get(), 149), 10001);
}

// ---- Requests that get no reply. Each is followed by a probe (read 133 of
// unit 1) after a silence; the first reply on the line must be the probe's.

struct rSilentCase {
    const char* Name;
    TBytes Bytes;
    uint16_t Scratchpad; // register 150 of units 1 and 2 afterwards
};

void PrintTo(const rSilentCase& c, std::ostream* os) { *os << c.Name; }

class SimRtuNoReply : public testing::TestWithParam<rSilentCase> {};

TEST_P(SimRtuNoReply, NextReplyIsTheProbes)
{
    TInProcessRtuSim sim({.Units = {1, 2}});
    {
        TRawLine line(sim.Path());
        ASSERT_TRUE(line.Open());
        ASSERT_TRUE(line.Send(GetParam().Bytes));
        // A probe sent while the server still drops the bytes before it is
        // dropped with them; it goes again after the line's silence until
        // one is answered.
        const TBytes probeReply = Adu(1, {0x03, 0x02, 0x30, 0x39});
        TBytes first;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (first.empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3 * sim.FrameIntervalMs()));
            ASSERT_TRUE(line.Send(Adu(1, Read133)));
            first = line.Receive(2000, probeReply.size());
        }
        EXPECT_EQ(first, probeReply);
    }
    for (int unit : {1, 2}) {
        auto ctx = ConnectRtu(sim.Path(), unit);
        ASSERT_TRUE(ctx);
        EXPECT_EQ(ReadRtu(ctx.get(), 150), GetParam().Scratchpad) << "unit " << unit;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimRtuNoReply,
    testing::Values(rSilentCase{"WrongCrc", WithCrcFlipped(Adu(1, {0x06, 0x00, 0x96, 0xBE, 0xEF})), 0},
                    rSilentCase{"UnitWithoutMeter", Adu(9, Read149), 0},
                    rSilentCase{"BroadcastWriteReachesEveryMeter", Adu(0, {0x06, 0x00, 0x96, 0xBE, 0xEF}), 0xBEEF},
                    rSilentCase{"BroadcastWriteMultiple", Adu(0, WriteFc16), 0x1234},
                    rSilentCase{"BroadcastRead", Adu(0, Read149), 0},
                    rSilentCase{"GarbageBeforeARequest", Join({0xFF, 0x00}, Adu(1, Read149)), 0}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- Faults over RTU: two reads of register 133, and how each ends.

struct rFaultCase {
    const char* Name;
    rSimSetup Setup;
    int FirstErrno;  // 0: answered
    int SecondErrno;
};

void PrintTo(const rFaultCase& c, std::ostream* os) { *os << c.Name; }

class SimRtuFault : public testing::TestWithParam<rFaultCase> {};

TEST_P(SimRtuFault, SecondReadEndsAsConfigured)
{
    TInProcessRtuSim sim(GetParam().Setup);
    auto ctx = ConnectRtu(sim.Path(), 1, 1000);
    ASSERT_TRUE(ctx);
    const auto started = std::chrono::steady_clock::now();
    for (int expected : {GetParam().FirstErrno, GetParam().SecondErrno}) {
        uint16_t v = 0;
        errno = 0;
        const int rc = modbus_read_registers(ctx.get(), 133, 1, &v);
        if (expected == 0) {
            EXPECT_EQ(rc, 1) << modbus_strerror(errno);
            EXPECT_EQ(v, 12345);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, expected) << modbus_strerror(errno);
            modbus_flush(ctx.get());
        }
    }
    const auto delay = std::chrono::milliseconds(GetParam().Setup.DelayMs);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 2 * delay) << "each reply comes after the delay";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimRtuFault,
    testing::Values(rFaultCase{"Delay", {.DelayMs = 200}, 0, 0},
                    rFaultCase{"DropEverySecond", {.Faults = {.DropEvery = 2}}, 0, ETIMEDOUT},
                    rFaultCase{"ExceptionEverySecond", {.Faults = {.ExceptionEvery = 2}}, 0, EMBXSFAIL},
                    rFaultCase{"CorruptEverySecond", {.Faults = {.CorruptEvery = 2}}, 0, EMBBADDATA},
                    rFaultCase{"WrongUnit", {.Faults = {.WrongUnit = true}}, EMBBADSLAVE, EMBBADSLAVE}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
