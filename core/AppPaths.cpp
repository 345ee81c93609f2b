#include "AppPaths.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The XDG base folder named by variable, or home/fallback when it is unset
// or not absolute (the XDG rule: a relative path is ignored).
QString XdgFolder(const char* variable, const QString& fallback)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(QDir::homePath() + "/" + fallback);
}

// An executable in bin/ of a prefix whose share/kelvane holds the defaults,
// or in a folder this user cannot write, is installed: its folder is no
// place for a user's settings (root could write /usr/bin, but must not).
bool Installed(const QString& executableDirectory, const QString& sharedDefaults)
{
    return QFileInfo(sharedDefaults).isDir() || !QFileInfo(executableDirectory).isWritable();
}

} // namespace

TAppPaths TAppPaths::InOneFolder(const QString& directory, const QString& settingsName)
{
    TAppPaths paths;
    paths.ConfigDirectory = directory;
    paths.DataDirectory = directory;
    paths.DefaultsDirectories = {directory};
    paths.SettingsFile = QDir(directory).filePath(settingsName);
    return paths;
}

QString TAppPaths::DefaultsFile(const QString& name) const
{
    for (const QString& directory : DefaultsDirectories) {
        const QString path = QDir(directory).filePath(name);
        if (QFileInfo::exists(path))
            return path;
    }
    return QDir(DefaultsDirectories.value(0, ConfigDirectory)).filePath(name);
}

TAppPaths AppPathsFor(const QString& executablePath)
{
    const QFileInfo executable(executablePath);
    const QString settingsName = executable.completeBaseName() + ".ini";
    const QString home = qEnvironmentVariable("KELVANE_HOME");
    if (!home.isEmpty())
        return TAppPaths::InOneFolder(QDir(home).absolutePath(), settingsName);

    const QString executableDirectory = executable.absolutePath();
    const QString sharedDefaults = QDir::cleanPath(executableDirectory + "/../share/kelvane");
    if (!Installed(executableDirectory, sharedDefaults))
        return TAppPaths::InOneFolder(executableDirectory, settingsName);

    TAppPaths paths;
    paths.ConfigDirectory = XdgFolder("XDG_CONFIG_HOME", ".config") + "/kelvane";
    paths.DataDirectory = XdgFolder("XDG_DATA_HOME", ".local/share") + "/kelvane";
    paths.DefaultsDirectories = {paths.ConfigDirectory, sharedDefaults};
    paths.SettingsFile = QDir(paths.ConfigDirectory).filePath(settingsName);
    return paths;
}

QString MakeAppFolders(const TAppPaths& paths)
{
    for (const QString& directory : {paths.ConfigDirectory, paths.DataDirectory})
        if (!QDir().mkpath(directory))
            return directory;
    return {};
}
