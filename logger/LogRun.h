#pragma once

#include "LoggerOptions.h"
#include "MeterPoller.h"
#include "StopSignals.h"

// Reads the meter once and prints the quantities to stdout, as a table or,
// with --csv, as the log file's header and record. 0 when the meter
// answered every bank, 1 when not.
int ReadOnce(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals);

// False, after a message naming the path and what it is, when the log file
// exists and is not a regular file (a FIFO, a device, a directory): the
// logger writes its records only into a regular file.
bool LogFileUsable(const QString& fileName);

// One pass and one record per interval until SIGTERM or SIGINT; then 0.
// A meter that does not answer gives records with empty values, a log
// file that cannot be written no record; each change of either state is one
// line on stderr, the failure of the file with the system's reason and its
// recovery with the number and times of the records lost meanwhile.
int RunLogging(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals);
