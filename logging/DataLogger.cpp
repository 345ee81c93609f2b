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

} // namespace

TDataLogger::TDataLogger(TLogging& dialog, QAction& loggingEnabled, TMeterSource meter, TMessageSink addMessage)
    : dialog_(dialog), LoggingEnabled(loggingEnabled), meter_(std::move(meter)), addMessage_(std::move(addMessage))
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
    else if (!on)
        logTimer_.stop();
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
    if (LoggingEnabled.isChecked())
        DoLogging(&logTimer_);
}

void TDataLogger::DoLogging(QObject* sender)
{
    const TKelvane* meter = meter_();
    if (!meter) {
        addMessage_("No meter link: no log record written");
        return;
    }
    const bool logButton = sender && sender->objectName() == "bLogData";
    FollowFile(dialog_.FileName());
    const LogFile::TAppendResult result = dialog_.WriteToLog(LogValues(*meter, logButton));
    if (result.Written)
        NoteWritten();
    else
        NoteFailed(result);
    PublishState();
}

void TDataLogger::FollowFile(const QString& file)
{
    if (file == file_)
        return;
    file_ = file;
    records_ = 0;
    failing_ = false;
    failure_.clear();
}

void TDataLogger::NoteWritten()
{
    ++records_;
    if (failing_) {
        failing_ = false;
        failure_.clear();
        addMessage_(QString("Logging to %1 works again.").arg(file_));
    }
    const QLocale locale = QLocale::system();
    addMessage_(QString("Write To Log File %1 at %2")
                    .arg(file_, locale.toString(QDate::currentDate(), LogFile::DateFormat(locale))));
}

// Only the first failure is reported: the ticks that follow try again
// without a word, and the state carries the reason of the latest one.
void TDataLogger::NoteFailed(const LogFile::TAppendResult& result)
{
    failure_ = LogFile::FailureReason(result);
    if (failing_)
        return;
    failing_ = true;
    addMessage_(QString("%1\nFile: %2\nReason: %3").arg(WriteError, file_, failure_));
}

TLogState TDataLogger::State() const
{
    const QString file = dialog_.FileName();
    const bool counted = file == file_;
    return {LoggingEnabled.isChecked(), file, counted ? records_ : 0, counted ? failure_ : QString()};
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

void TDataLogger::PollCompleted()
{
    if (!firstLogPending_)
        return;
    // Cleared first, so that the early record is written once whatever
    // runs while it is written.
    firstLogPending_ = false;
    LoggingTimer();
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
