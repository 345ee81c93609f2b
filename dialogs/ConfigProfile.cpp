#include "ConfigProfile.h"

#include "RegisterMap.h"

#include "IniFile.h"

#include <QFileInfo>

namespace {

const char* const ProfileSection = "Profile";
const char* const RegistersSection = "Registers";
const char* const MeaningsSection = "Meanings";

} // namespace

namespace ConfigProfile {

bool IsProfileRegister(int reg)
{
    return RegisterMap::Editable(reg);
}

bool Save(const QString& fileName, const TConfigProfile& profile, QString& error)
{
    TIniFile ini(fileName);
    for (const QString& section : ini.Sections())
        ini.EraseSection(section);
    ini.WriteString(ProfileSection, "Serial Number", profile.SerialNumber);
    ini.WriteInteger(ProfileSection, "Address", profile.Address);
    ini.WriteString(ProfileSection, "Software Version", profile.SoftwareVersion);
    ini.WriteString(ProfileSection, "Date", profile.Date);
    for (const auto& [reg, value] : profile.Values)
        ini.WriteInteger(RegistersSection, QString::number(reg), value & 0xFFFF);
    for (const auto& [reg, meaning] : profile.Meanings)
        ini.WriteString(MeaningsSection, QString::number(reg), meaning);
    return ini.UpdateFile(&error);
}

// Every register of the file must be one a profile carries, with a value a
// 16-bit register holds: a file that says anything else is not loaded at
// all rather than loaded in part.
bool Load(const QString& fileName, TConfigProfile& profile, QString& error)
{
    if (!QFileInfo(fileName).isFile()) {
        error = QString("There is no file %1.").arg(fileName);
        return false;
    }
    const TIniFile ini(fileName);
    const QStringList keys = ini.Keys(RegistersSection);
    if (!ini.SectionExists(ProfileSection) || keys.isEmpty()) {
        error = QString("%1 is not a configuration profile: it has no [%2] section with register values.")
                    .arg(fileName, RegistersSection);
        return false;
    }
    TConfigProfile loaded;
    for (const QString& key : keys) {
        bool isNumber = false;
        const int reg = key.trimmed().toInt(&isNumber);
        const QString text = ini.ReadString(RegistersSection, key, QString());
        int value = 0;
        if (!isNumber || !IsProfileRegister(reg)) {
            error = QString("%1 holds a value for \"%2\", which is not a register a profile sets.").arg(fileName, key);
            return false;
        }
        if (!TIniFile::ParseInteger(text.trimmed(), value) || value < 0 || value > 0xFFFF) {
            error = QString("%1 holds \"%2\" for register %3, not a number from 0 to 65535.")
                        .arg(fileName, text)
                        .arg(reg);
            return false;
        }
        loaded.Values[reg] = value;
    }
    loaded.SerialNumber = ini.ReadString(ProfileSection, "Serial Number", QString());
    loaded.Address = ini.ReadInteger(ProfileSection, "Address", 0);
    loaded.SoftwareVersion = ini.ReadString(ProfileSection, "Software Version", QString()).trimmed();
    loaded.Date = ini.ReadString(ProfileSection, "Date", QString());
    profile = loaded;
    return true;
}

} // namespace ConfigProfile
