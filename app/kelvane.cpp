// Program entry: the application, its windows, and the event loop.

#include "KelvaneApplication.h"
#include "KelvaneWindows.h"
#include "MessageBoxes.h"
#include "StopSignals.h"

#include <QFileInfo>

#include <cstdio>
#include <cstring>

namespace {

const char* const HelpText =
    "Usage: kelvane [SWITCH]...\n"
    "Configure and monitor Kelvane three-phase power meters over a serial line\n"
    "(Modbus RTU), over Ethernet (Modbus/TCP) or through a device server (RTU\n"
    "over TCP).\n"
    "\n"
    "A switch overrides the saved setting for this run; names are matched\n"
    "without regard to case.\n"
    "\n"
    "Switches:\n"
    "  /PORT=name        the serial port, e.g. /dev/ttyUSB0 or a name under\n"
    "                    /dev/serial/by-id; COMn stands for /dev/ttyS(n-1)\n"
    "  /BAUD=rate        9600, 19200, 38400 or 57600\n"
    "  /MODE=mode        RTU, TCP, or RTUTCP (RTU frames through a device server)\n"
    "  /IP=address       the IP address of the meter or device server\n"
    "  /TCPPORT=n        its TCP port (502 when not given)\n"
    "  /POLLING=ms       the polling interval, 50 to 3600000 ms (1000 when not\n"
    "                    given); each bank of a pass is then tried once, unless\n"
    "                    the Port dialog sets the tries\n"
    "  /TOP=n            the window's top edge, in pixels\n"
    "  /LEFT=n           the window's left edge, in pixels\n"
    "  -h, --help        show this text and exit\n"
    "\n"
    "Closing the window, SIGTERM and SIGINT save the settings; File > Exit\n"
    "ends without saving.\n";

bool HelpAsked(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        for (const char* help : {"--help", "-h", "/?"})
            if (std::strcmp(argv[i], help) == 0)
                return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    // Before the application, which needs a display: help works anywhere.
    if (HelpAsked(argc, argv)) {
        std::fputs(HelpText, stdout);
        return 0;
    }
    TKelvaneApplication app(argc, argv);
    // A stop request closes the window as its close box does, so that the
    // settings are saved when a session ends or the terminal's Ctrl+C stops
    // the utility; a message box still open closes with it. Set up first,
    // so that no stop signal meets the default action, which would end the
    // utility without saving.
    TStopSignals stopSignals;
    stopSignals.SetOnStop([] {
        // Nobody is left to answer a box from here on (a save that failed):
        // its text goes to stderr, which a session's journal keeps.
        SetMessageBoxHandler([](QWidget*, QMessageBox::Icon, const QString& title, const QString& text,
                                QMessageBox::StandardButtons) {
            std::fprintf(stderr, "kelvane: %s: %s\n", qUtf8Printable(title), qUtf8Printable(text));
            return QMessageBox::NoButton;
        });
        QApplication::closeAllWindows();
        // Ends the main loop and every loop that a box or dialog turns, one
        // that would not close included; a loop begun after this returns at
        // once.
        QCoreApplication::exit(0);
    });
    const TAppPaths paths = AppPathsFor(QCoreApplication::applicationFilePath());
    const QString unmadeFolder = MakeAppFolders(paths);
    TKelvaneWindows windows(paths, QCoreApplication::arguments().mid(1));
    windows.Form1.show();
    // A stop that came while a start-up box was open has closed the window
    // inside that box's loop; the main loop has nothing left to run.
    if (stopSignals.AbortFlag())
        return 0;
    if (!unmadeFolder.isEmpty())
        ShowNotice(&windows.Form1, QMessageBox::Warning, "Kelvane",
                   QString("The folder %1 could not be made: the settings, the meter list and the log "
                           "cannot be saved there.")
                       .arg(unmadeFolder));
    return app.exec();
}
