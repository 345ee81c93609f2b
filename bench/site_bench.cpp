// The site logger's scale, each figure beside its limit with a PASS or FAIL
// word; the exit status is 1 when a limit is missed or a meter went unread.
//
//  1. One cycle over 30 meters on one RTU line at 19200 baud: the simulator's
//     RTU port behind an emulated line (TLineRelay) at that rate, read with
//     the fast framing (a reply ends as soon as its length is in and its CRC
//     checks) by the logger's own site code: a site file read by
//     ReadSiteFile with kelvane-log's defaults, its one link run by a
//     TLinkRunner, each cycle timed from the end of the one before. The runner is
//     driven in-process rather than the kelvane-log executable, because
//     from outside the cycle could only be timed together with the start of
//     the process, the reading of its files and the printing of its tables.
//     The port stays open from cycle to cycle, as in a logging run.
//     The limit: the cycle within 5 % above the line time of its requests
//     and replies.
//  2. 100 meters on 4 Modbus/TCP links (4 simulators of 25 units each) at a
//     1 s interval: the real kelvane-log --site as a child process, each
//     meter logging into a file of its own. After a warm-up its CPU time
//     and resident memory are sampled from /proc every few seconds. The
//     limits: under 5 % of one core, under 40 MB resident, and flat: the
//     resident memory fitted over the run grows by less than 1 MB an hour
//     (a short run extrapolates from little time; the hour is the figure
//     that counts). At the end every meter's file must hold a record of
//     every cycle, and no meter may have been reported silent: a logger
//     that read nothing would make the figures worthless.
//
// Usage: site_bench [seconds of the 100-meter run] [cycles of the 30 meters]
// The defaults are 60 s and 3 cycles (median, after one not counted);
// site_bench 3600 runs the hour.

#include "BenchMain.h"
#include "LineRelay.h"
#include "LinkRunner.h"
#include "LoggerOptions.h"
#include "LoggerFigures.h"
#include "LoopbackSockets.h"
#include "ReadAllPass.h"
#include "SerialFrame.h"
#include "SimProcess.h"
#include "SimulatedSite.h"
#include "SiteFile.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t LineBaud = 19200;
constexpr int LineMeters = 30;
constexpr double CycleLimit = 1.05; // times the line time

constexpr int TcpLinks = 4;
constexpr int MetersPerTcpLink = 25;
constexpr double CpuLimit = 5;            // % of one core
constexpr double ResidentLimitMb = 40;
constexpr double GrowthLimitMbPerHour = 1;
constexpr std::chrono::seconds WarmUp{10};
constexpr std::chrono::seconds SampleEvery{5};

// kelvane-log's options for these switches, its defaults where they say
// nothing.
TLoggerOptions LoggerOptions(const QStringList& switches)
{
    const TLoggerOptionsResult parsed = ParseLoggerOptions(switches, TAppPaths::InOneFolder(QFileInfo(KELVANE_BANKS_PATH).absolutePath(), "kelvane-log.ini"));
    Check(parsed.Options.has_value(), "kelvane-log takes its switches: " + parsed.Error.toStdString());
    return *parsed.Options;
}

// ---- 1. One cycle of 30 meters on one RTU line ----------------------------

QString LineSite(const std::string& port)
{
    QString text;
    for (int unit = 1; unit <= LineMeters; ++unit)
        text += QString("[Meter %1]\nLink=rtu:%2:%3\nAddress=%1\nFraming=length\n\n")
                    .arg(unit)
                    .arg(QString::fromStdString(port))
                    .arg(LineBaud);
    return text;
}

TSiteLink LineLink(const QTemporaryDir& dir, const std::string& port)
{
    const QString file = dir.filePath("line-site.ini");
    WriteFile(file, LineSite(port));
    const TSiteFileResult site = ReadSiteFile(file, LoggerOptions({"--site", file, "--once"}));
    Check(site.Error.isEmpty(), "the site file is taken: " + site.Error.toStdString());
    Check(site.Links.size() == 1 && site.Links.front().Meters.size() == LineMeters, "one link of 30 meters");
    return site.Links.front();
}

