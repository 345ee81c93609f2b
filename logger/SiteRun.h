#pragma once

#include "RegisterBanksFile.h"
#include "SiteFile.h"
#include "SiteOutputs.h"
#include "StopSignals.h"

#include <memory>
#include <vector>

// Logs every meter of a site, each link in a thread of its own, until
// SIGTERM or SIGINT; then 0. After each meter's pass: its record in its own
// log file when it has one, and the reading to every output. Whether a meter
// answers and whether its file takes records are each said once per change.
// A stop ends the run within a second: the passes under way are dropped
// whole, the readings already made are handed to the outputs, which get the
// rest of the second to send them.
int RunSite(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks,
            TSiteOutputs outputs, TStopSignals& stopSignals);

// Reads every meter once, all links at the same time, hands the readings to
// the outputs and prints each meter's table, in the site file's order, as
// --once of one meter prints it; no meter's file gets a record. 0 when every
// meter answered every bank, 1 when not.
int ReadSiteOnce(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks, TSiteOutputs outputs, TStopSignals& stopSignals);
