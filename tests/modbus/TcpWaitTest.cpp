// The waits of a Modbus/TCP exchange (the connect and the reply) against
// peers that never answer: they end at their deadline whatever signals
// arrive, and a wait hook runs often and can end them early.

#include "IdModBusClient.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::ScriptedServer;
using testsupport::UnansweredListener;

namespace {

// Interrupts the thread that creates it with SIGUSR1 every millisecond until
// it goes away or the limit passes. The handler does nothing and is
// installed without SA_RESTART, so each signal ends the poll() it meets with
// EINTR. The handler stays installed: a late signal must not end the run.
class SignalStorm {
public:
    explicit SignalStorm(std::chrono::milliseconds limit) : target_(::pthread_self())
    {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(SIGUSR1, &action, nullptr);
        thread_ = std::thread([this, limit] {
            const auto until = Clock::now() + limit;
            while (!stop_ && Clock::now() < until) {
                ::pthread_kill(target_, SIGUSR1);
                ++sent_;
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    ~SignalStorm()
    {
        stop_ = true;
        thread_.join();
    }
    int Sent() const { return sent_; }

private:
    pthread_t target_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
};

// A peer that never answers, in one of the two waits of an exchange.
struct Silence {
    const char* name;
    bool atConnect; // the connect never completes; else the reply never comes
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const Silence& row, std::ostream* os) { *os << row.name; }

class TcpWaitTest : public ::testing::TestWithParam<Silence> {
protected:
    // A client whose wait of the chosen kind lasts limit.
    TIdModBusClient ClientWaiting(std::chrono::milliseconds limit)
    {
        TIdModBusClient client;
        client.Host = "127.0.0.1";
        if (GetParam().atConnect) {
            listener_ = std::make_unique<UnansweredListener>();
            client.Port = listener_->Port();
            client.ConnectTimeOut = static_cast<int>(limit.count());
        } else {
            server_ = std::make_unique<ScriptedServer>(
                [](const testsupport::Bytes&) { return ScriptedServer::Reply{{}, false, true}; });
            client.Port = server_->Port();
            client.ConnectTimeOut = 2000;
            client.TimeOut = static_cast<uint32_t>(limit.count());
        }
        return client;
    }
    int Expected() const { return GetParam().atConnect ? TIdModBusClient::SocketNotConnected : -1; }

private:
    std::unique_ptr<UnansweredListener> listener_;
    std::unique_ptr<ScriptedServer> server_;
};

} // namespace

TEST_P(TcpWaitTest, SignalsDoNotStretchTheWait)
{
    auto client = ClientWaiting(300ms);
    uint16_t dest[1];
    SignalStorm storm(4s);
    const auto t0 = Clock::now();
    EXPECT_EQ(client.ReadHoldingRegisters(0, 1, dest), Expected());
    const auto elapsed = Clock::now() - t0;
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 2s) << "a wait of 300 ms took "
                           << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
    EXPECT_GT(storm.Sent(), 10);
}

TEST_P(TcpWaitTest, HookRunsBetweenShortSlices)
{
    auto client = ClientWaiting(600ms);
    std::vector<Clock::time_point> calls;
    client.WaitHook = [&] {
        calls.push_back(Clock::now());
        return true;
    };
    uint16_t dest[1];
    const auto t0 = Clock::now();
    EXPECT_EQ(client.ReadHoldingRegisters(0, 1, dest), Expected());
    ASSERT_GT(calls.size(), 10u);
    Clock::duration longest = calls.front() - t0;
    for (std::size_t i = 1; i < calls.size(); ++i)
        longest = std::max(longest, calls[i] - calls[i - 1]);
    EXPECT_LT(longest, 150ms);
}

TEST_P(TcpWaitTest, HookEndsTheWaitAtOnce)
{
    auto client = ClientWaiting(10s);
    const auto t0 = Clock::now();
    client.WaitHook = [&] { return Clock::now() - t0 < 100ms; };
    uint16_t dest[1];
    EXPECT_EQ(client.ReadHoldingRegisters(0, 1, dest), -1);
    EXPECT_LT(Clock::now() - t0, 2s);
}

INSTANTIATE_TEST_SUITE_P(Silences, TcpWaitTest,
                         ::testing::Values(Silence{"ReplyNeverComes", false}, Silence{"ConnectNeverCompletes", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Without slices a wait sleeps until its deadline; only a signal runs the
// hook early, and the hook can end the wait then.
TEST(TcpWaitUnsliced, OnlySignalsRunTheHook)
{
    ScriptedServer silent([](const testsupport::Bytes&) { return ScriptedServer::Reply{{}, false, true}; });
    TIdModBusClient client;
    client.Host = "127.0.0.1";
    client.Port = silent.Port();
    client.TimeOut = 300;
    client.WaitSliceMs = 0;
    int calls = 0;
    client.WaitHook = [&] { return ++calls < 1000; };
    uint16_t dest[1];
    EXPECT_EQ(client.ReadHoldingRegisters(0, 1, dest), -1);
    EXPECT_LE(calls, 2);

    client.TimeOut = 10000;
    client.WaitHook = [&] { return false; };
    SignalStorm storm(4s);
    const auto t0 = Clock::now();
    EXPECT_EQ(client.ReadHoldingRegisters(0, 1, dest), -1);
    EXPECT_LT(Clock::now() - t0, 2s);
}
