// The kelvane-sim executable as a user starts it.

#include "SimProcess.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <string>

using namespace simtest;

namespace {

class SimExecutableSignal : public testing::TestWithParam<int> {};

TEST_P(SimExecutableSignal, ListensAnswersAndStopsCleanly)
{
    REQUIRE_SIM_EXECUTABLE();
    TSimProcess sim({"--port", "0", "--units", "3,9"});
    ASSERT_TRUE(sim.Started());
    const std::string line = sim.ReadLine(5000);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex("kelvane-sim listening on 127\\.0\\.0\\.1:(\\d+)\n")))
        << "first line: '" << line << "'";
    const int port = std::stoi(m[1]);
    ASSERT_GT(port, 0);

    auto ctx = Connect(static_cast<uint16_t>(port), 9);
    ASSERT_TRUE(ctx);
    uint16_t v[2] = {};
    ASSERT_EQ(modbus_read_registers(ctx.get(), 133, 1, v), 1);
    EXPECT_EQ(v[0], 12345);
    ASSERT_EQ(modbus_read_registers(ctx.get(), 149, 1, v), 1);
    EXPECT_EQ(v[0], 10009);

    ASSERT_EQ(kill(sim.Pid, GetParam()), 0);
    EXPECT_EQ(sim.Wait(5000), 0);
    EXPECT_EQ(sim.ReadAll(sim.Err, 100), "");
    TRawClient after(static_cast<uint16_t>(port));
    EXPECT_FALSE(after.Connected()) << "the listening socket is closed";
}

INSTANTIATE_TEST_SUITE_P(Signals, SimExecutableSignal, testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "SIGTERM" : "SIGINT"; });

TEST(SimExecutable, BadSwitchExits2WithAMessage)
{
    REQUIRE_SIM_EXECUTABLE();
    TSimProcess sim({"--port", "0", "--frobnicate"});
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.Wait(5000), 2);
    EXPECT_EQ(sim.ReadAll(sim.Out, 100), "");
    EXPECT_NE(sim.ReadAll(sim.Err, 1000).find("unknown option '--frobnicate'"), std::string::npos);
}

TEST(SimExecutable, HelpExits0)
{
    REQUIRE_SIM_EXECUTABLE();
    TSimProcess sim({"--help"});
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.Wait(5000), 0);
    EXPECT_EQ(sim.ReadAll(sim.Out, 1000).rfind("Usage: kelvane-sim", 0), 0u);
}

TEST(SimExecutable, PortInUseExits1)
{
    REQUIRE_SIM_EXECUTABLE();
    TInProcessSim holder;
    TSimProcess sim({"--port", std::to_string(holder.Port())});
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.Wait(5000), 1);
    EXPECT_NE(sim.ReadAll(sim.Err, 1000).find("cannot listen"), std::string::npos);
}

// The CPU time a process has used, user and system, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command name in brackets: state is field 3, utime 14.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// A fresh folder for links, removed with the object.
struct TTempDir {
    TTempDir()
    {
        char name[] = "/tmp/kelvane-sim-XXXXXX";
        Path = mkdtemp(name);
    }
    ~TTempDir() { std::filesystem::remove_all(Path); }
    std::filesystem::path Path;
};

TEST(SimExecutableRtu, LinkServesThroughReopensIdlesQuietlyAndGoes)
{
    REQUIRE_SIM_EXECUTABLE();
    TTempDir dir;
    const std::string link = (dir.Path / "meter").string();
    std::filesystem::create_symlink("/dev/pts/no-such-line", link); // left by an earlier run
    TSimProcess sim({"--rtu", "--link", link, "--units", "1,2"});
    ASSERT_TRUE(sim.Started());

    std::smatch m;
    const std::string first = sim.ReadLine(5000);
    ASSERT_TRUE(std::regex_match(first, m, std::regex("kelvane-sim serving Modbus RTU on (/dev/pts/\\d+)\n")))
        << "first line: '" << first << "'";
    const std::string slave = m[1];
    EXPECT_EQ(sim.ReadLine(5000), "kelvane-sim linked " + link + " to " + slave + "\n");
    EXPECT_EQ(std::filesystem::read_symlink(link), slave);

    // The utility closes and reopens its port as the user picks ports.
    for (int round = 0; round < 3; ++round) {
        auto ctx = ConnectRtu(link, 2);
        ASSERT_TRUE(ctx) << "round " << round << ": " << modbus_strerror(errno);
        uint16_t v = 0;
        ASSERT_EQ(modbus_read_registers(ctx.get(), 149, 1, &v), 1) << "round " << round;
        EXPECT_EQ(v, 10002);
    }

    // Nobody has the line open now: the server must wait, not spin. A busy
    // loop would take most of a CPU over this second.
    const double before = CpuSeconds(sim.Pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(CpuSeconds(sim.Pid) - before, 0.15);

    ASSERT_EQ(kill(sim.Pid, SIGTERM), 0);
    EXPECT_EQ(sim.Wait(5000), 0);
    EXPECT_EQ(sim.ReadAll(sim.Err, 100), "");
    EXPECT_FALSE(std::filesystem::is_symlink(link)) << "the link goes with the simulator";
}

TEST(SimExecutableRtu, RefusesToReplaceARegularFile)
{
    REQUIRE_SIM_EXECUTABLE();
    TTempDir dir;
    const std::string file = (dir.Path / "settings.ini").string();
    std::ofstream(file) << "[Form]\n";
    TSimProcess sim({"--rtu", "--link", file});
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.Wait(5000), 1);
    EXPECT_NE(sim.ReadAll(sim.Err, 1000).find("is not a symbolic link"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_EQ(std::filesystem::file_size(file), 7u);
}

TEST(SimExecutableRtu, BothTransportsServeTheSameMeters)
{
    REQUIRE_SIM_EXECUTABLE();
    TSimProcess sim({"--rtu", "--port", "0", "--baud", "9600"});
    ASSERT_TRUE(sim.Started());
    std::smatch tcpLine, rtuLine;
    const std::string first = sim.ReadLine(5000);
    const std::string second = sim.ReadLine(5000);
    ASSERT_TRUE(std::regex_match(first, tcpLine, std::regex("kelvane-sim listening on 127\\.0\\.0\\.1:(\\d+)\n")))
        << first;
    ASSERT_TRUE(std::regex_match(second, rtuLine, std::regex("kelvane-sim serving Modbus RTU on (/dev/pts/\\d+)\n")))
        << second;

    auto tcp = Connect(static_cast<uint16_t>(std::stoi(tcpLine[1])), 1);
    auto rtu = ConnectRtu(rtuLine[1], 1);
    ASSERT_TRUE(tcp && rtu);
    ASSERT_EQ(modbus_write_register(tcp.get(), 150, 0x0A0B), 1);
    uint16_t v = 0;
    ASSERT_EQ(modbus_read_registers(rtu.get(), 150, 1, &v), 1);
    EXPECT_EQ(v, 0x0A0B);
    ASSERT_EQ(modbus_write_register(rtu.get(), 150, 0x0C0D), 1);
    ASSERT_EQ(modbus_read_registers(tcp.get(), 150, 1, &v), 1);
    EXPECT_EQ(v, 0x0C0D);

    ASSERT_EQ(kill(sim.Pid, SIGINT), 0);
    EXPECT_EQ(sim.Wait(5000), 0);
}

} // namespace
