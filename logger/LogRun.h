#pragma once

#include "LoggerOptions.h"
#include "MeterPoller.h"
#include "StopSignals.h"

// Reads the meter once and prints the quantities to stdout, as a table or,
// with --csv, as the log file's header and record. 0 when the meter
// answered every bank, 1 when not.
int ReadOnce(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals);

// One pass and one record per interval until SIGTERM or SIGINT; then 0.
// A meter that does not answer gives records with empty values, a log
// file that cannot be written no record; each change of either state is one
// line on stderr.
int RunLogging(TMeterPoller& poller, const TLoggerOptions& options, const TStopSignals& stopSignals);