void CheckEveryMeterRead(const TSiteLink& link, const std::vector<TMeterReading>& readings)
{
    Check(readings.size() == link.Meters.size(), "a reading of every meter in the cycle");
    for (const TMeterReading& reading : readings)
        Check(reading.Complete, "every bank of " + reading.Meter.Name.toStdString() +
                                    " read: " + reading.Failure.toStdString());
}

// The seconds of each cycle of a runner that reads the meters again and
// again, its port open throughout as a logging run keeps it: the time from
// the last meter's reading in one cycle to the one in the next. The
// interval is made 1 ms, so that a cycle, which overruns it, is followed by
// the next one at once rather than at the next interval on the grid. The
// first cycle, which opens the port, is not counted.
std::vector<double> TimedCycles(TSiteLink link, const std::vector<TRegisterBankEntry>& banks, int cycles)
{
    link.Interval = std::chrono::milliseconds(1);
    TLinkRunner runner(link, banks, false);
    std::vector<TMeterReading> readings;
    std::vector<TMonotonic> cycleEnds;
    QEventLoop loop;
    QObject::connect(&runner, &TLinkRunner::Reading, [&](const TMeterReading& r) {
        readings.push_back(r);
        if (r.Meter.Name != link.Meters.back().Id.Name)
            return;
        CheckEveryMeterRead(link, readings);
        readings.clear();
        cycleEnds.push_back(MonotonicNow());
        if (cycleEnds.size() == std::size_t(cycles) + 1)
            loop.quit();
    });
    runner.Start();
    loop.exec();
    runner.Stop();
    std::vector<double> times;
    for (std::size_t i = 1; i < cycleEnds.size(); ++i)
        times.push_back(Seconds(cycleEnds[i] - cycleEnds[i - 1]));
    return times;
}

// Where a cycle's time goes: the bytes on the line; before each request but
// the first, the pause of 3.5 characters that the Modbus serial line
// requires between frames, which the fast framing keeps after a reply ended
// by its length; and the rest: each meter's turnaround, the relay's
// lateness and the logger's own work. On a busy machine the rest grows with
// the waits of the simulator, the relay and the logger for a core; the
// relay's lateness, over every cycle, shows how well the line itself kept
// time. True when the cycle is within its limit.
bool PrintLineCycle(double cycle, const TBanks& banks, const TLineRelay& line, int cycles)
{
    const int bytes = PassBytes(banks) * LineMeters;
    const double lineTime = bytes * Seconds(line.CharacterTime());
    const int requests = static_cast<int>(banks.size()) * LineMeters;
    const TLineTiming timing{LineBaud, TDataBits::db8, TParityScheme::psNone, TStopBits::sb1};
    const double gap = InterFrameGapUs(TTransmissionMode::tmRTU, timing) * 1e-6;
    const double pauses = (requests - 1) * gap;
    const double rest = cycle - lineTime - pauses;
    std::printf("1. One cycle over %d meters on one RTU line at %u baud, Framing=length, %zu banks a meter:"
                " TLinkRunner, from one cycle's end to the next, median of %d cycles after one not counted\n",
                LineMeters, LineBaud, banks.size(), cycles);
    std::printf("  line time: %d bytes of %d requests and replies, 10 bits each: %.1f ms\n", bytes, requests,
                lineTime * 1e3);
    std::printf("  pauses between frames: %d x %.3f ms = %.1f ms (%.2f %% of the line time)\n", requests - 1,
                gap * 1e3, pauses * 1e3, pauses / lineTime * 100);
    std::printf("  the rest (turnarounds, relay, logger): %.1f ms, %.2f ms a request\n", rest * 1e3,
                rest / requests * 1e3);
    PrintRelayLateness(Summarize(line.Lateness()), line.CharacterTime());
    std::printf("  cycle: %.1f ms = %.3f x the line time; limit %.2f x: %s\n", cycle * 1e3, cycle / lineTime,
                CycleLimit, Verdict(cycle <= CycleLimit * lineTime));
    return cycle <= CycleLimit * lineTime;
}

