// What the site's page costs the logger: the real kelvane-log --site over
// 100 meters on 4 Modbus/TCP links at a 1 s interval with --http on, its
// CPU time and resident memory sampled first with no browser on the page,
// then with Debian's headless Chromium showing it and taking its live
// updates. Each phase's figures beside the limits of a site of that size
// (those of site_bench), then what the open page adds. At the end every
// meter's file must hold a record of every cycle: a logger that read
// nothing would make the figures worthless.
//
// Usage: page_bench [seconds of each phase]; the default is 60 s.

#include "BenchMain.h"
#include "LoggerFigures.h"
#include "SimulatedSite.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int TcpLinks = 4;
constexpr int MetersPerTcpLink = 25;
constexpr std::chrono::seconds WarmUp{10};
constexpr std::chrono::seconds SampleEvery{5};
const rResourceLimits SiteLimits{.CpuPercent = 5, .ResidentMb = 40, .GrowthMbPerHour = 1};
// What the page open in a browser may add to the logger.
constexpr double PageCpuLimit = 1;  // percentage points of one core
constexpr double PageResidentLimitMb = 5;

struct rPhase {
    double CpuPercent = 0;
    double ResidentMb = 0; // at most
};

rPhase Figures(const std::vector<rSample>& samples)
{
    rPhase phase;
    phase.CpuPercent = (samples.back().CpuSeconds - samples.front().CpuSeconds) /
                       (samples.back().At - samples.front().At) * 100;
    for (const rSample& s : samples)
        phase.ResidentMb = std::max(phase.ResidentMb, s.ResidentMb);
    return phase;
}

// Headless Chromium with the page open, in a profile of its own; it goes
// with the object.
class TBrowser {
public:
    TBrowser(const QString& url, const QString& profile)
    {
        process_.setProgram("/usr/bin/chromium");
        process_.setArguments({"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               "--user-data-dir=" + profile, url});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        Check(process_.waitForStarted(10000), "chromium starts: " + process_.errorString().toStdString());
    }
    ~TBrowser()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(5000);
    }
    bool Running() const { return process_.state() == QProcess::Running; }

private:
    QProcess process_;
};

bool PrintPhase(const char* title, const std::vector<rSample>& samples)
{
    std::printf("\n  %s\n", title);
    return PrintResources(samples, SiteLimits);
}

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::chrono::seconds run{argc > 1 ? std::atoi(argv[1]) : 60};
    Check(run >= SampleEvery * 2, "a phase of 10 s or more");
    const QTemporaryDir dir;
    const TSimulatedSite site(KELVANE_SIM_PATH, TcpLinks, MetersPerTcpLink, dir.path());
    const uint16_t port = FreePort();
    const std::string messages = dir.filePath("kelvane-log.stderr").toStdString();
    std::fprintf(stderr, "running kelvane-log over %d meters with its page, %lld s without a browser, then %lld s"
                         " with one...\n",
                 site.Meters(), static_cast<long long>(run.count()), static_cast<long long>(run.count()));
    TLoggerProcess logger(KELVANE_LOG_PATH,
                          {"--site", site.SiteFile().toStdString(), "--interval", "1", "--banks", KELVANE_BANKS_PATH,
                           "--http", "127.0.0.1:" + std::to_string(port)},
                          messages);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(WarmUp);
    Check(logger.Running() && Listening(port),
          "kelvane-log serves its page: " + ReadAll(QString::fromStdString(messages)).toStdString());
    const std::vector<rSample> without = Samples(logger, run, SampleEvery);
    const TBrowser browser(QString("http://127.0.0.1:%1/").arg(port), dir.filePath("chromium"));
    std::this_thread::sleep_for(WarmUp);
    Check(browser.Running(), "chromium shows the page");
    const std::vector<rSample> with = Samples(logger, run, SampleEvery);
    const double logged = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int status = logger.Stop();

    std::printf("%d meters on %d Modbus/TCP links at a 1 s interval: kelvane-log --site --interval 1 --http"
                " 127.0.0.1:%u, sampled every %lld s\n",
                site.Meters(), TcpLinks, port, static_cast<long long>(SampleEvery.count()));
    const bool alone = PrintPhase("no browser on the page:", without);
    const bool open = PrintPhase("the page open in headless Chromium, updating live:", with);
    const rPhase a = Figures(without), b = Figures(with);
    const bool cpuMet = b.CpuPercent - a.CpuPercent <= PageCpuLimit;
    const bool memoryMet = b.ResidentMb - a.ResidentMb <= PageResidentLimitMb;
    std::printf("\n  the open page adds %+.2f percentage points of one core (%.2f x; limit at most %+.0f): %s\n",
                b.CpuPercent - a.CpuPercent, b.CpuPercent / a.CpuPercent, PageCpuLimit, Verdict(cpuMet));
    std::printf("  and %+.1f MB resident at most (limit at most %+.0f MB): %s\n", b.ResidentMb - a.ResidentMb,
                PageResidentLimitMb, Verdict(memoryMet));
    Check(status == 0, "kelvane-log ends with status 0 on SIGTERM, not " + std::to_string(status));
    site.CheckEveryCycleRead(logged, 1s, ReadAll(QString::fromStdString(messages)));
    return alone && open && cpuMet && memoryMet ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
