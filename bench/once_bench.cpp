// kelvane-log --once beside a libmodbus program doing the same pass, each a
// process of its own started from here, over an emulated RS-485 line at
// 115200 baud to the simulator's RTU port (the relay of link_bench: each
// character delivered when its last bit would arrive).
//
// Both read the ticked banks of data/RegisterBanks.ini from one meter and
// print them, each reply ending at its expected length. Ours keeps the
// Modbus serial line's pause of 3.5 characters between frames, which
// libmodbus does not; what ours takes beyond the peer and those pauses is
// its own: starting the process, reading its files, opening the port, its
// threads, printing the table. The limit: at most 3 ms of its own, the
// median over the runs, each program started as often as the other and in
// turn, after one run of each not counted.
//
// Usage: once_bench [runs] [baud]   (defaults 30 and 115200)

#include "BenchMain.h"
#include "LineRelay.h"
#include "LoggerFigures.h"
#include "ReadAllPass.h"
#include "SerialFrame.h"
#include "SimProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr double OwnLimitMs = 3;

// Runs the program to its end, its output dropped: the wall time from the
// start to the exit in seconds, or a failed check when it did not exit 0.
double TimedRun(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const TMonotonic start = MonotonicNow();
    pid_t pid = -1;
    Check(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0, "starting " + args[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const TMonotonic end = MonotonicNow();
    posix_spawn_file_actions_destroy(&actions);
    Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, args[0] + " read every bank");
    return Seconds(end - start);
}

std::vector<std::string> PeerArgs(const std::string& port, uint32_t baud, const TBanks& banks)
{
    std::vector<std::string> args{ONCE_PEER_PATH, port, std::to_string(baud), "1"};
    for (const TRegisterBankEntry& bank : banks)
        args.push_back(std::to_string(bank.Start) + ":" + std::to_string(Count(bank)));
    return args;
}

int Run(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 30;
    const uint32_t baud = argc > 2 ? uint32_t(std::atoi(argv[2])) : 115200;
    Check(runs > 0, "a run or more");
    const TBanks banks = ActiveBanks(KELVANE_BANKS_PATH);
    const TSimProcess sim(KELVANE_SIM_PATH, {"--rtu", "--baud", std::to_string(baud), "--units", "1"});
    const TLineRelay line(sim.RtuPath(), baud);
    const std::vector<std::string> ours{KELVANE_LOG_PATH, "--port", line.ClientPath(), "--baud",
                                        std::to_string(baud), "--once", "--banks", KELVANE_BANKS_PATH};
    const std::vector<std::string> peer = PeerArgs(line.ClientPath(), baud, banks);

    std::fprintf(stderr, "%d runs of kelvane-log --once and of the libmodbus program in turn...\n", runs);
    TimedRun(ours);
    TimedRun(peer);
    std::vector<double> ourTimes, peerTimes;
    for (int i = 0; i < runs; ++i) {
        ourTimes.push_back(TimedRun(ours));
        peerTimes.push_back(TimedRun(peer));
    }
    const double our = Median(ourTimes), theirs = Median(peerTimes);
    const int requests = static_cast<int>(banks.size());
    const TLineTiming timing{baud, TDataBits::db8, TParityScheme::psNone, TStopBits::sb1};
    const double gap = InterFrameGapUs(TTransmissionMode::tmRTU, timing) * 1e-6;
    const double pauses = (requests - 1) * gap;
    const double own = our - theirs - pauses;
    const bool met = own * 1e3 <= OwnLimitMs;
    std::printf("One pass of %d banks from one meter on an emulated RTU line at %u baud, each program a process"
                " of its own, median of %d runs:\n",
                requests, baud, runs);
    std::printf("  line time: %d bytes, 10 bits each: %.2f ms\n", PassBytes(banks),
                PassBytes(banks) * Seconds(line.CharacterTime()) * 1e3);
    std::printf("  libmodbus program: %.2f ms\n", theirs * 1e3);
    std::printf("  kelvane-log --once: %.2f ms = %.2f x the libmodbus program\n", our * 1e3, our / theirs);
    std::printf("  pauses between frames that ours keeps: %d x %.2f ms = %.2f ms\n", requests - 1, gap * 1e3,
                pauses * 1e3);
    std::printf("  ours beyond the libmodbus program and those pauses: %.2f ms (limit at most %.0f ms): %s\n",
                own * 1e3, OwnLimitMs, Verdict(met));
    PrintRelayLateness(Summarize(line.Lateness()), line.CharacterTime());
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
