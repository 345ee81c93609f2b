#pragma once

#include <QString>

// A message to stderr: one line with the local time, written with one
// write(), so that lines of a service's journal never mix.
void LoggerMessage(const QString& text);
