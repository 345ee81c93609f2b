#include "LoggerApplication.h"

#include "LoggerMessages.h"

#include <exception>

bool TLoggerApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        LoggerMessage("ERROR: " + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        LoggerMessage("ERROR: unknown error");
    }
    return false;
}
