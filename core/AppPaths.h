#pragma once

#include <QString>
#include <QStringList>

// Where the programs keep their files.
//
// Run from a build folder, or with KELVANE_HOME naming a folder, everything
// lives in that one folder, as it always has. Installed (the executable's
// folder cannot be written, or the executable sits in a prefix that holds
// share/kelvane), the user's own files go to the XDG folders: settings and
// Meters.ini to $XDG_CONFIG_HOME/kelvane (~/.config/kelvane), the default
// log and register dumps to $XDG_DATA_HOME/kelvane (~/.local/share/kelvane);
// the page and bank files are taken from the user's configuration folder
// first, then from the installed defaults in share/kelvane.
struct TAppPaths {
    // The settings file, Meters.ini.
    QString ConfigDirectory;
    // The default log file and register dumps.
    QString DataDirectory;
    // Where page and bank files are looked for, in this order.
    QStringList DefaultsDirectories;
    QString SettingsFile;

    // Every file in one folder; settingsName is the settings file's name.
    static TAppPaths InOneFolder(const QString& directory, const QString& settingsName);

    // The page or bank file name: in the first folder of
    // DefaultsDirectories that holds it, else where the first would hold it.
    QString DefaultsFile(const QString& name) const;
};

// The paths of the program at executablePath (its settings file is named
// like it, with ".ini"), from KELVANE_HOME, HOME, XDG_CONFIG_HOME and
// XDG_DATA_HOME.
TAppPaths AppPathsFor(const QString& executablePath);

// Makes the configuration and data folders when they are missing. Returns
// the folder that could not be made, or an empty string.
QString MakeAppFolders(const TAppPaths& paths);
