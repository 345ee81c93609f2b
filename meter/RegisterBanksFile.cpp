#include "RegisterBanksFile.h"

#include "IniFile.h"

#include <QStringList>

namespace RegisterBanksFile {

std::vector<TRegisterBankEntry> Read(const QString& fileName)
{
    const TIniFile ini(fileName);
    const QStringList sections = ini.Sections().mid(0, static_cast<qsizetype>(MaxBanks));
    std::vector<TRegisterBankEntry> banks;
    banks.reserve(static_cast<std::size_t>(sections.size()));
    for (const QString& s : sections) {
        TRegisterBankEntry bank;
        bank.Name = ini.ReadString(s, "Name", QString("Bank %1").arg(banks.size()));
        bank.Start = ini.ReadInteger(s, "Start", 0);
        bank.End = ini.ReadInteger(s, "End", 0);
        bank.Active = ini.ReadBool(s, "Active", true);
        banks.push_back(bank);
    }
    return banks;
}

} // namespace RegisterBanksFile
