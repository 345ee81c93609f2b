#include "SiteOutputs.h"

#include "CsvOutput.h"
#include "InfluxWriter.h"
#include "MetricsExporter.h"
#include "MqttPublisher.h"

#include <algorithm>

TSiteOutputsResult MakeSiteOutputs(const TOutputOptions& options, const std::vector<TSiteLink>& links)
{
    std::vector<TSiteMeterId> meters;
    for (const TSiteLink& link : links)
        for (const TSiteMeter& meter : link.Meters)
            meters.push_back(meter.Id);
    TSiteOutputsResult result;
    if (TCsvOutput::Wanted(links))
        result.Outputs.push_back(std::make_unique<TCsvOutput>(links));
    if (options.MetricsPort != 0) {
        std::unique_ptr<TMetricsExporter> exporter =
            TMetricsExporter::Listen(options.MetricsAddress, options.MetricsPort, result.Error);
        if (!exporter)
            return result;
        result.Outputs.push_back(std::move(exporter));
    }
    const bool mqtt = !options.Mqtt.Host.isEmpty();
    const bool influx = options.Influx.isValid();
    const qint64 share = options.HeldBytes / std::max(int(mqtt) + int(influx), 1);
    if (mqtt)
        result.Outputs.push_back(std::make_unique<TMqttPublisher>(
            options.Mqtt, meters, TSpoolLimits{share, options.SpoolBytes, options.SpoolStem + ".mqtt"}));
    if (influx)
        result.Outputs.push_back(std::make_unique<TInfluxWriter>(
            options.Influx, options.InfluxDb,
            TInfluxLimits{.Spool = {share, options.SpoolBytes, options.SpoolStem + ".influx"}}));
    return result;
}
