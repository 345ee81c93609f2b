#pragma once

#include <QDateTime>
#include <QString>

// A message to stderr: one line with the local time, written with one
// write(), so that lines of a service's journal never mix.
void LoggerMessage(const QString& text);

// A time as the messages give it: ISO 8601 date and local time to the
// second, "2026-03-14 09:26:53", whatever the locale.
QString MessageTime(const QDateTime& time);

// The system's text for an error number, such as "No space left on device".
QString SystemReason(int error);

// Text to stdout, flushed at once: --once's tables and records.
void PrintToStdout(const QString& text);

// A count and its noun for a message: "1 line", "3 lines".
QString Counted(qint64 count, const QString& one, const QString& many);
// A count, its noun and its verb: "no line was", "1 line was", "3 lines were".
QString CountedWere(qint64 count, const QString& one, const QString& many);
