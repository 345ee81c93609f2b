// Modbus/TCP reads of the meter link against libmodbus, both talking to the
// same simulator in the same run:
//  1. wall time per read of 125 registers, a new connection per request;
//  2. CPU time of the calling thread per request while the simulator delays
//     each reply, which shows whether the wait blocks or spins.

#include "BenchMain.h"
#include "KelvaneCOM.h"
#include "SimProcess.h"

#include <modbus/modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ThreadCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs ours and the peer's request alternately, rounds times each, and
// gives the median of each side under the given clock.
std::pair<double, double> Interleaved(int rounds, double (*clock)(), const std::function<void()>& ours,
                                      const std::function<void()>& peer)
{
    std::vector<double> a, b;
    for (int i = 0; i < rounds; ++i) {
        double t0 = clock();
        ours();
        double t1 = clock();
        peer();
        double t2 = clock();
        a.push_back(t1 - t0);
        b.push_back(t2 - t1);
    }
    return {Median(a), Median(b)};
}

// A failed request ends the run; the exception lets the simulators stop.
void Check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("benchmark request failed: ") + what);
}

std::function<void()> OurRead(TKelvane& link)
{
    return [&link] {
        const bool abort = false;
        Check(link.ReadRegisters(1, 3, 0, 124, abort) == 0, "meter link read");
    };
}

std::function<void()> LibmodbusRead(int port)
{
    return [port] {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 5, 0);
        uint16_t regs[125];
        Check(modbus_connect(ctx) == 0, "libmodbus connect");
        Check(modbus_read_registers(ctx, 0, 125, regs) == 125, "libmodbus read");
        modbus_close(ctx);
        modbus_free(ctx);
    };
}

void Report(const char* what, double ours, double peer, double unit, const char* unitName, double goal)
{
    const double ratio = ours / peer;
    std::printf("%-48s ours %9.1f %s   libmodbus %9.1f %s   ratio %.2f (goal <= %.2f) %s\n", what, ours / unit,
                unitName, peer / unit, unitName, ratio, goal, ratio <= goal ? "met" : "NOT MET");
}

} // namespace

int Run(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int delayedRounds = argc > 2 ? std::atoi(argv[2]) : 15;

    {
        TSimProcess sim(KELVANE_SIM_PATH, {"--port", "0"});
        TKelvane link("127.0.0.1", true);
        link.SetTcpPort(sim.TcpPort());
        auto ours = OurRead(link);
        auto peer = LibmodbusRead(sim.TcpPort());
        Interleaved(50, WallSeconds, ours, peer); // warm up
        auto [a, b] = Interleaved(rounds, WallSeconds, ours, peer);
        Report("read of 125 registers, wall time per request", a, b, 1e-6, "us", 1.10);
    }
    {
        TSimProcess sim(KELVANE_SIM_PATH, {"--port", "0", "--delay", "200"});
        TKelvane link("127.0.0.1", true);
        link.SetTcpPort(sim.TcpPort());
        auto [a, b] = Interleaved(delayedRounds, ThreadCpuSeconds, OurRead(link), LibmodbusRead(sim.TcpPort()));
        Report("reply delayed 200 ms, CPU time per request", a, b, 1e-6, "us", 2.0);
    }
    return 0;
}

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
