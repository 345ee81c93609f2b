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

#include "LineRelay.h"
#include "LinkRunner.h"
#include "LoggerOptions.h"
#include "LoggerProcess.h"
#include "LoopbackSockets.h"
#include "ReadAllPass.h"
#include "SerialFrame.h"
#include "SimProcess.h"
#include "SiteFile.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

#include <climits>
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

void Check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error("benchmark step failed: " + what);
}

const char* Verdict(bool met)
{
    return met ? "PASS" : "FAIL";
}

void WriteFile(const QString& path, const QString& text)
{
    QFile file(path);
    Check(file.open(QIODevice::WriteOnly | QIODevice::Text) && file.write(text.toUtf8()) >= 0,
          "writing " + path.toStdString());
}

// The simulator's --units for units 1 to count: it takes a list only.
std::string UnitsUpTo(int count)
{
    std::string list = "1";
    for (int unit = 2; unit <= count; ++unit)
        list += "," + std::to_string(unit);
    return list;
}

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

struct rSample {
    double At = 0;         // seconds since the first sample
    double CpuSeconds = 0; // user and system time of the process so far
    double ResidentMb = 0;
};

// The samples from the end of the warm-up to the end of the run, every few
// seconds; the first is at 0.
std::vector<rSample> Samples(const TLoggerProcess& logger, std::chrono::seconds run)
{
    std::vector<rSample> samples;
    const TMonotonic first = MonotonicNow();
    for (TMonotonic next = first; next <= first + run; next += SampleEvery) {
        std::this_thread::sleep_for(next - MonotonicNow());
        Check(logger.Running(), "kelvane-log runs to the end of the run");
        samples.push_back({Seconds(MonotonicNow() - first), CpuSeconds(logger.Pid()), ResidentMb(logger.Pid())});
    }
    return samples;
}

// Megabytes a second, by least squares over the samples.
double ResidentSlope(const std::vector<rSample>& samples)
{
    double t = 0, m = 0;
    for (const rSample& s : samples) {
        t += s.At;
        m += s.ResidentMb;
    }
    t /= samples.size();
    m /= samples.size();
    double tm = 0, tt = 0;
    for (const rSample& s : samples) {
        tm += (s.At - t) * (s.ResidentMb - m);
        tt += (s.At - t) * (s.At - t);
    }
    return tt > 0 ? tm / tt : 0;
}

// Each meter's log file, beside the site file.
QString LogFileName(int link, int unit)
{
    return QString("link%1-meter%2.csv").arg(link).arg(unit);
}

// The site file of the 100 meters, each with a log file of its own in dir.
QString TcpSite(const QTemporaryDir& dir, const std::vector<uint16_t>& ports)
{
    QString text;
    for (std::size_t link = 0; link < ports.size(); ++link)
        for (int unit = 1; unit <= MetersPerTcpLink; ++unit)
            text += QString("[Link %1 meter %2]\nLink=tcp:127.0.0.1:%3\nAddress=%2\nFile=%4\n\n")
                        .arg(link + 1)
                        .arg(unit)
                        .arg(ports[link])
                        .arg(dir.filePath(LogFileName(int(link) + 1, unit)));
    return text;
}

// A port that was free a moment ago.
uint16_t FreePort()
{
    const TUniqueFd listener = ListenOnLoopback();
    return LocalPort(listener.Get());
}

