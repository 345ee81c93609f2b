#include "SiteOutputs.h"

#include "MqttPublisher.h"

TSiteOutputsResult MakeSiteOutputs(const TOutputOptions& options, const std::vector<TSiteLink>& links)
{
    std::vector<TSiteMeterId> meters;
    for (const TSiteLink& link : links)
        for (const TSiteMeter& meter : link.Meters)
            meters.push_back(meter.Id);
    TSiteOutputsResult result;
    if (!options.Mqtt.Host.isEmpty())
        result.Outputs.push_back(std::make_unique<TMqttPublisher>(options.Mqtt, meters));
    return result;
}
