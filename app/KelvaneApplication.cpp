#include "KelvaneApplication.h"

#include "main.h"

#include <exception>

TKelvaneApplication::TKelvaneApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // The display name follows the application name. Set explicitly, Qt's
    // Linux platforms would append it to every window title.
    setApplicationName("Kelvane");
    // Links the windows to the installed desktop entry and its icon.
    setDesktopFileName("org.kelvane.Kelvane");
}

bool TKelvaneApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        TForm1::MyExceptionHandler(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        TForm1::MyExceptionHandler("Unknown error");
    }
    return false;
}
