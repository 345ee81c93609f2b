// What dead meters cost the others of their bus, each figure beside its
// limit with a PASS or FAIL word; the exit status is 1 when a limit is
// missed.
//
// Ten meters on one RTU line at 19200 baud, read every 5 s with the
// defaults (500 ms timeout, 3 tries) by the real kelvane-log --site as a
// child process: the simulator serves units 1 to 8 behind an emulated line
// (TLineRelay) at that rate, so that each pass takes its real line time;
// units 9 and 10 do not exist. Each meter logs into a file of its own,
// which the benchmark watches every 10 ms, noting when each record comes.
// For each meter that answers: its mean record interval over the run, and
// its longest gap from the second record on (the first pass, which finds
// the two silent, is allowed its overrun). The limit: within 10 % of the
// interval. The dead meters' files must hold a record at every interval.
//
// Usage: dead_meter_bench [seconds of the run]; the default is 60.

#include "LineRelay.h"
#include "SimProcess.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Meters = 10;
constexpr int LiveMeters = 8;
constexpr double Interval = 5; // seconds
constexpr double Tolerance = 0.1;

qsizetype Records(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? std::max<qsizetype>(file.readAll().count("\r\n") - 1, 0) : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int run = argc > 1 ? std::atoi(argv[1]) : 60;
    const TSimProcess sim(KELVANE_SIM_PATH, {"--rtu", "--baud", "19200", "--units", "1,2,3,4,5,6,7,8"});
    const TLineRelay line(sim.RtuPath(), 19200);
    const QTemporaryDir dir;
    QString site;
    for (int m = 1; m <= Meters; ++m)
        site += QString("[M%1]\nLink=rtu:%2:19200\nAddress=%1\nFile=%3/m%1.csv\n\n")
                    .arg(m).arg(QString::fromStdString(line.ClientPath()), dir.path());
    QFile siteFile(dir.filePath("site.ini"));
    if (!siteFile.open(QIODevice::WriteOnly) || siteFile.write(site.toUtf8()) < 0)
        return 2;
    siteFile.close();
    QProcess logger;
    logger.setStandardErrorFile(dir.filePath("stderr.txt"));
    logger.start(KELVANE_LOG_PATH, {"--banks", KELVANE_BANKS_PATH, "--site", siteFile.fileName(), "--interval",
                                    QString::number(Interval)});
    if (!logger.waitForStarted())
        return 2;
    std::vector<std::vector<Clock::time_point>> seen(Meters + 1);
    for (const auto end = Clock::now() + std::chrono::seconds(run); Clock::now() < end;) {
        for (int m = 1; m <= Meters; ++m)
            while (qsizetype(seen[m].size()) < Records(dir.filePath(QString("m%1.csv").arg(m))))
                seen[m].push_back(Clock::now());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    logger.terminate();
    logger.waitForFinished();

    bool met = true;
    std::printf("ten meters at 19200 baud every %.0f s, units 9 and 10 dead, %d s:\n", Interval, run);
    for (int m = 1; m <= Meters; ++m) {
        const auto& times = seen[m];
        if (times.size() < 3) {
            std::printf("  M%d: %zu records: FAIL\n", m, times.size());
            met = false;
            continue;
        }
        double longest = 0;
        for (std::size_t i = 2; i < times.size(); ++i)
            longest = std::max(longest, Seconds(times[i] - times[i - 1]));
        const double mean = Seconds(times.back() - times.front()) / double(times.size() - 1);
        // A dead meter is read after the others: its file may lag them by a record.
        const bool ok = m > LiveMeters ? times.size() + 1 >= seen[1].size() : longest <= Interval * (1 + Tolerance);
        if (m > LiveMeters)
            std::printf("  M%d (dead): %zu records, one at every interval: %s\n", m, times.size(), ok ? "PASS" : "FAIL");
        else
            std::printf("  M%d: %zu records, mean interval %.3f s, longest gap after the first %.3f s; limit %.2f s: %s\n",
                        m, times.size(), mean, longest, Interval * (1 + Tolerance), ok ? "PASS" : "FAIL");
        met = met && ok;
    }
    return met ? 0 : 1;
}
