#include "LinkSettings.h"

#include "IniFile.h"
#include "KelvaneCOM.h"

#include <algorithm>
#include <array>
#include <tuple>
#include <utility>

// The keys of section "Form" of the utility's settings file.
TLinkSettings TLinkSettings::Read(const TIniFile& ini, const TLinkSettings& defaults)
{
    TLinkSettings link;
    link.ReceiveTimeoutMs = std::clamp(ini.ReadInteger("Form", "Receive Timeout", defaults.ReceiveTimeoutMs),
                                       MinReceiveTimeoutMs, MaxReceiveTimeoutMs);
    link.Tries = std::clamp(ini.ReadInteger("Form", "Tries", defaults.Tries), MinTries, MaxTries);
    link.Echo = ini.ReadBool("Form", "Echo", defaults.Echo);
    link.EndAtLength = ini.ReadBool("Form", "End Serial Replies At Length", defaults.EndAtLength);
    link.KeepConnection = ini.ReadBool("Form", "Keep TCP Connection Open", defaults.KeepConnection);
    return link;
}

void TLinkSettings::Write(TIniFile& ini, TLinkKind kind, bool withTries) const
{
    ini.WriteInteger("Form", "Receive Timeout", ReceiveTimeoutMs);
    if (withTries)
        ini.WriteInteger("Form", "Tries", Tries);
    ini.WriteBool("Form", "Echo", Echo);
    const TLinkSettings defaults = Defaults(kind);
    for (const auto& [key, value, byDefault] :
         {std::tuple{"End Serial Replies At Length", EndAtLength, defaults.EndAtLength},
          std::tuple{"Keep TCP Connection Open", KeepConnection, defaults.KeepConnection}})
        if (kind != TLinkKind::RtuOverTcp || value != byDefault || ini.ValueExists("Form", key))
            ini.WriteBool("Form", key, value);
}

TLinkSettings TLinkSettings::Defaults(TLinkKind kind)
{
    const bool fast = kind == TLinkKind::RtuOverTcp;
    return {.EndAtLength = fast, .KeepConnection = fast};
}

// The link ignores what its kind has no use for.
void TLinkSettings::Apply(TKelvane& link) const
{
    link.SetRXTimeout(ReceiveTimeoutMs);
    link.SetEcho(Echo);
    link.SetEndAtLength(EndAtLength);
    link.SetKeepConnection(KeepConnection);
}

namespace LinkKindSetting {

namespace {

constexpr std::array<std::pair<TLinkKind, const char*>, 3> Names{{
    {TLinkKind::Serial, "RTU"},
    {TLinkKind::Tcp, "TCP"},
    {TLinkKind::RtuOverTcp, "RTUTCP"},
}};

} // namespace

std::optional<TLinkKind> FromName(const QString& name)
{
    for (const auto& [kind, text] : Names)
        if (name.trimmed().compare(text, Qt::CaseInsensitive) == 0)
            return kind;
    return std::nullopt;
}

QString Name(TLinkKind kind)
{
    return std::find_if(Names.begin(), Names.end(), [kind](const auto& entry) { return entry.first == kind; })
        ->second;
}

TLinkKind Read(const TIniFile& ini)
{
    const std::optional<TLinkKind> mode = FromName(ini.ReadString("Form", "Mode", ""));
    const bool tcp = ini.ReadBool("Form", "TCP", mode == TLinkKind::Tcp);
    if (mode && (*mode == TLinkKind::Tcp) == tcp)
        return *mode;
    return tcp ? TLinkKind::Tcp : TLinkKind::Serial;
}

void Write(TIniFile& ini, TLinkKind kind)
{
    ini.WriteString("Form", "Mode", Name(kind));
    ini.WriteBool("Form", "TCP", kind == TLinkKind::Tcp);
}

} // namespace LinkKindSetting
