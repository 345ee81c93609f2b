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

// "cannot write" once when the log file stops taking records, with the
// system's reason, and once when it takes them again, with the number of
// records lost and the times of the first and the last of them.
class TFileReport {
public:
    explicit TFileReport(const QString& fileName) : fileName_(fileName) {}

    void Note(const LogFile::TAppendResult& result, const QDateTime& recordTime)
    {
        if (result.Written) {
            if (lost_ > 0)
                LoggerMessage(QString("writing the log file \"%1\" again; %2").arg(fileName_, LostText()));
            lost_ = 0;
            return;
        }
        if (lost_ == 0) {
            firstLost_ = recordTime;
            LoggerMessage(QString("cannot write the log file \"%1\": %2; trying again at each record")
                              .arg(fileName_, LogFile::FailureReason(result)));
        }
        lastLost_ = recordTime;
        ++lost_;
    }

    // At the end of the run: the records lost since the file last took one.
    void NoteEnd() const
    {
        if (lost_ > 0)
            LoggerMessage(QString("the log file \"%1\" still cannot be written; %2").arg(fileName_, LostText()));
    }

private:
    QString LostText() const
    {
        if (lost_ == 1)
            return QString("1 record lost, at %1").arg(MessageTime(firstLost_));
        return QString("%1 records lost, from %2 to %3")
            .arg(lost_)
            .arg(MessageTime(firstLost_), MessageTime(lastLost_));
    }

    QString fileName_;
    qint64 lost_ = 0;
    QDateTime firstLost_;
    QDateTime lastLost_;
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

bool LogFileUsable(const TLoggerOptions& options)
{
    const QString kind = LogFile::SpecialFileKind(options.FileName);
    if (kind.isEmpty())
        return true;
    LoggerMessage(QString("the log file \"%1\" is %2, not a regular file; give the path of a regular file, "
                          "or of one to create")
                      .arg(options.FileName, kind));
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
    LoggerMessage("stopped");
    return 0;
}
