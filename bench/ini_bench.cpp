// Reading INI files with TIniFile, beside two peers reading the same file in
// the same run:
//  - a plain line split: QFile, UTF-8 decoding, one split at "=" per line
//    and no index at all, the least any reader must do;
//  - QSettings in INI format.
// Each reader also looks up one key of every section by name, as the page
// builder does. Files of 1/8 and the whole of the target size show whether
// the time grows in proportion to the size. The figures are the process's
// CPU time, which a busy machine disturbs far less than the wall time; the
// wall time of TIniFile is printed beside them.
//
//   ini_bench [megabytes]     (default 10)

#include "IniFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <tuple>
#include <vector>

namespace {

double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Time {
    double cpu;  // ms
    double wall; // ms
};

// The medians of five runs.
Time Milliseconds(const std::function<void()>& run)
{
    std::vector<double> cpu, wall;
    for (int i = 0; i < 5; ++i) {
        const double c0 = CpuSeconds();
        const double w0 = WallSeconds();
        run();
        cpu.push_back((CpuSeconds() - c0) * 1000);
        wall.push_back((WallSeconds() - w0) * 1000);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    return {cpu[2], wall[2]};
}

// A page file of about `bytes` bytes: sections of eight keys each, as the
// page builder reads them.
int WritePageFile(const QString& path, qint64 bytes)
{
    QByteArray content = "[~~INFO~~]\nName=Large\n";
    int sections = 0;
    while (content.size() < bytes) {
        const QByteArray n = QByteArray::number(sections++);
        content += "[Field " + n + "]\nName=F" + n + "\nTop=" + n + "\nLeft=8\nSize=85\nOffset=75\n"
                   "Formula=X0300 * " + n + " / 1000\nDecimals=3\nFormat=%.3f kW\n\n";
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return -1;
    return sections;
}

int LookUpWithIniFile(const QString& path)
{
    const TIniFile ini(path);
    int found = 0;
    for (const QString& section : ini.Sections())
        found += ini.ValueExists(section, "formula");
    return found;
}

int LookUpWithQSettings(const QString& path)
{
    QSettings settings(path, QSettings::IniFormat);
    int found = 0;
    for (const QString& group : settings.childGroups())
        found += settings.contains(group + "/Formula");
    return found;
}

int SplitLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QString text = QString::fromUtf8(file.readAll());
    int pairs = 0;
    for (QStringView line : QStringView(text).split(u'\n'))
        pairs += line.trimmed().indexOf(u'=') > 0;
    return pairs;
}

struct Figures {
    Time iniFile;
    Time lineSplit;
    Time qsettings;
};

Figures Measure(const QString& path, int sections)
{
    Figures f{};
    int found = 0;
    f.iniFile = Milliseconds([&] { found = LookUpWithIniFile(path); });
    if (found != sections)
        std::fprintf(stderr, "TIniFile found %d of %d sections\n", found, sections);
    f.lineSplit = Milliseconds([&] { SplitLines(path); });
    f.qsettings = Milliseconds([&] { found = LookUpWithQSettings(path); });
    if (found != sections)
        std::fprintf(stderr, "QSettings found %d of %d sections\n", found, sections);
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 10;
    QTemporaryDir dir;
    const QString small = dir.filePath("small.ini");
    const QString large = dir.filePath("large.ini");
    const qint64 bytes = static_cast<qint64>(megabytes * 1024 * 1024);
    const int smallSections = WritePageFile(small, bytes / 8);
    const int largeSections = WritePageFile(large, bytes);
    if (smallSections < 0 || largeSections < 0) {
        std::fprintf(stderr, "could not write the files in %s\n", qPrintable(dir.path()));
        return 1;
    }

    const Figures s = Measure(small, smallSections);
    const Figures l = Measure(large, largeSections);
    std::printf("Reading a page file and looking up one key per section, CPU ms, median of 5 runs\n");
    std::printf("  %-26s %10s %10s %10s %16s\n", "", "TIniFile", "line split", "QSettings", "TIniFile wall");
    for (const auto& [mb, sections, f] : {std::tuple{megabytes / 8, smallSections, s}, std::tuple{megabytes, largeSections, l}})
        std::printf("  %-26s %10.1f %10.1f %10.1f %16.1f\n",
                    qPrintable(QString("%1 MB, %2 sections").arg(mb).arg(sections)), f.iniFile.cpu,
                    f.lineSplit.cpu, f.qsettings.cpu, f.iniFile.wall);
    std::printf("  TIniFile / line split      %10.2f\n", l.iniFile.cpu / l.lineSplit.cpu);
    std::printf("  TIniFile / QSettings       %10.2f\n", l.iniFile.cpu / l.qsettings.cpu);
    std::printf("  growth for 8 x the size    %10.2f  (line split %.2f, QSettings %.2f; 8 is linear)\n",
                l.iniFile.cpu / s.iniFile.cpu, l.lineSplit.cpu / s.lineSplit.cpu, l.qsettings.cpu / s.qsettings.cpu);
    // 10 MB in well under a second: under 100 ms per MB.
    const double goal = 100 * megabytes;
    std::printf("  goal: %g MB in under %.0f ms CPU  %s\n", megabytes, goal, l.iniFile.cpu < goal ? "met" : "NOT MET");
    return 0;
}
