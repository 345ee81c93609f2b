#include "SiteOutputs.h"

#include "InfluxWriter.h"
#include "MetricsExporter.h"
#include "MqttPublisher.h"

TSiteOutputsResult MakeSiteOutputs(const TOutputOptions& options, const std::vector<TSiteLink>& links)
{
    std::vector<TSiteMeterId> meters;
    for (const TSiteLink& link : links)
        for (const TSiteMeter& meter : link.Meters)
            meters.push_back(meter.Id);
    TSiteOutputsResult result;
    if (options.MetricsPort != 0) {
        std::unique_ptr<TMetricsExporter> exporter =
            TMetricsExporter::Listen(options.MetricsAddress, options.MetricsPort, result.Error);
        if (!exporter)
            return result;
        result.Outputs.push_back(std::move(exporter));
    }
    if (!options.Mqtt.Host.isEmpty())
        result.Outputs.push_back(std::make_unique<TMqttPublisher>(options.Mqtt, meters));
    if (options.Influx.isValid())
        result.Outputs.push_back(std::make_unique<TInfluxWriter>(options.Influx, options.InfluxDb));
    return result;
}
