// The serial connection's properties, opening and destruction, its worker's
// priority, and the clock resolution enhancer.

#include "ClockResolution.h"
#include "WorkerTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>

#include <cstdlib>

namespace {

const char* const MustNotBeActive = "Connection must NOT be active for the requested action to be performed";

template <class F>
std::string MessageOf(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing raised)";
}

class Connection : public testing::Test {
protected:
    void SetUp() override
    {
        SetUpLine(connection, peer);
        client.Register(connection);
    }
    speed_t LineSpeed() const
    {
        termios t{};
        ::tcgetattr(peer.Slave(), &t);
        return ::cfgetospeed(&t);
    }

    TMeterPeer peer;
    TTestClient client;
    TModbusConnection connection;
};

TEST_F(Connection, InactiveOnlySettingsRefuseAChangeWhileActive)
{
    connection.SetActive(true);
    const struct {
        const char* Name;
        std::function<void()> Change, Same;
    } rows[] = {
        {"Port", [&] { connection.SetPort("/dev/ttyS7"); }, [&] { connection.SetPort(peer.Path()); }},
        {"TransmissionMode", [&] { connection.SetTransmissionMode(TTransmissionMode::tmASCII); },
         [&] { connection.SetTransmissionMode(TTransmissionMode::tmRTU); }},
        {"FlowControl", [&] { connection.SetFlowControl(TFlowControl::fcRtsCts); },
         [&] { connection.SetFlowControl(TFlowControl::fcNone); }},
        {"ConnectionMode", [&] { connection.SetConnectionMode(TConnectionMode::cmMonitor); },
         [&] { connection.SetConnectionMode(TConnectionMode::cmClient); }},
        {"DTREnabled", [&] { connection.SetDTREnabled(false); }, [&] { connection.SetDTREnabled(true); }},
        {"RTSEnabled", [&] { connection.SetRTSEnabled(false); }, [&] { connection.SetRTSEnabled(true); }},
        {"HookExistingPort", [&] { connection.SetHookExistingPort(true); },
         [&] { connection.SetHookExistingPort(false); }},
        {"InputBufferSize", [&] { connection.SetInputBufferSize(4096); },
         [&] { connection.SetInputBufferSize(1024); }},
        {"OutputBufferSize", [&] { connection.SetOutputBufferSize(4096); },
         [&] { connection.SetOutputBufferSize(1024); }},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MessageOf(row.Change), MustNotBeActive) << row.Name;
        EXPECT_EQ(MessageOf(row.Same), "(nothing raised)") << row.Name;
    }
    EXPECT_EQ(connection.Port(), peer.Path());
    EXPECT_EQ(connection.TransmissionMode(), TTransmissionMode::tmRTU);
    EXPECT_TRUE(connection.Active());
}

TEST_F(Connection, MaxRetriesZeroIsRefusedAndTheOldValueStays)
{
    connection.SetMaxRetries(3);
    EXPECT_EQ(MessageOf([&] { connection.SetMaxRetries(0); }), "Value must be between 1 and 4294967295");
    EXPECT_EQ(connection.MaxRetries(), 3u);
}

TEST_F(Connection, EnqueueWhileInactiveIsRefused)
{
    EXPECT_EQ(MessageOf([&] { EnqueueRead(connection, client); }),
              "Connection MUST be active for the requested action to be performed");
}

// 9 bits a character (8N1), SilentInterval 200: 9 x 200 x 1000 / rate ms.
TEST_F(Connection, LiveRateChangeReconfiguresTheOpenPort)
{
    connection.SetActive(true);
    EXPECT_EQ(LineSpeed(), speed_t(B9600));
    EXPECT_EQ(connection.FrameInterval(), 188u);

    connection.SetBaudRate(TBaudRate::br19200);
    EXPECT_TRUE(connection.Active());
    EXPECT_EQ(LineSpeed(), speed_t(B19200));
    EXPECT_EQ(connection.FrameInterval(), 94u);

    connection.SetCustomBaudRate(38400);
    EXPECT_EQ(connection.BaudRate(), TBaudRate::brCustom);
    EXPECT_EQ(LineSpeed(), speed_t(B38400));
    EXPECT_EQ(connection.FrameInterval(), 47u);

    connection.SetSilentInterval(400);
    EXPECT_EQ(connection.FrameInterval(), 94u);

    // The worker goes on over the reconfigured line.
    peer.Answer(8, [](const TBytes&, int) { return std::vector<TPeerStep>{{0, Rtu(GoodAdu())}}; });
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 1; }));
    EXPECT_EQ(client.Done[0].Reply, TTransactionReply::trSuccess);
}

