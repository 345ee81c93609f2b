// Program entry: the application, its windows, and the event loop.

#include "KelvaneApplication.h"
#include "KelvaneWindows.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The folder of the INI files, the settings and the default log: the
// executable's, unless KELVANE_HOME names another one.
TAppPaths ApplicationPaths()
{
    const QFileInfo executable(QCoreApplication::applicationFilePath());
    const QString home = qEnvironmentVariable("KELVANE_HOME");
    TAppPaths paths;
    paths.Directory = home.isEmpty() ? executable.absolutePath() : QDir(home).absolutePath();
    paths.SettingsFile = QDir(paths.Directory).filePath(executable.completeBaseName() + ".ini");
    return paths;
}

} // namespace

int main(int argc, char** argv)
{
    TKelvaneApplication app(argc, argv);
    TKelvaneWindows windows(ApplicationPaths(), QCoreApplication::arguments().mid(1));
    windows.Form1.show();
    return app.exec();
}
