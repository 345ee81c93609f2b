#pragma once

#include "LogFile.h"
#include "SiteFile.h"
#include "SiteOutput.h"
#include "StateReports.h"

#include <QLocale>
#include <QString>

#include <map>
#include <vector>

// Each meter's records in its own log file, in the data log format of the
// desktop utility: one record per reading, the header first in a file that
// is new or empty, each record in one write. A file that cannot be written
// is said once with the system's reason, and once more when it takes
// records again, with the records lost meanwhile; at the end, the records
// it still could not take.
class TCsvOutput : public TSiteOutput {
public:
    // The meters of the links that have a file; the others it leaves alone.
    explicit TCsvOutput(const std::vector<TSiteLink>& links);

    void Publish(const TMeterReading& reading) override;
    void Finish(Clock::time_point deadline) override;

    // Whether any meter of the links has a file to write.
    static bool Wanted(const std::vector<TSiteLink>& links);

private:
    struct TMeterFile {
        QString FileName;
        TLogSelection Selection{};
        QString Header;
        TFileReport Report;
    };

    QLocale locale_; // the system's, for every file's separators and decimals
    std::map<QString, TMeterFile> files_; // by meter name
};

// The reading's values as the log file code takes them: not a number where
// the pass brought none.
TLogValues LoggedValues(const TMeterReading& reading);

// False, after a message naming the path and what it is, when the log file
// exists and is not a regular file (a FIFO, a device, a directory): the
// logger writes its records only into a regular file.
bool LogFileUsable(const QString& fileName);
