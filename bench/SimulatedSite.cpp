#include "SimulatedSite.h"

#include "LoggerFigures.h"

#include <QDir>

#include <climits>
#include <cstdio>

TSimulatedSite::TSimulatedSite(const std::string& simulator, int links, int unitsPerLink, const QString& dir)
    : links_(links), units_(unitsPerLink), dir_(dir), site_(QDir(dir).filePath("tcp-site.ini"))
{
    QString text;
    for (int link = 1; link <= links_; ++link) {
        simulators_.push_back(std::make_unique<TSimProcess>(
            simulator, std::vector<std::string>{"--port", "0", "--units", UnitsUpTo(units_)}));
        for (int unit = 1; unit <= units_; ++unit)
            text += QString("[Link %1 meter %2]\nLink=tcp:127.0.0.1:%3\nAddress=%2\nFile=%4\n\n")
                        .arg(link)
                        .arg(unit)
                        .arg(simulators_.back()->TcpPort())
                        .arg(LogFile(link, unit));
    }
    WriteFile(site_, text);
}

QString TSimulatedSite::LogFile(int link, int unit) const
{
    return QDir(dir_).filePath(QString("link%1-meter%2.csv").arg(link).arg(unit));
}

std::pair<int, int> TSimulatedSite::RecordRange() const
{
    std::pair<int, int> range{INT_MAX, 0};
    for (int link = 1; link <= links_; ++link)
        for (int unit = 1; unit <= units_; ++unit) {
            const int n = Records(LogFile(link, unit));
            range = {std::min(range.first, n), std::max(range.second, n)};
        }
    return range;
}

long long TSimulatedSite::AllRecords() const
{
    long long all = 0;
    for (int link = 1; link <= links_; ++link)
        for (int unit = 1; unit <= units_; ++unit)
            all += Records(LogFile(link, unit));
    return all;
}

void TSimulatedSite::CheckEveryCycleRead(double logged, std::chrono::milliseconds interval,
                                         const QString& messages) const
{
    const auto [fewest, most] = RecordRange();
    const int cycles = static_cast<int>(logged * 1000 / double(interval.count())) + 1;
    const bool every = fewest >= cycles - 1;
    std::printf("  records: %d to %d in each of the %d meters' files for %.1f s of logging (at most %d cycles,"
                " at least %d wanted): %s; %lld \"no answer\" messages\n",
                fewest, most, Meters(), logged, cycles, cycles - 1, Verdict(every),
                static_cast<long long>(messages.count("no answer")));
    Check(every, "a record of every meter in every cycle");
    Check(!messages.contains("no answer"), "no meter silent: " + messages.left(2000).toStdString());
}
