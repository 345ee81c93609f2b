// kelvane-log: logs the measurements of a Kelvane meter, or of every meter
// of a site, without a desktop, in the data log format of the Kelvane
// utility and to the outputs the switches ask for.

#include "CsvOutput.h"
#include "LoggerApplication.h"
#include "LoggerMessages.h"
#include "LoggerOptions.h"
#include "ModbusGateway.h"
#include "RegisterBanksFile.h"
#include "SiteFile.h"
#include "SiteRun.h"
#include "StopSignals.h"

#include <QDir>
#include <QFileInfo>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

bool AnyActive(const std::vector<TRegisterBankEntry>& banks)
{
    return std::any_of(banks.begin(), banks.end(), [](const TRegisterBankEntry& bank) { return bank.Active; });
}

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// The site file's meters, refused whole, naming the line, before any meter
// is read; or the one meter of the switches. Read once, no meter has a
// file: --once only prints.
TSiteFileResult SiteOf(const TLoggerOptions& options)
{
    TSiteFileResult site = options.SiteFile.isEmpty() ? TSiteFileResult{OneMeterSite(options), {}}
                                                      : ReadSiteFile(options.SiteFile, options);
    if (options.Once)
        for (TSiteLink& link : site.Links)
            for (TSiteMeter& meter : link.Meters)
                meter.File.clear();
    return site;
}

// Before any meter is touched: a FIFO or a device as a log is a mistake of
// the command line or the site file that retrying would not mend.
bool LogFilesUsable(const std::vector<TSiteLink>& links)
{
    for (const TSiteLink& link : links)
        for (const TSiteMeter& meter : link.Meters)
            if (!meter.File.isEmpty() && !LogFileUsable(meter.File))
                return false;
    return true;
}

// The large buffers of a site's outputs (a scrape's text, an InfluxDB
// write, a copy of the latest readings: megabytes each for a thousand
// meters) get memory of their own from the system and give it back when
// freed. Left to itself, the allocator raises this bound to the largest
// buffer freed so far and then keeps such buffers in its heaps, where the
// many threads of a site leave them scattered: 20 MB more resident for
// 1,000 meters.
void ReturnLargeBuffers()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

// A read once is over in milliseconds, with few allocations outside the
// main thread: the link's other threads share its heap instead of each
// setting up one of its own.
void ShareOneHeap()
{
#ifdef __GLIBC__
    mallopt(M_ARENA_MAX, 1);
#endif
}

// Each meter's MQTT connection holds three descriptors (its socket and its
// library's wake-up pair), so a site of a few hundred meters needs more than
// the 1,024 a shell or a service gets by default: the soft limit is raised
// to the hard one, which the system or the service allows.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The gateway to the site's meters, listening before any meter is read;
// null, said, when its port cannot be had.
std::unique_ptr<TModbusGateway> ServeSite(const TGatewayOptions& options, std::vector<TSiteLink>& links)
{
    std::vector<TGatewayUnit> units = GatewayUnits(links);
    std::sort(units.begin(), units.end(), [](const TGatewayUnit& a, const TGatewayUnit& b) { return a.Unit < b.Unit; });
    QStringList served;
    for (const TGatewayUnit& unit : units)
        served << QString::number(unit.Unit);
    QString error;
    auto gateway = TModbusGateway::Listen(options, std::move(units), {}, error);
    if (!gateway) {
        LoggerMessage("--serve: " + error);
        return nullptr;
    }
    LoggerMessage(QString("gateway: %1 served on %2:%3, writes %4")
                      .arg(served.isEmpty() ? "no unit" : (served.size() == 1 ? "unit " : "units ") + served.join(", "), options.Address)
                      .arg(options.Port)
                      .arg(options.Writes ? "passed on" : "refused"));
    return gateway;
}

} // namespace

int main(int argc, char** argv)
{
    ReturnLargeBuffers();
    RaiseDescriptorLimit();
    TLoggerApplication application(argc, argv);
    // A stop signal is caught from the start, so that one that comes while
    // the options and the bank file are read ends the run as any other does.
    TStopSignals stopSignals;
    const TAppPaths paths = AppPathsFor(QCoreApplication::applicationFilePath());
    const TLoggerOptionsResult parsed = ParseLoggerOptions(application.arguments().mid(1), paths);
    if (!parsed.Help.isEmpty()) {
        std::fputs(parsed.Help.toUtf8().constData(), stdout);
        return 0;
    }
    if (!parsed.Options) {
        LoggerMessage(parsed.Error + " (see --help)");
        return ExitUsage;
    }
    const TLoggerOptions& options = *parsed.Options;
    if (options.Once)
        ShareOneHeap();
    // Installed, the default log's folder is the user's data folder, made on
    // first use as the utility makes it.
    if (!options.Once && options.SiteFile.isEmpty() &&
        QFileInfo(options.FileName).absolutePath() == QDir(paths.DataDirectory).absolutePath())
        QDir().mkpath(paths.DataDirectory);
    TSiteFileResult site = SiteOf(options);
    if (!site.Error.isEmpty()) {
        LoggerMessage(site.Error);
        return ExitUsage;
    }
    if (!LogFilesUsable(site.Links))
        return ExitUsage;
    std::vector<TRegisterBankEntry> banks = RegisterBanksFile::Read(options.BanksFile);
    if (!AnyActive(banks)) {
        LoggerMessage(QString("no active register bank to read in %1").arg(options.BanksFile));
        return ExitFailure;
    }
    TSiteOutputsResult outputs = MakeSiteOutputs(options.Outputs, site.Links);
    if (!outputs.Error.isEmpty()) {
        LoggerMessage(outputs.Error);
        return ExitFailure;
    }
    const std::unique_ptr<TModbusGateway> gateway = options.Gateway.Port != 0 ? ServeSite(options.Gateway, site.Links) : nullptr;
    if (options.Gateway.Port != 0 && !gateway)
        return ExitFailure;
    return options.Once ? ReadSiteOnce(std::move(site.Links), banks, std::move(outputs.Outputs), stopSignals, options.Csv)
                        : RunSite(std::move(site.Links), banks, std::move(outputs.Outputs), stopSignals);
}
