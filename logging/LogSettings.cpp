#include "LogSettings.h"

#include "IniFile.h"

#include <QDir>

namespace {

const QString Section = "Logging";

QString ParamKey(std::size_t index)
{
    return "Param" + QString::number(index);
}

} // namespace

namespace LogSettings {

TLogSettings Read(const TIniFile& ini, const QString& applicationDirectory)
{
    TLogSettings settings;
    settings.FileName = ini.ReadString(Section, "Filename", QDir(applicationDirectory).filePath("log.csv"));
    settings.Frequency = LogFile::FrequencyFromText(ini.ReadString(Section, "Frequency", QString()));
    for (std::size_t i = 0; i < LogParameterCount; ++i)
        settings.Selection[i] = ini.ReadBool(Section, ParamKey(i), false);
    return settings;
}

void Write(TIniFile& ini, const TLogSettings& settings)
{
    ini.WriteString(Section, "Filename", settings.FileName);
    ini.WriteInteger(Section, "Frequency", settings.Frequency);
    for (std::size_t i = 0; i < LogParameterCount; ++i)
        ini.WriteBool(Section, ParamKey(i), settings.Selection[i]);
}

} // namespace LogSettings
