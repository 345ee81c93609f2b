// What the site's page costs kelvane-log, and how soon it shows a pass,
// each figure beside its limit with a PASS or FAIL word; the exit status is
// 1 when a limit is missed.
//
// 100 meters behind 4 Modbus/TCP gateways (simulators of 25 units each),
// read every second by one kelvane-log --site process, in three runs of the
// same site: without --http; with --http and no browser; with the page open
// in headless Chromium (driven by chromedriver), which takes an update of a
// meter after each of its passes. The logger's CPU time and resident memory are sampled
// from /proc after a warm-up (its own time only: the simulators and the
// browser run beside it on the same cores). The page's update delay is,
// for each update, the time from the end of the pass (the reading's time,
// on the logger's clock, which the browser shares on this machine) to the
// browser's next frame after it showed it. Limits: the page open costs
// under 10 % of one core and 20 MB resident more than no page; the update
// delay is under one interval at the 95th percentile.
//
// Usage: page_bench [seconds]   (each run sampled for 60 s by default)

#include "BenchMain.h"
#include "Browser.h"
#include "LocalEngine.h"
#include "LoggerFigures.h"
#include "SimulatedSite.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int Links = 4;
constexpr int UnitsPerLink = 25;
constexpr std::chrono::seconds WarmUp{15};
constexpr std::chrono::seconds SampleEvery{5};
constexpr double CpuCostLimit = 10;       // % of one core, the page open against none
constexpr double ResidentCostLimitMb = 20;
constexpr double DelayLimitMs = 1000;     // one interval

// Wraps the page's own showMeter so that each update notes its delay at the
// browser's next frame.
const QString NoteDelays = R"(
    window.delays = [];
    const show = showMeter;
    window.showMeter = meter => {
      show(meter);
      const passEnd = Date.parse(meter.time);
      requestAnimationFrame(() => window.delays.push(Date.now() - passEnd));
    };
    return true;)";

struct rRun {
    double CpuPercent = 0;
    double ResidentMb = 0; // at most
    std::vector<double> DelaysMs;
};

rRun Summary(const std::vector<rSample>& samples)
{
    rRun run;
    run.CpuPercent =
        (samples.back().CpuSeconds - samples.front().CpuSeconds) / (samples.back().At - samples.front().At) * 100;
    for (const rSample& s : samples)
        run.ResidentMb = std::max(run.ResidentMb, s.ResidentMb);
    return run;
}

enum class TPage { None, Served, Open };

rRun RunLogger(const TSimulatedSite& site, const QTemporaryDir& dir, std::chrono::seconds length, TPage mode)
{
    const bool page = mode != TPage::None;
    const uint16_t port = FreePort();
    std::vector<std::string> args{"--site", site.SiteFile().toStdString(), "--interval", "1", "--banks",
                                  KELVANE_BANKS_PATH};
    if (page)
        args.insert(args.end(), {"--http", std::to_string(port)});
    const std::string messages = dir.filePath(QString("run-%1.stderr").arg(int(mode))).toStdString();
    TLoggerProcess logger(KELVANE_LOG_PATH, args, messages);
    std::unique_ptr<TBrowser> browser;
    if (page)
        Check(localengine::WaitUntil([&] { return Listening(port); }, 10s), "the page listens");
    if (mode == TPage::Open) {
        browser = std::make_unique<TBrowser>(1280, 900);
        Check(browser->Started(), "the browser starts: " + browser->Failure().toStdString());
        browser->Go(QString("http://127.0.0.1:%1/").arg(port));
        Check(localengine::WaitUntil([&] { return browser->Run("return typeof showMeter === 'function'").toBool(); }),
              "the page loads");
    }
    std::this_thread::sleep_for(WarmUp);
    if (browser)
        Check(browser->Run(NoteDelays).toBool(), "the page's updates are timed");
    std::fprintf(stderr, "run %d of 3: sampling for %lld s\n", int(mode) + 1, static_cast<long long>(length.count()));
    rRun run = Summary(Samples(logger, length, SampleEvery));
    if (browser)
        for (const QJsonValue delay : browser->Run("return window.delays").toArray())
            run.DelaysMs.push_back(delay.toDouble());
    Check(logger.Stop() == 0, "kelvane-log ends with status 0 on SIGTERM: " + ReadAll(QString::fromStdString(messages)).toStdString());
    return run;
}

double Percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(share * double(values.size())))];
}

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::chrono::seconds length{argc > 1 ? std::atoi(argv[1]) : 60};
    Check(length >= 2 * SampleEvery, "a run of 10 s or more");
    Check(TBrowser::Installed(), "chromium and chromedriver are installed");
    const QTemporaryDir dir;
    const TSimulatedSite site(KELVANE_SIM_PATH, Links, UnitsPerLink, dir.path());
    const rRun plain = RunLogger(site, dir, length, TPage::None);
    const rRun served = RunLogger(site, dir, length, TPage::Served);
    const rRun page = RunLogger(site, dir, length, TPage::Open);
    Check(!page.DelaysMs.empty(), "the page showed updates");

    std::printf("%d meters on %d Modbus/TCP links read every 1 s by kelvane-log --site, %lld s sampled every %lld s"
                " after a warm-up of %lld s: without --http, with it and no browser, with the page open in headless Chromium\n",
                site.Meters(), Links, static_cast<long long>(length.count()),
                static_cast<long long>(SampleEvery.count()), static_cast<long long>(WarmUp.count()));
    const double cpuCost = page.CpuPercent - plain.CpuPercent, residentCost = page.ResidentMb - plain.ResidentMb;
    std::printf("  CPU: %.2f %% of one core without --http, %.2f %% with it and no browser, %.2f %% with the page open,"
                " %+.2f %% (limit under %.0f %%): %s\n",
                plain.CpuPercent, served.CpuPercent, page.CpuPercent, cpuCost, CpuCostLimit, Verdict(cpuCost < CpuCostLimit));
    std::printf("  resident: %.1f MB at most without --http, %.1f MB with it and no browser, %.1f MB with the page open,"
                " %+.1f MB (limit under %.0f MB): %s\n",
                plain.ResidentMb, served.ResidentMb, page.ResidentMb, residentCost, ResidentCostLimitMb,
                Verdict(residentCost < ResidentCostLimitMb));
    const double p95 = Percentile(page.DelaysMs, 0.95);
    std::printf("  update delay, pass end to the browser's frame: median %.0f ms, 95th percentile %.0f ms, at most %.0f ms"
                " over %zu updates (limit 95th percentile under %.0f ms, one interval): %s\n",
                Percentile(page.DelaysMs, 0.5), p95, Percentile(page.DelaysMs, 1), page.DelaysMs.size(), DelayLimitMs,
                Verdict(p95 < DelayLimitMs));
    return cpuCost < CpuCostLimit && residentCost < ResidentCostLimitMb && p95 < DelayLimitMs ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
