#pragma once

#include "OutputOptions.h"
#include "SiteFile.h"
#include "SiteOutput.h"

#include <memory>
#include <vector>

using TSiteOutputs = std::vector<std::unique_ptr<TSiteOutput>>;

struct TSiteOutputsResult {
    TSiteOutputs Outputs;
    QString Error; // an output that cannot start at all, such as a port in use
};

// The outputs the switches ask for, for the meters of the site, and the
// log files of the meters that have one.
TSiteOutputsResult MakeSiteOutputs(const TOutputOptions& options, const std::vector<TSiteLink>& links);
