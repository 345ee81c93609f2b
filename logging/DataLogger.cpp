#include "DataLogger.h"

#include "IniFile.h"
#include "KelvaneCOM.h"
#include "LoggingUnit.h"
#include "MessageBoxes.h"

#include <QAction>
#include <QDate>
#include <QLocale>

#include <cmath>
#include <utility>

namespace {

const QString Section = "Logging";
constexpr int MillisecondsPerSecond = 1000;

// The "Log" button logs these integer registers, scaled, as entries 19 to 27.
constexpr int FirstScaledEntry = 19;
constexpr std::array ScaledRegisters{19, 20, 21, 22, 23, 24, 25, 32, 33};

// numerator / denominator of a ratio register pair; a meter whose secondary
// reads 0 has no ratio configured, and 1 keeps the value unscaled rather
// than logging an infinity.
double Ratio(const TKelvane& meter, int numeratorRegister, int denominatorRegister)
{
    const int32_t denominator = meter.GetRegister(denominatorRegister);
    return denominator == 0 ? 1.0 : double(meter.GetRegister(numeratorRegister)) / denominator;
}

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

TLogValues TDataLogger::LogValues(const TKelvane& meter, bool scaledPhasePowers)
{
    const uint8_t wordOrder = meter.WordOrder();
    TLogValues values{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int first = LogFloatBlockStart + 2 * int(i);
        values[i] = meter.GetRegisterFloat(first, first + 1, wordOrder);
    }
    if (scaledPhasePowers) {
        const double scale = Ratio(meter, 128, 129) * Ratio(meter, 130, 131);
        for (std::size_t k = 0; k < ScaledRegisters.size(); ++k)
            values[FirstScaledEntry + k] = meter.GetRegister(ScaledRegisters[k]) * scale / 10;
    }
    return values;
}

void TDataLogger::DoLogging(QObject* sender)
{
    const TKelvane* meter = meter_();
    if (!meter) {
        addMessage_("No meter link: no log record written");
        return;
    }
    const bool logButton = sender && sender->objectName() == "bLogData";
    if (!dialog_.WriteToLog(LogValues(*meter, logButton)) && !warningOpen_) {
        // The box runs a modal loop in which further ticks may arrive; they
        // try again but show no box of their own.
        warningOpen_ = true;
        ShowMessageBox(mainWindow_, QMessageBox::Warning, "Kelvane Logging",
                       "Error opening output log file.  Will try again at next logging interval.");
        warningOpen_ = false;
    }
    const QLocale locale = QLocale::system();
    addMessage_(QString("Write To Log File %1 at %2")
                    .arg(dialog_.FileName(), locale.toString(QDate::currentDate(), LogFile::DateFormat(locale))));
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
    // Cleared first: the record may show a box whose modal loop runs the
    // next poll, which must not write the early record a second time.
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
