#pragma once

// A site of Modbus/TCP gateways for the benchmarks of kelvane-log's scale:
// one simulator per link, each serving units 1 to N, and the site file of
// every unit as a meter of its own, each logging into a file of its own
// beside the site file.

#include "SimProcess.h"

#include <QString>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class TSimulatedSite {
public:
    // Throws std::runtime_error when a simulator does not start.
    TSimulatedSite(const std::string& simulator, int links, int unitsPerLink, const QString& dir);

    int Meters() const { return links_ * units_; }
    int Links() const { return links_; }
    const QString& SiteFile() const { return site_; }
    // The meter's log file; link and unit count from 1.
    QString LogFile(int link, int unit) const;
    // How many records the meters' files hold, the fewest and the most.
    std::pair<int, int> RecordRange() const;
    // The records in all the meters' files.
    long long AllRecords() const;

    // Every meter read in every cycle of a run logged for `logged` seconds
    // at the interval: the first cycle at once, then one an interval until
    // the stop; a cycle not yet started at the stop, or cut short by it, may
    // be missing. No meter reported silent in the logger's messages. Prints
    // the figures; throws when a record is missing.
    void CheckEveryCycleRead(double logged, std::chrono::milliseconds interval, const QString& messages) const;

private:
    int links_;
    int units_;
    QString dir_;
    QString site_;
    std::vector<std::unique_ptr<TSimProcess>> simulators_;
};