TEST_F(Connection, SettingTheCustomRateSelectsIt)
{
    connection.SetCustomBaudRate(19200);
    EXPECT_EQ(connection.BaudRate(), TBaudRate::brCustom);
    EXPECT_EQ(connection.CustomBaudRate(), 19200u);
}

TEST_F(Connection, OpeningAMissingPortFailsAndHoldsNothing)
{
    std::vector<std::string> events;
    connection.OnBeforeOpen = [&](TModbusConnection*) { events.push_back("before"); };
    connection.OnAfterOpen = [&](TModbusConnection*) { events.push_back("after"); };
    connection.SetPort("/dev/kelvane-no-such-port");
    const std::string message = MessageOf([&] { connection.SetActive(true); });
    EXPECT_EQ(message.rfind("Could not open serial port", 0), 0u) << message;
    EXPECT_EQ(events, std::vector<std::string>{"before"});
    EXPECT_FALSE(connection.Active());
}

TEST_F(Connection, HookExistingPortNeedsAHandle)
{
    connection.SetHookExistingPort(true);
    EXPECT_EQ(MessageOf([&] { connection.SetActive(true); }), "Could not open serial port");
    EXPECT_FALSE(connection.Active());

    connection.OnGetHookedPortHandle = [&](TModbusConnection*, int& handle) { handle = peer.Slave(); };
    connection.SetActive(true);
    peer.Answer(8, [](const TBytes&, int) { return std::vector<TPeerStep>{{0, Rtu(GoodAdu())}}; });
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 1; }));
    EXPECT_EQ(client.Done[0].Reply, TTransactionReply::trSuccess);
}

TEST_F(Connection, OpenAndCloseEventsSeeTheStateTheyAnnounce)
{
    std::vector<std::pair<std::string, bool>> events;
    auto record = [&](const char* name) {
        return [&events, name](TModbusConnection* sender) { events.push_back({name, sender->Active()}); };
    };
    connection.OnBeforeOpen = record("before open");
    connection.OnAfterOpen = record("after open");
    connection.OnBeforeClose = record("before close");
    connection.OnAfterClose = record("after close");
    connection.SetActive(true);
    connection.Close();
    const std::vector<std::pair<std::string, bool>> expected = {
        {"before open", false}, {"after open", true}, {"before close", true}, {"after close", false}};
    EXPECT_EQ(events, expected);
}

// A client's handler may destroy the connection that delivers to it.
TEST(ConnectionLifetime, HandlerMayDestroyTheConnection)
{
    TMeterPeer peer;
    TTestClient client;
    auto connection = std::make_unique<TModbusConnection>();
    SetUpLine(*connection, peer);
    client.Register(*connection);
    connection->SetActive(true);
    peer.Answer(8, [](const TBytes&, int) { return std::vector<TPeerStep>{{0, Rtu(GoodAdu())}}; });
    client.OnProcess = [&](TModbusTransaction&) { connection.reset(); };
    EnqueueRead(*connection, client);
    EnqueueRead(*connection, client);
    ASSERT_TRUE(WaitFor([&] { return connection == nullptr; }));
    QCoreApplication::processEvents();

    EXPECT_EQ(client.Done.size(), 1u);
    EXPECT_EQ(client.DestroyedCalls, 1);
}

int NiceOfThread(const std::string& tid)
{
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(std::atoi(tid.c_str())));
    return errno == 0 ? nice : 100;
}

// The threads of this process with the given nice value.
int ThreadsWithNice(int nice)
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.' && NiceOfThread(entry->d_name) == nice)
                ++count;
        ::closedir(dir);
    }
    return count;
}

TEST_F(Connection, ThreadPriorityLowersTheWorkersNiceValue)
{
    const int base = ::getpriority(PRIO_PROCESS, 0);
    if (base > 0)
        GTEST_SKIP() << "the test runs niced already";
    const int before = ThreadsWithNice(10);
    connection.SetActive(true);
    connection.SetThreadPriority(TThreadPriority::tpLowest);
    EXPECT_TRUE(WaitFor([&] { return ThreadsWithNice(10) == before + 1; }));
    connection.SetActive(false);
    connection.SetActive(true);
    EXPECT_TRUE(WaitFor([&] { return ThreadsWithNice(10) == before + 1; })) << "a new worker starts with it";
}

TEST(ClockResolution, LowersALargeTimerSlackAndGivesItBack)
{
    std::thread([] {
        const unsigned long large = 5000000;
        ASSERT_EQ(::prctl(PR_SET_TIMERSLACK, large, 0, 0, 0), 0);
        {
            TSystemClockResolutionEnhancer enhancer;
            EXPECT_EQ(enhancer.RequestedSlack(), 50000u);
            EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 50000);
        }
        EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), static_cast<int>(large));
    }).join();
}

} // namespace
