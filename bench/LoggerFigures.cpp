#include "LoggerFigures.h"

#include "LoopbackSockets.h"

#include <QFile>

#include <cstdio>
#include <stdexcept>
#include <thread>

void Check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error("benchmark step failed: " + what);
}

const char* Verdict(bool met)
{
    return met ? "PASS" : "FAIL";
}

std::string UnitsUpTo(int count)
{
    std::string list = "1";
    for (int unit = 2; unit <= count; ++unit)
        list += "," + std::to_string(unit);
    return list;
}

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

void WriteFile(const QString& path, const QString& text)
{
    QFile file(path);
    Check(file.open(QIODevice::WriteOnly | QIODevice::Text) && file.write(text.toUtf8()) >= 0,
          "writing " + path.toStdString());
}

QString ReadAll(const QString& path)
{
    QFile file(path);
    Check(file.open(QIODevice::ReadOnly), "reading " + path.toStdString());
    return QString::fromUtf8(file.readAll());
}

int Records(const QString& path)
{
    QFile file(path);
    Check(file.open(QIODevice::ReadOnly), "reading " + path.toStdString());
    int lines = 0;
    while (!file.atEnd())
        lines += file.readLine().endsWith('\n') ? 1 : 0;
    return lines - 1;
}

namespace {

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

} // namespace

std::vector<rSample> Samples(const TLoggerProcess& logger, std::chrono::seconds run, std::chrono::seconds every,
                             const std::function<void(const rSample&)>& onSample)
{
    std::vector<rSample> samples;
    const TMonotonic first = MonotonicNow();
    for (TMonotonic next = first; next <= first + run; next += every) {
        std::this_thread::sleep_for(next - MonotonicNow());
        Check(logger.Running(), "kelvane-log runs to the end of the run");
        samples.push_back({Seconds(MonotonicNow() - first), CpuSeconds(logger.Pid()), ResidentMb(logger.Pid())});
        if (onSample)
            onSample(samples.back());
    }
    return samples;
}

bool PrintResources(const std::vector<rSample>& samples, const rResourceLimits& limits)
{
    const rSample& first = samples.front();
    const rSample& last = samples.back();
    const double cpu = (last.CpuSeconds - first.CpuSeconds) / (last.At - first.At) * 100;
    double peak = 0;
    for (const rSample& s : samples)
        peak = std::max(peak, s.ResidentMb);
    const double growth = ResidentSlope(samples) * 3600;
    const bool cpuMet = cpu < limits.CpuPercent, residentMet = peak < limits.ResidentMb,
               flat = growth < limits.GrowthMbPerHour;
    std::printf("  CPU: %.2f %% of one core over %.0f s, %.1f s in all (limit under %.0f %%): %s\n", cpu,
                last.At - first.At, last.CpuSeconds - first.CpuSeconds, limits.CpuPercent, Verdict(cpuMet));
    std::printf("  resident: %.1f MB at the start, %.1f MB at the end, %.1f MB at most (limit under %.0f MB): %s\n",
                first.ResidentMb, last.ResidentMb, peak, limits.ResidentMb, Verdict(residentMet));
    std::printf("  resident growth: %+.2f MB an hour, fitted over %zu samples of %.0f s, %+.0f kB from the first to"
                " the last (limit flat, under %.0f MB an hour): %s\n",
                growth, samples.size(), last.At - first.At, (last.ResidentMb - first.ResidentMb) * 1024,
                limits.GrowthMbPerHour, Verdict(flat));
    return cpuMet && residentMet && flat;
}
