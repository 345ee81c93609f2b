#include "LoggerMessages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

void LoggerMessage(const QString& text)
{
    const QByteArray line =
        (MessageTime(QDateTime::currentDateTime()) + " kelvane-log: " + QString(text).replace('\n', ' ') + '\n')
            .toUtf8();
    ssize_t written = 0;
    do
        written = ::write(STDERR_FILENO, line.constData(), std::size_t(line.size()));
    while (written < 0 && errno == EINTR);
}

QString MessageTime(const QDateTime& time)
{
    return time.toString("yyyy-MM-dd HH:mm:ss");
}

QString SystemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void PrintToStdout(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString Counted(qint64 count, const QString& one, const QString& many)
{
    return count == 1 ? "1 " + one : QString("%1 %2").arg(count).arg(many);
}

QString CountedWere(qint64 count, const QString& one, const QString& many)
{
    if (count == 0)
        return "no " + one + " was";
    return Counted(count, one, many) + (count == 1 ? " was" : " were");
}
