// Input and output of a serial port over real pseudo-terminals: frames
// written and read, waits that time out, abort and survive signals, and a
// line that hangs up under each operation.

#include "KelvaneError.h"
#include "PtyPair.h"
#include "SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <functional>
#include <future>
#include <numeric>

#include <pthread.h>
#include <sys/ioctl.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Pattern(std::size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(i * 7 + i / 256);
    return bytes;
}

int BytesWaiting(int fd)
{
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// True while the thread sleeps in the kernel (state S in its stat line).
bool ThreadSleeps(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

// Runs a port operation on a thread of its own and tells when that thread
// has gone to sleep in it.
template <class TResult>
class TBlockingCall {
public:
    explicit TBlockingCall(std::function<TResult()> call)
    {
        future_ = std::async(std::launch::async, [this, call] {
            tid_ = ::gettid();
            return call();
        });
    }
    bool WaitUntilBlocked() { return WaitUntil([this] { return tid_ != 0 && ThreadSleeps(tid_); }); }
    bool EndsWithin(std::chrono::milliseconds limit) { return future_.wait_for(limit) == std::future_status::ready; }
    TResult Get() { return future_.get(); }

private:
    std::atomic<pid_t> tid_{0};
    std::future<TResult> future_;
};

struct TFlowRow {
    const char* Name;
    TFlowControl Flow;
    uint32_t RtsHoldDelay;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const TFlowRow& row, std::ostream* os) { *os << row.Name; }

class SerialPortWrite : public testing::TestWithParam<TFlowRow> {};

// Every byte value passes unchanged, XON, XOFF, CR and LF among them; a
// pseudo-terminal has no modem lines, so RTS toggling goes on without them.
TEST_P(SerialPortWrite, FrameArrivesWhole)
{
    TPtyPair pty;
    TSerialPort port;
    TLineSettings settings;
    settings.FlowControl = GetParam().Flow;
    port.Open(pty.SlavePath(), settings);

    std::vector<uint8_t> frame(256);
    std::iota(frame.begin(), frame.end(), 0);
    const auto start = Clock::now();
    EXPECT_TRUE(port.WriteFrame(frame.data(), frame.size(), GetParam().RtsHoldDelay));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(GetParam().RtsHoldDelay));
    EXPECT_EQ(pty.Read(frame.size()), frame);
}

INSTANTIATE_TEST_SUITE_P(Flows, SerialPortWrite,
                         testing::Values(TFlowRow{"NoHandshake", TFlowControl::fcNone, 0},
                                         TFlowRow{"RtsToggleWithHold", TFlowControl::fcRtsToggle, 40},
                                         TFlowRow{"RtsCts", TFlowControl::fcRtsCts, 0}),
                         [](const testing::TestParamInfo<TFlowRow>& info) { return std::string(info.param.Name); });

TEST(SerialPort, WriteLargerThanTheDriverHoldsWaitsForRoom)
{
    TPtyPair pty;
    TSerialPort port;
    port.Open(pty.SlavePath(), {});
    const std::vector<uint8_t> data = Pattern(512 * 1024);
    auto reader = std::async(std::launch::async, [&] { return pty.Read(data.size(), 30s); });
    EXPECT_TRUE(port.WriteFrame(data.data(), data.size(), 0));
    EXPECT_TRUE(reader.get() == data);
}

TEST(SerialPort, TimedOutWaitKeepsNoCharacterFromTheNext)
{
    TPtyPair pty;
    TSerialPort port;
    port.Open(pty.SlavePath(), {});

    auto start = Clock::now();
    EXPECT_FALSE(port.WaitForData(100));
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_LT(Clock::now() - start, 3s);

    pty.Write({0x42});
    ASSERT_TRUE(pty.WaitUntilSlaveReadable());
    start = Clock::now();
    EXPECT_TRUE(port.WaitForData(0));
    EXPECT_TRUE(port.WaitForData(5000));
    EXPECT_LT(Clock::now() - start, 1s);
    uint8_t byte = 0;
    EXPECT_EQ(port.ReadAvailable(&byte, 1), 1u);
    EXPECT_EQ(byte, 0x42);
}

TEST(SerialPort, ReadAvailableTakesWhatThePortHolds)
{
    TPtyPair pty;
    TSerialPort port;
    port.Open(pty.SlavePath(), {});
    std::vector<uint8_t> buffer(1024);
    EXPECT_EQ(port.ReadAvailable(buffer.data(), buffer.size()), 0u); // nothing there: no wait

    const std::vector<uint8_t> burst = Pattern(300);
    pty.Write(burst);
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(pty.Slave()) == 300; }));
    ASSERT_EQ(port.ReadAvailable(buffer.data(), buffer.size()), 300u);
    EXPECT_TRUE(std::equal(burst.begin(), burst.end(), buffer.begin()));

    // At most n, the rest stays for the next read.
    pty.Write(burst);
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(pty.Slave()) == 300; }));
    ASSERT_EQ(port.ReadAvailable(buffer.data(), 100), 100u);
    ASSERT_EQ(port.ReadAvailable(buffer.data() + 100, 1000), 200u);
    EXPECT_TRUE(std::equal(burst.begin(), burst.end(), buffer.begin()));
    EXPECT_EQ(port.ReadAvailable(buffer.data(), 0), 0u);

    // Discard drops what arrived.
    pty.Write(burst);
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(pty.Slave()) == 300; }));
    port.Discard();
    EXPECT_FALSE(port.WaitForData(0));
}

