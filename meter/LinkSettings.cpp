#include "LinkSettings.h"

#include "IniFile.h"

#include <algorithm>

// The keys of section "Form" of the utility's settings file.
TLinkSettings TLinkSettings::Read(const TIniFile& ini, const TLinkSettings& defaults)
{
    TLinkSettings link;
    link.ReceiveTimeoutMs = std::clamp(ini.ReadInteger("Form", "Receive Timeout", defaults.ReceiveTimeoutMs),
                                       MinReceiveTimeoutMs, MaxReceiveTimeoutMs);
    link.Tries = std::clamp(ini.ReadInteger("Form", "Tries", defaults.Tries), MinTries, MaxTries);
    link.Echo = ini.ReadBool("Form", "Echo", defaults.Echo);
    return link;
}

void TLinkSettings::Write(TIniFile& ini, bool withTries) const
{
    ini.WriteInteger("Form", "Receive Timeout", ReceiveTimeoutMs);
    if (withTries)
        ini.WriteInteger("Form", "Tries", Tries);
    ini.WriteBool("Form", "Echo", Echo);
}
