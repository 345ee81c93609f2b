#include "LoggerMessages.h"

#include <QDateTime>

#include <cerrno>
#include <unistd.h>

void LoggerMessage(const QString& text)
{
    const QByteArray line = (QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss") + " kelvane-log: " +
                             QString(text).replace('\n', ' ') + '\n')
                                .toUtf8();
    ssize_t written = 0;
    do
        written = ::write(STDERR_FILENO, line.constData(), std::size_t(line.size()));
    while (written < 0 && errno == EINTR);
}
