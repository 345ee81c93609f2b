#include "OutputReports.h"

#include "LoggerMessages.h"

namespace {

QString Megabytes(qint64 bytes)
{
    return QString("%1 MB").arg(double(bytes) / (1 << 20), 0, 'g', 3);
}

} // namespace

QString SpoolFileFailed(const QString& file, const QString& reason)
{
    return QString("cannot use the spool file \"%1\": %2; records that memory cannot hold are lost until it works")
        .arg(file, reason);
}

QString SpoolInherited(const QString& what, qint64 records, const QString& noun, const QString& pattern)
{
    return QString("%1: %2 left by the last run in \"%3\" go first").arg(what, Counted(records, noun, noun + 's'), pattern);
}

QString SpoolKept(const QString& what, qint64 records, const QString& noun, const QString& pattern)
{
    return QString("%1: %2 kept in \"%3\" for the next start").arg(what, Counted(records, noun, noun + 's'), pattern);
}

QString InfluxCannotWrite(const QString& where, const QString& reason)
{
    return QString("cannot write to InfluxDB at %1: %2").arg(where, reason);
}

QString InfluxRefused(int status, const QString& serverText)
{
    return QString("refused (HTTP %1): %2; lines it refuses are dropped").arg(status).arg(serverText);
}

QString InfluxFailed(const QString& reason, qint64 memoryBytes, const QString& pattern)
{
    return QString("%1; keeping the lines, up to %2 in memory and then in \"%3\", and trying again")
        .arg(reason, Megabytes(memoryBytes), pattern);
}

QString InfluxNoAnswer(qint64 timeoutMs, qint64 memoryBytes, const QString& pattern)
{
    return QString("no answer within %1 ms, so the lines may have been stored; keeping them, up to %2 in memory and "
                   "then in \"%3\", and sending them again, which stores no point twice (InfluxDB keeps one point for "
                   "a series and a time)")
        .arg(timeoutMs)
        .arg(Megabytes(memoryBytes), pattern);
}

QString InfluxWorksAgain(const QString& where, qint64 lost)
{
    return QString("writing to InfluxDB at %1 works again; %2 dropped meanwhile").arg(where, CountedWere(lost, "line", "lines"));
}

QString InfluxNotWritten(const QString& where, qint64 lost)
{
    return QString("%1 not written to InfluxDB at %2").arg(CountedWere(lost, "line", "lines"), where);
}

QString InfluxUncertainAtEnd(const QString& where, qint64 lines, const QString& pattern)
{
    return QString("InfluxDB at %1 had not answered the write of %2 by the end, which may have been stored; its "
                   "lines are kept in \"%3\" and sent again at the next start, which stores each point once")
        .arg(where, Counted(lines, "line", "lines"), pattern);
}

QString MqttUndelivered(const QString& broker, qint64 messages)
{
    return QString("MQTT broker %1: %2 could not be delivered before the end").arg(broker, Counted(messages, "message", "messages"));
}