// True when the cycle is within its limit.
bool MeasureLineCycle(int cycles)
{
    std::fprintf(stderr, "measuring one cycle of %d meters on one RTU line...\n", LineMeters);
    const TSimProcess sim(KELVANE_SIM_PATH, {"--rtu", "--baud", std::to_string(LineBaud), "--units",
                                             UnitsUpTo(LineMeters)});
    const TLineRelay line(sim.RtuPath(), LineBaud);
    const QTemporaryDir dir;
    const TSiteLink link = LineLink(dir, line.ClientPath());
    const std::vector<TRegisterBankEntry> banks = RegisterBanksFile::Read(KELVANE_BANKS_PATH);
    return PrintLineCycle(Median(TimedCycles(link, banks, cycles)), ActiveBanks(KELVANE_BANKS_PATH), line, cycles);
}

// ---- 2. 100 meters on 4 Modbus/TCP links ----------------------------------

// True when every limit is met.
bool MeasureTcpSite(std::chrono::seconds run)
{
    std::fprintf(stderr, "running kelvane-log over %d meters for %lld s after %lld s...\n",
                 TcpLinks * MetersPerTcpLink, static_cast<long long>(run.count()),
                 static_cast<long long>(WarmUp.count()));
    const QTemporaryDir dir;
    const TSimulatedSite site(KELVANE_SIM_PATH, TcpLinks, MetersPerTcpLink, dir.path());
    const uint16_t metrics = FreePort();
    const std::string messages = dir.filePath("kelvane-log.stderr").toStdString();
    TLoggerProcess logger(KELVANE_LOG_PATH, {"--site", site.SiteFile().toStdString(), "--interval", "1", "--banks", KELVANE_BANKS_PATH, "--metrics",
                           "127.0.0.1:" + std::to_string(metrics)},
                          messages);
    const TMonotonic started = MonotonicNow();
    std::this_thread::sleep_for(WarmUp);
    Check(logger.Running(), "kelvane-log runs: " + ReadAll(QString::fromStdString(messages)).toStdString());
    const bool served = Listening(metrics);
    const std::vector<rSample> samples = Samples(logger, run, SampleEvery);
    const double logged = Seconds(MonotonicNow() - started);
    const int status = logger.Stop();

    std::printf("\n2. %d meters on %d Modbus/TCP links at a 1 s interval: kelvane-log --site --interval 1 --metrics"
                " 127.0.0.1:%u, sampled every %lld s after a warm-up of %lld s\n",
                TcpLinks * MetersPerTcpLink, TcpLinks, metrics, static_cast<long long>(SampleEvery.count()),
                static_cast<long long>(WarmUp.count()));
    std::printf("  metrics endpoint: %s\n",
                served ? "served" : "nothing listened on its port (the switch is taken, no endpoint is served)");
    Check(status == 0, "kelvane-log ends with status 0 on SIGTERM, not " + std::to_string(status));
    site.CheckEveryCycleRead(logged, 1s, ReadAll(QString::fromStdString(messages)));
    return PrintResources(samples, {CpuLimit, ResidentLimitMb, GrowthLimitMbPerHour});
}

struct rOptions {
    std::chrono::seconds Run{60};
    int Cycles = 3;
};

rOptions ParseOptions(int argc, char** argv)
{
    rOptions options;
    if (argc > 1)
        options.Run = std::chrono::seconds(std::atoi(argv[1]));
    if (argc > 2)
        options.Cycles = std::atoi(argv[2]);
    Check(options.Run >= SampleEvery && options.Cycles > 0, "a run of 5 s or more and a cycle or more");
    return options;
}

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const rOptions options = ParseOptions(argc, argv);
    const bool lineMet = MeasureLineCycle(options.Cycles);
    std::fflush(stdout);
    const bool tcpMet = MeasureTcpSite(options.Run);
    return lineMet && tcpMet ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
