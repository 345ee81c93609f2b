#include "LogRun.h"

#include "LogValues.h"
#include "LoggerMessages.h"
#include "QuantityTable.h"
#include "StateReports.h"

#include <QDateTime>
#include <QLocale>

#include <cstdio>


namespace {

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

} // namespace

int ReadOnce(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals)
{
    const TMeterPoller::TPass pass = poller.ReadAll([&stopSignals] { return stopSignals.StopRequested(); }, &stopSignals.AbortFlag());
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

bool LogFileUsable(const QString& fileName)
{
    const QString kind = LogFile::SpecialFileKind(fileName);
    if (kind.isEmpty())
        return true;
    LoggerMessage(QString("the log file \"%1\" is %2, not a regular file; give the path of a regular file, "
                          "or of one to create")
                      .arg(fileName, kind));
    return false;
}

int RunLogging(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals)
{
    LoggerMessage(QString("logging the meter at %1 every %2 s into %3")
                      .arg(poller.Describe())
                      .arg(double(options.Interval.count()) / 1000)
                      .arg(options.FileName));
    TStateReport meter;
    TFileReport file(options.FileName);
    const QLocale locale = QLocale::system();
    const QString header = LogFile::HeaderLine(options.Selection, locale);
    auto next = TStopSignals::Clock::now();
    while (!stopSignals.StopRequested()) {
        const TMeterPoller::TPass pass = poller.ReadAll([&stopSignals] { return stopSignals.StopRequested(); }, &stopSignals.AbortFlag());
        if (pass.Interrupted)
            break;
        const QString where = poller.Describe();
        meter.Note(pass.Complete,
                   QString("no answer from the meter at %1: %2; its values stay empty").arg(where, pass.Failure),
                   QString("the meter at %1 answers again").arg(where));
        // One reading of the clock for the record and for the report of its
        // loss, so that a record near midnight never pairs one day's date
        // with the next day's time.
        const QDateTime now = QDateTime::currentDateTime();
        file.Note(LogFile::AppendRecordTo(
                      options.FileName, header,
                      LogFile::RecordLine(LogValues(poller.Meter(), false), options.Selection, now, locale)),
                  now);
        next = NextRecordTime(next, options.Interval);
        stopSignals.WaitUntil(next);
    }
    file.NoteEnd();
    poller.SayLinkStateCounts();
    LoggerMessage("stopped");
    return 0;
}
