// Where the programs keep their files, for an executable in a build folder,
// under KELVANE_HOME and installed in a prefix, with and without the XDG
// variables.

#include "AppPaths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <optional>

namespace {

// Sets or unsets an environment variable for the life of the object.
class TScopedEnv {
public:
    TScopedEnv(const char* name, std::optional<QString> value) : name_(name)
    {
        if (qEnvironmentVariableIsSet(name))
            saved_ = qEnvironmentVariable(name);
        if (value)
            qputenv(name, value->toLocal8Bit());
        else
            qunsetenv(name);
    }
    ~TScopedEnv()
    {
        if (saved_)
            qputenv(name_, saved_->toLocal8Bit());
        else
            qunsetenv(name_);
    }

private:
    const char* name_;
    std::optional<QString> saved_;
};

void Touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
}

struct rCase {
    const char* Name;
    const char* Executable;        // under the scratch root
    bool Home;                     // KELVANE_HOME names <root>/home-folder
    const char* XdgConfig;         // XDG_CONFIG_HOME, "" unset; "rel" a relative one
    const char* XdgData;           // XDG_DATA_HOME, likewise
    const char* Settings;          // expected, relative to the root
    const char* Config;
    const char* Data;
};

} // namespace

TEST(AppPaths, FolderOfEachKindOfStart)
{
    const rCase cases[] = {
        {"build folder", "build/app/kelvane", false, "", "", "build/app/kelvane.ini", "build/app", "build/app"},
        {"KELVANE_HOME wins over an install", "usr/bin/kelvane", true, "/elsewhere", "", "home-folder/kelvane.ini",
         "home-folder", "home-folder"},
        {"installed, no XDG variables", "usr/bin/kelvane", false, "", "", "user/.config/kelvane/kelvane.ini",
         "user/.config/kelvane", "user/.local/share/kelvane"},
        {"installed, XDG variables", "usr/bin/kelvane", false, "xdg-config", "xdg-data",
         "xdg-config/kelvane/kelvane.ini", "xdg-config/kelvane", "xdg-data/kelvane"},
        {"installed, relative XDG variables are ignored", "usr/bin/kelvane", false, "rel", "rel",
         "user/.config/kelvane/kelvane.ini", "user/.config/kelvane", "user/.local/share/kelvane"},
        {"the logger names its own settings file", "usr/bin/kelvane-log", false, "", "",
         "user/.config/kelvane/kelvane-log.ini", "user/.config/kelvane", "user/.local/share/kelvane"},
    };
    for (const rCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir scratch;
        const QDir root(scratch.path());
        Touch(root.filePath("usr/share/kelvane/Float.ini"));
        QDir().mkpath(root.filePath("build/app"));
        const auto under = [&](const char* variable) -> std::optional<QString> {
            if (*variable == '\0')
                return std::nullopt;
            return QString(variable) == "rel" ? QString("relative/folder") : root.filePath(variable);
        };
        const TScopedEnv home("HOME", root.filePath("user"));
        const TScopedEnv kelvaneHome("KELVANE_HOME",
                                     c.Home ? std::optional<QString>(root.filePath("home-folder")) : std::nullopt);
        const TScopedEnv config("XDG_CONFIG_HOME", under(c.XdgConfig));
        const TScopedEnv data("XDG_DATA_HOME", under(c.XdgData));

        const TAppPaths paths = AppPathsFor(root.filePath(c.Executable));
        EXPECT_EQ(paths.SettingsFile, root.filePath(c.Settings));
        EXPECT_EQ(paths.ConfigDirectory, root.filePath(c.Config));
        EXPECT_EQ(paths.DataDirectory, root.filePath(c.Data));
    }
}

// Installed, a user's own page or bank file takes precedence over the
// shared default, which serves until the user has one; the folders are made
// on the first start.
TEST(AppPaths, UsersOwnFileBeforeTheInstalledDefault)
{
    QTemporaryDir scratch;
    const QDir root(scratch.path());
    Touch(root.filePath("usr/share/kelvane/Float.ini"));
    const TScopedEnv home("HOME", root.filePath("user"));
    const TScopedEnv kelvaneHome("KELVANE_HOME", std::nullopt);
    const TScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    const TScopedEnv data("XDG_DATA_HOME", std::nullopt);
    const TAppPaths paths = AppPathsFor(root.filePath("usr/bin/kelvane"));

    EXPECT_EQ(paths.DefaultsFile("Float.ini"), root.filePath("usr/share/kelvane/Float.ini"));
    EXPECT_EQ(MakeAppFolders(paths), QString());
    EXPECT_TRUE(QFileInfo(paths.ConfigDirectory).isDir());
    EXPECT_TRUE(QFileInfo(paths.DataDirectory).isDir());
    Touch(root.filePath("user/.config/kelvane/Float.ini"));
    EXPECT_EQ(paths.DefaultsFile("Float.ini"), root.filePath("user/.config/kelvane/Float.ini"));
    EXPECT_EQ(paths.DefaultsFile("RegisterBanks.ini"), root.filePath("user/.config/kelvane/RegisterBanks.ini"))
        << "a file found nowhere is named where the user would put it";
}