bool Listening(uint16_t port)
{
    try {
        ConnectToLoopback(port);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// The records of a log file: its lines but the header.
int Records(const QString& path)
{
    QFile file(path);
    Check(file.open(QIODevice::ReadOnly), "reading " + path.toStdString());
    int lines = 0;
    while (!file.atEnd())
        lines += file.readLine().endsWith('\n') ? 1 : 0;
    return lines - 1;
}

// How many records the meters' files hold, the fewest and the most.
std::pair<int, int> RecordRange(const QTemporaryDir& dir)
{
    std::pair<int, int> range{INT_MAX, 0};
    for (int link = 1; link <= TcpLinks; ++link)
        for (int unit = 1; unit <= MetersPerTcpLink; ++unit) {
            const int n = Records(dir.filePath(LogFileName(link, unit)));
            range = {std::min(range.first, n), std::max(range.second, n)};
        }
    return range;
}

QString ReadAll(const QString& path)
{
    QFile file(path);
    Check(file.open(QIODevice::ReadOnly), "reading " + path.toStdString());
    return QString::fromUtf8(file.readAll());
}

// Every meter read in every cycle of the run: the first cycle at once, then
// one a second until the stop; a cycle not yet started at the stop, or cut
// short by it, may be missing. No meter reported silent.
void CheckEveryCycleRead(const QTemporaryDir& dir, double logged, const QString& messages)
{
    const auto [fewest, most] = RecordRange(dir);
    const int cycles = static_cast<int>(logged) + 1;
    std::printf("  records: %d to %d in each of the %d meters' files for %.1f s of logging (at most %d cycles);"
                " %lld \"no answer\" messages\n",
                fewest, most, TcpLinks * MetersPerTcpLink, logged, cycles,
                static_cast<long long>(messages.count("no answer")));
    Check(fewest >= cycles - 1, "a record of every meter in every cycle");
    Check(!messages.contains("no answer"), "no meter silent: " + messages.toStdString());
}

// True when every limit is met.
bool PrintResources(const std::vector<rSample>& samples)
{
    const rSample& first = samples.front();
    const rSample& last = samples.back();
    const double cpu = (last.CpuSeconds - first.CpuSeconds) / (last.At - first.At) * 100;
    double peak = 0;
    for (const rSample& s : samples)
        peak = std::max(peak, s.ResidentMb);
    const double growth = ResidentSlope(samples) * 3600;
    const bool cpuMet = cpu < CpuLimit, residentMet = peak < ResidentLimitMb, flat = growth < GrowthLimitMbPerHour;
    std::printf("  CPU: %.2f %% of one core over %.0f s (limit under %.0f %%): %s\n", cpu, last.At - first.At,
                CpuLimit, Verdict(cpuMet));
    std::printf("  resident: %.1f MB at the start, %.1f MB at the end, %.1f MB at most (limit under %.0f MB): %s\n",
                first.ResidentMb, last.ResidentMb, peak, ResidentLimitMb, Verdict(residentMet));
    std::printf("  resident growth: %+.2f MB an hour, fitted over %zu samples of %.0f s, %+.0f kB from the first to"
                " the last (limit flat, under %.0f MB an hour): %s\n",
                growth, samples.size(), last.At - first.At, (last.ResidentMb - first.ResidentMb) * 1024,
                GrowthLimitMbPerHour, Verdict(flat));
    return cpuMet && residentMet && flat;
}

std::vector<std::unique_ptr<TSimProcess>> TcpSimulators()
{
    std::vector<std::unique_ptr<TSimProcess>> sims;
    for (int link = 0; link < TcpLinks; ++link)
        sims.push_back(std::make_unique<TSimProcess>(
            KELVANE_SIM_PATH, std::vector<std::string>{"--port", "0", "--units", UnitsUpTo(MetersPerTcpLink)}));
    return sims;
}

// True when every limit is met.
bool MeasureTcpSite(std::chrono::seconds run)
{
    std::fprintf(stderr, "running kelvane-log over %d meters for %lld s after %lld s...\n",
                 TcpLinks * MetersPerTcpLink, static_cast<long long>(run.count()),
                 static_cast<long long>(WarmUp.count()));
    const auto sims = TcpSimulators();
    std::vector<uint16_t> ports;
    for (const auto& sim : sims)
        ports.push_back(sim->TcpPort());
    const QTemporaryDir dir;
    const QString site = dir.filePath("tcp-site.ini");
    WriteFile(site, TcpSite(dir, ports));
    const uint16_t metrics = FreePort();
    const std::string messages = dir.filePath("kelvane-log.stderr").toStdString();
    TLoggerProcess logger(KELVANE_LOG_PATH, {"--site", site.toStdString(), "--interval", "1", "--banks", KELVANE_BANKS_PATH, "--metrics",
                           "127.0.0.1:" + std::to_string(metrics)},
                          messages);
    const TMonotonic started = MonotonicNow();
    std::this_thread::sleep_for(WarmUp);
    Check(logger.Running(), "kelvane-log runs: " + ReadAll(QString::fromStdString(messages)).toStdString());
    const bool served = Listening(metrics);
    const std::vector<rSample> samples = Samples(logger, run);
    const double logged = Seconds(MonotonicNow() - started);
    const int status = logger.Stop();

    std::printf("\n2. %d meters on %d Modbus/TCP links at a 1 s interval: kelvane-log --site --interval 1 --metrics"
                " 127.0.0.1:%u, sampled every %lld s after a warm-up of %lld s\n",
                TcpLinks * MetersPerTcpLink, TcpLinks, metrics, static_cast<long long>(SampleEvery.count()),
                static_cast<long long>(WarmUp.count()));
    std::printf("  metrics endpoint: %s\n",
                served ? "served" : "nothing listened on its port (the switch is taken, no endpoint is served)");
    Check(status == 0, "kelvane-log ends with status 0 on SIGTERM, not " + std::to_string(status));
    CheckEveryCycleRead(dir, logged, ReadAll(QString::fromStdString(messages)));
    return PrintResources(samples);
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
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
