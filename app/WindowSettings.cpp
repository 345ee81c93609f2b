#include "WindowSettings.h"

#include "AppPaths.h"
#include "CmdLine.h"
#include "IniFile.h"
#include "ScreenPlacement.h"
#include "frmComSelect.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace {

// The polling interval in ms. Below the minimum the meter would be polled
// flat out; above the maximum the window would seem dead.
constexpr int DefaultPollingInterval = 1000;
constexpr int MinPollingInterval = 50;
constexpr int MaxPollingInterval = 3600000;

int SwitchInteger(const QString& key, const QStringList& arguments, int defaultValue)
{
    bool ok = false;
    const int value = CmdLineValue(key, arguments).toInt(&ok);
    return ok ? value : defaultValue;
}

// A Windows-style COMn name is upper-cased as it always was; Linux device
// paths are case-sensitive and stay as typed.
QString PortName(const QString& typed)
{
    static const QRegularExpression comName("^com[0-9]+$", QRegularExpression::CaseInsensitiveOption);
    return comName.match(typed).hasMatch() ? typed.toUpper() : typed;
}

// A speed the list does not offer is its first, 9600.
int BaudIndexOf(const QString& typed)
{
    const auto offered = std::find_if(SettingsBaudRates.begin(), SettingsBaudRates.end(), [&](TBaudRate rate) {
        return typed == QString::number(BaudRateValue(rate, 0));
    });
    return offered == SettingsBaudRates.end() ? 0 : int(offered - SettingsBaudRates.begin());
}

// The tries per bank of a run whose settings file has no "Tries" key: one
// under /POLLING, else the link's default.
int TriesWithoutKey(const QStringList& arguments)
{
    return CmdLineSwitch("/POLLING", arguments) ? 1 : TLinkSettings{}.Tries;
}

} // namespace

namespace WindowSettings {

void ApplyLink(TComSelect& com, const TIniFile& ini, const QStringList& arguments)
{
    if (CmdLineSwitch("/PORT", arguments)) {
        com.SetPortText(PortName(CmdLineValue("/PORT", arguments)));
    } else {
        QString port = ini.ReadString("Form", "COM", "COM1");
        com.SetPortText(port.isEmpty() ? "COM1" : port);
        com.SetIpText(ini.ReadString("Form", "IP Address", "0.0.0.0").remove(' '));
    }
    if (CmdLineSwitch("/IP", arguments))
        com.SetIpText(CmdLineValue("/IP", arguments).remove(' '));
    com.SetTcpPort(ini.ReadInteger("Form", "TCP Port", TComSelect::DefaultTcpPort));
    if (CmdLineSwitch("/TCPPORT", arguments))
        com.SetTcpPort(SwitchInteger("/TCPPORT", arguments, TComSelect::DefaultTcpPort));
    com.SetBaudIndex(CmdLineSwitch("/BAUD", arguments) ? BaudIndexOf(CmdLineValue("/BAUD", arguments))
                                                        : ini.ReadInteger("Form", "Baud", 0));
    // A /MODE value that names no kind of link means RTU, as it always has.
    if (CmdLineSwitch("/MODE", arguments))
        com.SetKind(LinkKindSetting::FromName(CmdLineValue("/MODE", arguments)).value_or(TLinkKind::Serial));
    else
        com.SetKind(LinkKindSetting::Read(ini));
    com.cbRTUClick();
    // Under /POLLING a bank is tried once unless the technician chose the
    // tries (see StoreLink); the speed boxes the file names no value for
    // take the defaults of the link's kind.
    TLinkSettings defaults = TLinkSettings::Defaults(com.Kind());
    defaults.Tries = TriesWithoutKey(arguments);
    com.SetLink(TLinkSettings::Read(ini, defaults));
}

void StoreLink(const TComSelect& com, TIniFile& ini, const QStringList& arguments)
{
    ini.WriteString("Form", "COM", com.PortText());
    ini.WriteString("Form", "IP Address", com.IpText());
    ini.WriteInteger("Form", "TCP Port", com.TcpPort());
    LinkKindSetting::Write(ini, com.Kind());
    ini.WriteInteger("Form", "Baud", com.BaudIndex());
    // A "Tries" key is the technician's choice in the "Port" dialog, which
    // alone makes the tries differ from those of a run without the key. A
    // run's own tries stay out of the file: the three of a plain start would
    // later pass for a choice and win over the one try of /POLLING, and the
    // one of /POLLING over the three of a plain start.
    com.Link().Write(ini, com.Kind(),
                     ini.ValueExists("Form", "Tries") || com.Link().Tries != TriesWithoutKey(arguments));
}

int PollingInterval(const QStringList& arguments, QStringList& warnings)
{
    if (!CmdLineSwitch("/POLLING", arguments))
        return DefaultPollingInterval;
    const QString text = CmdLineValue("/POLLING", arguments).trimmed();
    bool ok = false;
    const int interval = text.toInt(&ok);
    if (ok && interval >= MinPollingInterval && interval <= MaxPollingInterval)
        return interval;
    if (!text.isEmpty())
        warnings << QString("The polling interval /POLLING=%1 is not a whole number of milliseconds from %2 to "
                            "%3 ms; the meter is polled every %4 ms instead.")
                        .arg(text)
                        .arg(MinPollingInterval)
                        .arg(MaxPollingInterval)
                        .arg(DefaultPollingInterval);
    return DefaultPollingInterval;
}

void Place(QWidget& window, const QStringList& arguments)
{
    const QRect screen = window.screen() ? window.screen()->availableGeometry() : QRect(0, 0, 1920, 1080);
    const QSize outer = window.frameGeometry().size();
    bool ok = false;
    int top = CmdLineValue("/TOP", arguments).toInt(&ok);
    if (!ok || top < 0)
        top = screen.top() + (screen.height() - outer.height()) / 2;
    int left = CmdLineValue("/LEFT", arguments).toInt(&ok);
    if (!ok || left < 0)
        left = screen.left() + (screen.width() - outer.width()) / 2;
    window.move(left, top);
    FitToScreen(window);
}

QStringList MissingFiles(const TAppPaths& paths, const QString& pageName, const QString& banksFile)
{
    QStringList folders;
    for (const QString& directory : paths.DefaultsDirectories)
        folders << QDir::toNativeSeparators(QDir(directory).absolutePath());
    const QString where = folders.join(" nor ");
    QStringList lines;
    const QString page = pageName + ".ini";
    if (!QFileInfo::exists(paths.DefaultsFile(page)))
        lines << QString("The page file %1 is not in %2: the window shows no measurements.").arg(page, where);
    if (!QFileInfo::exists(paths.DefaultsFile(banksFile)))
        lines << QString("The register bank file %1 is not in %2: the meter is not read.").arg(banksFile, where);
    if (!lines.isEmpty())
        lines << "The default files are in the data folder of the sources; a build copies them beside the "
                 "executable, and the package installs them in share/kelvane.";
    return lines;
}

} // namespace WindowSettings
