#pragma once

#include "LogFile.h"

#include <QString>

class TIniFile;

// The logging dialog's keys in section "Logging" of the settings file: the
// log file, the interval and the quantities to log. The main window's
// "Enabled" key lives beside them but belongs to the "Logging" menu.
struct TLogSettings {
    QString FileName;
    int Frequency = LogFile::DefaultFrequency;
    TLogSelection Selection{};
};

namespace LogSettings {

// "Filename" (default "log.csv" in applicationDirectory), "Frequency" (60
// unless a whole number of seconds from 5 to 3600) and "Param0" to "Param59".
TLogSettings Read(const TIniFile& ini, const QString& applicationDirectory);
// Stores the same keys; the file is written by the caller.
void Write(TIniFile& ini, const TLogSettings& settings);

} // namespace LogSettings
