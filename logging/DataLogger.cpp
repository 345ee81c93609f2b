#include "DataLogger.h"

#include "IniFile.h"
#include "KelvaneCOM.h"
#include "LogValues.h"
#include "LoggingUnit.h"

#include <QAction>
#include <QDate>
#include <QLocale>

#include <utility>

namespace {

const QString Section = "Logging";
constexpr int MillisecondsPerSecond = 1000;
const QString WriteError = "Error opening output log file.  Will try again at next logging interval.";
const QString NothingRead = "No log record written: no pass read the meter in the last logging interval.";

} // namespace

TDataLogger::TDataLogger(TLogging& dialog, QAction& loggingEnabled, TMessageSink addMessage)
    : dialog_(dialog), LoggingEnabled(loggingEnabled), addMessage_(std::move(addMessage))
{
    LoggingEnabled.setCheckable(true);
    // A click toggles the mark itself; LoggingChange then applies it.
    connect(&LoggingEnabled, &QAction::triggered, this, &TDataLogger::LoggingChange);
    connect(&logTimer_, &QTimer::timeout, this, &TDataLogger::LoggingTimer);
    // The dialog's OK or Escape may have named another file.
    connect(&dialog_, &QDialog::finished, this, &TDataLogger::PublishState);
    logTimer_.setInterval(LogFile::DefaultFrequency * MillisecondsPerSecond);
    LoggingChange();
}

void TDataLogger::LoggingEnabledClick()
{
    LoggingEnabled.trigger();
}

void TDataLogger::LoggingChange()
{
    const bool on = LoggingEnabled.isChecked();
    LoggingEnabled.setText(on ? "Enabled" : "Enable");
    // Starting a running timer would restart its interval; leave it running.
    if (on && !logTimer_.isActive())
        logTimer_.start();
    else if (!on) {
        logTimer_.stop();
        recordDue_ = false;
        nothingReadSaid_ = false;
    }
    PublishState();
}

void TDataLogger::SetLogTimer(int seconds)
{
    if (!LogFile::IsValidFrequency(seconds))
        seconds = LogFile::DefaultFrequency;
    logTimer_.setInterval(seconds * MillisecondsPerSecond);
    addMessage_(QString("Timer set to %1").arg(logTimer_.interval()));
}

void TDataLogger::LoggingTimer()
{
    if (!LoggingEnabled.isChecked())
        return;
    if (recordDue_ && !nothingReadSaid_) {
        nothingReadSaid_ = true;
        addMessage_(NothingRead);
    }
    recordDue_ = true;
}

void TDataLogger::DoLogging(QObject* sender)
{
    if (!lastPass_) {
        addMessage_("No pass has read a meter yet: no log record written");
        return;
    }
    const bool logButton = sender && sender->objectName() == "bLogData";
    WriteRecord(*lastPass_, logButton ? lastPass_->ScaledValues : lastPass_->Values);
}

void TDataLogger::PassCompleted(const TMeterKey& meter, const TKelvane& link)
{
    lastPass_ = TPassRecord{meter, QDateTime::currentDateTime(), LogValues(link, false), LogValues(link, true)};
    // Cleared first, so that the record is written once whatever runs while
    // it is written.
    const bool due = recordDue_ || firstLogPending_;
    recordDue_ = false;
    firstLogPending_ = false;
    nothingReadSaid_ = false;
    if (due && LoggingEnabled.isChecked())
        WriteRecord(*lastPass_, lastPass_->Values);
    else
        PublishState();
}

void TDataLogger::WriteRecord(const TPassRecord& pass, const TLogValues& values)
{
    const QString file = dialog_.FileOf(pass.Meter);
    const LogFile::TAppendResult result = dialog_.WriteToLog(pass.Meter, values, pass.Time);
    if (result.Written)
        NoteWritten(file);
    else
        NoteFailed(file, result);
    PublishState();
}

void TDataLogger::NoteWritten(const QString& file)
{
    TFileTally& tally = tallies_[file];
    ++tally.Records;
    if (tally.Failing) {
        tally.Failing = false;
        tally.Failure.clear();
        addMessage_(QString("Logging to %1 works again.").arg(file));
    }
    const QLocale locale = QLocale::system();
    addMessage_(QString("Write To Log File %1 at %2")
                    .arg(file, locale.toString(QDate::currentDate(), LogFile::DateFormat(locale))));
}

// Only the first failure is reported: the records that follow try again
// without a word, and the state carries the reason of the latest one.
void TDataLogger::NoteFailed(const QString& file, const LogFile::TAppendResult& result)
{
    TFileTally& tally = tallies_[file];
    tally.Failure = LogFile::FailureReason(result);
    if (tally.Failing)
        return;
    tally.Failing = true;
    addMessage_(QString("%1\nFile: %2\nReason: %3").arg(WriteError, file, tally.Failure));
}

TLogState TDataLogger::State() const
{
    const QString file = lastPass_ ? dialog_.FileOf(lastPass_->Meter) : QString();
    const TFileTally tally = tallies_.value(file);
    return {LoggingEnabled.isChecked(), file, tally.Records, tally.Failure};
}

void TDataLogger::PublishState()
{
    const TLogState state = State();
    if (state == published_)
        return;
    published_ = state;
    emit StateChanged(state);
}

void TDataLogger::OnMyMessage()
{
    SetLogTimer(dialog_.FrequencySeconds());
}

void TDataLogger::Configure1Click()
{
    dialog_.SetMessageTarget([this] { OnMyMessage(); });
    dialog_.show();
    dialog_.raise();
    dialog_.activateWindow();
}

void TDataLogger::LoadSettings(const TIniFile& ini)
{
    LoggingEnabled.setChecked(ini.ReadBool(Section, "Enabled", false));
    LoggingChange();
    SetLogTimer(ini.ReadInteger(Section, "Frequency", LogFile::DefaultFrequency));
}

void TDataLogger::StoreSettings(TIniFile& ini) const
{
    ini.WriteBool(Section, "Enabled", LoggingEnabled.isChecked());
}
