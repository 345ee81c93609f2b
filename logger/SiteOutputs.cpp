#include "SiteOutputs.h"

#include "CsvOutput.h"
#include "HomeAssistantDiscovery.h"
#include "InfluxWriter.h"
#include "MetricsExporter.h"
#include "MqttPublisher.h"
#include "SitePage.h"
#include "WiringReport.h"

#include <algorithm>

TSiteOutputsResult MakeSiteOutputs(const TOutputOptions& options, const std::vector<TSiteLink>& links)
{
    std::vector<TSiteMeterId> meters;
    std::vector<TSiteMeter> siteMeters;
    for (const TSiteLink& link : links)
        for (const TSiteMeter& meter : link.Meters) {
            meters.push_back(meter.Id);
            siteMeters.push_back(meter);
        }
    TSiteOutputsResult result;
    if (TCsvOutput::Wanted(links))
        result.Outputs.push_back(std::make_unique<TCsvOutput>(links));
    // Said on stderr as a meter that stops answering is: always on.
    result.Outputs.push_back(std::make_unique<TWiringReport>());
    if (options.MetricsPort != 0) {
        std::unique_ptr<TMetricsExporter> exporter =
            TMetricsExporter::Listen(options.MetricsAddress, options.MetricsPort, result.Error);
        if (!exporter)
            return result;
        result.Outputs.push_back(std::move(exporter));
    }
    if (options.HttpPort != 0) {
        std::unique_ptr<TSitePage> page = TSitePage::Listen(options.HttpAddress, options.HttpPort, links, result.Error);
        if (!page)
            return result;
        result.Outputs.push_back(std::move(page));
    }
    const bool mqtt = !options.Mqtt.Host.isEmpty();
    const bool influx = options.Influx.isValid();
    const qint64 share = options.HeldBytes / std::max(int(mqtt) + int(influx), 1);
    if (mqtt)
        result.Outputs.push_back(std::make_unique<TMqttPublisher>(
            options.Mqtt, meters, TSpoolLimits{share, options.SpoolBytes, options.SpoolStem + ".mqtt"},
            options.Mqtt.DiscoveryPrefix.isEmpty()
                ? nullptr
                : std::make_shared<const THomeAssistantDiscovery>(options.Mqtt, siteMeters)));
    if (influx)
        result.Outputs.push_back(std::make_unique<TInfluxWriter>(
            options.Influx, options.InfluxDb,
            TInfluxLimits{.Spool = {share, options.SpoolBytes, options.SpoolStem + ".influx"}}));
    return result;
}
