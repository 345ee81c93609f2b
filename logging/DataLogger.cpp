#include "DataLogger.h"

#include "IniFile.h"
#include "KelvaneCOM.h"
#include "LogValues.h"
#include "LoggingUnit.h"
#include "MessageBoxes.h"

#include <QAction>
#include <QDate>
#include <QLocale>

#include <utility>

namespace {

const QString Section = "Logging";
constexpr int MillisecondsPerSecond = 1000;

} // namespace

TDataLogger::TDataLogger(TLogging& dialog, QAction& loggingEnabled, TMeterSource meter, TMessageSink addMessage,
                         QWidget* mainWindow)
    : dialog_(dialog),
      LoggingEnabled(loggingEnabled),
      meter_(std::move(meter)),
      addMessage_(std::move(addMessage)),
      mainWindow_(mainWindow)
{
    LoggingEnabled.setCheckable(true);
    // A click toggles the mark itself; LoggingChange then applies it.
    connect(&LoggingEnabled, &QAction::triggered, this, &TDataLogger::LoggingChange);
    connect(&logTimer_, &QTimer::timeout, this, &TDataLogger::LoggingTimer);
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
    if (!dialog_.WriteToLog(LogValues(*meter, logButton)))
        WarnWriteFailed();
    const QLocale locale = QLocale::system();
    addMessage_(QString("Write To Log File %1 at %2")
                    .arg(dialog_.FileName(), locale.toString(QDate::currentDate(), LogFile::DateFormat(locale))));
}

// The box is shown once the tick that failed has returned. Shown inside the
// tick, its modal loop would hold the log timer (and the polling timer, whose
// tick writes the first record), since a timer never fires again while its
// own handler runs: no record would be tried until someone clicked OK. While
// the box is open the ticks go on and try again, and show no second box.
void TDataLogger::WarnWriteFailed()
{
    if (warningOpen_)
        return;
    warningOpen_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            ShowMessageBox(mainWindow_, QMessageBox::Warning, "Kelvane Logging",
                           "Error opening output log file.  Will try again at next logging interval.");
            warningOpen_ = false;
        },
        Qt::QueuedConnection);
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
