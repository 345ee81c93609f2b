#pragma once

// The texts the outputs say about what they hold, send again and lose,
// together, so that the words for one case are the same in each output.

#include <QString>

// A spool file that cannot be written or read.
QString SpoolFileFailed(const QString& file, const QString& reason);
// At the start: records a run before left in the spool files. what: "InfluxDB
// at http://..."; pattern: the files.
QString SpoolInherited(const QString& what, qint64 records, const QString& noun, const QString& pattern);
// At the end: records kept in the spool files for the next start.
QString SpoolKept(const QString& what, qint64 records, const QString& noun, const QString& pattern);

QString InfluxCannotWrite(const QString& where, const QString& reason);
QString InfluxRefused(int status, const QString& serverText);
QString InfluxFailed(const QString& reason, qint64 memoryBytes, const QString& pattern);
// A write without an answer in time: InfluxDB may have stored it.
QString InfluxNoAnswer(qint64 timeoutMs, qint64 memoryBytes, const QString& pattern);
QString InfluxWorksAgain(const QString& where, qint64 lost);
// At the end: lines dropped by the bound or refused, and the lines of a
// write in flight that got no answer by the end.
QString InfluxNotWritten(const QString& where, qint64 lost);
QString InfluxUncertainAtEnd(const QString& where, qint64 lines, const QString& pattern);

// At the end: status messages and lost state messages.
QString MqttUndelivered(const QString& broker, qint64 messages);
