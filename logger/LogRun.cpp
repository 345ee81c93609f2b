#include "LogRun.h"

#include "LogValues.h"
#include "LoggerMessages.h"
#include "QuantityTable.h"

#include <QDateTime>
#include <QLocale>

#include <cstdio>
#include <optional>

namespace {

// Says once when a state turns bad and once when it is good again, so that a
// meter silent for a day fills no journal.
class TStateReport {
public:
    void Note(bool good, const QString& whenBad, const QString& whenGoodAgain)
    {
        if (!good && good_ != false)
            LoggerMessage(whenBad);
        else if (good && good_ == false)
            LoggerMessage(whenGoodAgain);
        good_ = good;
    }

private:
    std::optional<bool> good_;
};

// The next time on the grid of intervals from the first record that is still
// ahead: a pass longer than the interval skips the records it overran.
TStopSignals::Clock::time_point NextRecordTime(TStopSignals::Clock::time_point previous,
                                               std::chrono::milliseconds interval)
{
    const auto now = TStopSignals::Clock::now();
    auto next = previous + interval;
    if (next <= now)
        next += interval * ((now - next) / interval + 1);
    return next;
}

void PrintToStdout(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

int ReadOnce(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals)
{
    const TMeterPoller::TPass pass = poller.ReadAll([&stopSignals] { return stopSignals.StopRequested(); });
    if (pass.Interrupted)
        return 1;
    if (!pass.Complete)
        LoggerMessage(QString("no answer from the meter at %1: %2").arg(poller.Describe(), pass.Failure));
    const TLogValues values = LogValues(poller.Meter(), false);
    const QLocale locale = QLocale::system();
    PrintToStdout(options.Csv ? LogFile::HeaderLine(options.Selection, locale) +
                                    LogFile::RecordLine(values, options.Selection, QDateTime::currentDateTime(), locale)
                              : QuantityTable(values, options.Selection, locale));
    return pass.Complete ? 0 : 1;
}

int RunLogging(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals)
{
    LoggerMessage(QString("logging the meter at %1 every %2 s into %3")
                      .arg(poller.Describe())
                      .arg(double(options.Interval.count()) / 1000)
                      .arg(options.FileName));
    TStateReport meter;
    TStateReport file;
    const QLocale locale = QLocale::system();
    auto next = TStopSignals::Clock::now();
    while (!stopSignals.StopRequested()) {
        const TMeterPoller::TPass pass = poller.ReadAll([&stopSignals] { return stopSignals.StopRequested(); });
        if (pass.Interrupted)
            break;
        const QString where = poller.Describe();
        meter.Note(pass.Complete,
                   QString("no answer from the meter at %1: %2; its values stay empty").arg(where, pass.Failure),
                   QString("the meter at %1 answers again").arg(where));
        const bool written = LogFile::WriteRecord(options.FileName, LogValues(poller.Meter(), false),
                                                  options.Selection, locale);
        file.Note(written,
                  QString("cannot write the log file %1; trying again at the next record").arg(options.FileName),
                  QString("writing the log file %1 again").arg(options.FileName));
        next = NextRecordTime(next, options.Interval);
        stopSignals.WaitUntil(next);
    }
    LoggerMessage("stopped");
    return 0;
}