TEST(SerialPort, AbortEndsANoLimitWaitAndEveryLaterOneUntilClosed)
{
    TPtyPair pty;
    TSerialPort port;
    port.Open(pty.SlavePath(), {});

    TBlockingCall<bool> wait([&] { return port.WaitForData(-1); });
    ASSERT_TRUE(wait.WaitUntilBlocked());
    port.Abort();
    ASSERT_TRUE(wait.EndsWithin(5s));
    EXPECT_FALSE(wait.Get());

    // Even with characters waiting, an aborted port reports none.
    pty.Write({0x01});
    ASSERT_TRUE(pty.WaitUntilSlaveReadable());
    const auto start = Clock::now();
    EXPECT_FALSE(port.WaitForData(10000));
    EXPECT_LT(Clock::now() - start, 5s);

    port.Close();
    port.Open(pty.SlavePath(), {});
    EXPECT_TRUE(port.WaitForData(10000));
}

TEST(SerialPort, AbortEndsAWriteThatWaitsForRoom)
{
    TPtyPair pty; // nobody reads the master, so its buffer fills
    TSerialPort port;
    port.Open(pty.SlavePath(), {});
    const std::vector<uint8_t> data = Pattern(4 * 1024 * 1024);
    TBlockingCall<bool> write([&] { return port.WriteFrame(data.data(), data.size(), 0); });
    ASSERT_TRUE(write.WaitUntilBlocked());
    port.Abort();
    ASSERT_TRUE(write.EndsWithin(5s));
    EXPECT_FALSE(write.Get());
}

std::atomic<int> signalsCaught{0};

void CountSignal(int)
{
    ++signalsCaught;
}

TEST(SerialPort, SignalsDoNotRestartOrEndAWait)
{
    TPtyPair pty;
    TSerialPort port;
    port.Open(pty.SlavePath(), {});

    struct sigaction action{};
    struct sigaction previous{};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: poll() fails with EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    std::atomic<bool> waiting{true};
    const pthread_t waiter = ::pthread_self();
    signalsCaught = 0;
    // The signals stop after 5 s at the latest, so that a wait that restarts
    // its full time at every signal ends too, and late enough to fail.
    std::thread sender([&] {
        const auto stop = Clock::now() + 5s;
        while (waiting && Clock::now() < stop) {
            ::pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
    });
    const auto start = Clock::now();
    const bool arrived = port.WaitForData(300);
    const auto elapsed = Clock::now() - start;
    waiting = false;
    sender.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_FALSE(arrived);
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_GE(signalsCaught.load(), 2);
}

struct TLostRow {
    const char* Name;
    TFlowControl Flow;
    bool HangUpFirst; // else the line hangs up while the call waits
    std::function<void(TSerialPort&)> Call;
};

TEST(SerialPort, HangUpRaisesPortLostInEveryOperation)
{
    const std::vector<uint8_t> big = Pattern(4 * 1024 * 1024);
    const TLostRow rows[] = {
        {"WaitForData", TFlowControl::fcNone, true, [](TSerialPort& p) { p.WaitForData(5000); }},
        {"ReadAvailable", TFlowControl::fcNone, true, [](TSerialPort& p) { uint8_t b[16]; p.ReadAvailable(b, sizeof b); }},
        {"WriteFrame", TFlowControl::fcNone, true, [](TSerialPort& p) { const uint8_t b = 1; p.WriteFrame(&b, 1, 0); }},
        {"RtsToggleWrite", TFlowControl::fcRtsToggle, true, [](TSerialPort& p) { const uint8_t b = 1; p.WriteFrame(&b, 1, 10); }},
        {"Discard", TFlowControl::fcNone, true, [](TSerialPort& p) { p.Discard(); }},
        {"ApplyLineSettings", TFlowControl::fcNone, true, [](TSerialPort& p) { p.ApplyLineSettings({}); }},
        {"NoLimitWait", TFlowControl::fcNone, false, [](TSerialPort& p) { p.WaitForData(-1); }},
        {"WriteWaitingForRoom", TFlowControl::fcNone, false, [&](TSerialPort& p) { p.WriteFrame(big.data(), big.size(), 0); }},
    };
    for (const TLostRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TPtyPair pty;
        TSerialPort port;
        TLineSettings settings;
        settings.FlowControl = row.Flow;
        port.Open(pty.SlavePath(), settings);
        if (row.HangUpFirst)
            pty.CloseMaster();

        TBlockingCall<std::string> call([&]() -> std::string {
            try {
                row.Call(port);
                return "no failure";
            } catch (const EPortLost& e) {
                return e.Code == EIO ? e.what() : "wrong code";
            } catch (const std::exception& e) {
                return std::string("other failure: ") + e.what();
            }
        });
        if (!row.HangUpFirst) {
            ASSERT_TRUE(call.WaitUntilBlocked());
            pty.CloseMaster();
        }
        ASSERT_TRUE(call.EndsWithin(5s));
        EXPECT_EQ(call.Get(), "Serial port " + pty.SlavePath() + " was lost: Input/output error");
        port.Close();
        EXPECT_FALSE(port.IsOpen());
    }
}

TEST(SerialPort, ClosedPortRefusesIo)
{
    TSerialPort port;
    uint8_t byte = 0;
    EXPECT_THROW(port.WaitForData(0), EModbusError);
    EXPECT_THROW(port.ReadAvailable(&byte, 1), EModbusError);
    EXPECT_THROW(port.WriteFrame(&byte, 1, 0), EModbusError);
    EXPECT_THROW(port.Discard(), EModbusError);
}

} // namespace
