#pragma once

#include "RegisterBanksFile.h"
#include "SiteFile.h"
#include "SiteOutputs.h"
#include "StopSignals.h"

#include <memory>
#include <vector>

// Logs every meter of a site, each link in a thread of its own, until
// SIGTERM or SIGINT; then 0. After each meter's pass: its reading to every
// output, its log file among them. Whether a meter answers is said once per
// change. A stop ends the run within a second: the passes under way are
// dropped whole, the readings already made are handed to the outputs, which
// get the rest of the second to send them.
int RunSite(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks,
            TSiteOutputs outputs, TStopSignals& stopSignals);

// Reads every meter once, all links at the same time, hands the readings to
// the outputs and prints each meter's table, in the site file's order under
// the meter's name; the one meter of the switches without its name, or with
// csv as its log file's header and record. 0 when every meter answered
// every bank, 1 when not.
int ReadSiteOnce(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks, TSiteOutputs outputs,
                 TStopSignals& stopSignals, bool csv);
