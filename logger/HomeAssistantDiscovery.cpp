#include "HomeAssistantDiscovery.h"

#include "MeterName.h"

THomeAssistantDiscovery::THomeAssistantDiscovery(const TMqttOptions& options, const std::vector<TSiteMeter>& meters)
    : prefix_(options.DiscoveryPrefix),
      statusTopic_((prefix_ + "/status").toUtf8()),
      siteConfigs_((prefix_ + "/+/" + HomeAssistant::SiteNode(options.Site) + "/+/config").toUtf8())
{
    for (const TSiteMeter& meter : meters) {
        meters_.push_back({options.Site, meter.Id.Name, MeterName::MqttTopic(options.Prefix, meter.Id.Name),
                           meter.Selection});
        for (const HomeAssistant::TConfig& config : HomeAssistant::MeterConfigs(prefix_, meters_.back(), {}))
            announced_.insert(config.Topic);
    }
}

std::vector<HomeAssistant::TConfig> THomeAssistantDiscovery::Configs(std::size_t meter,
                                                                     const HomeAssistant::TIdentity& identity) const
{
    return HomeAssistant::MeterConfigs(prefix_, meters_[meter], identity);
}

bool THomeAssistantDiscovery::Birth(const QByteArray& topic, const QByteArray& payload) const
{
    return topic == statusTopic_ && payload == "online";
}

// Only a config under this site's node comes here besides the status; an
// empty one is already cleared, this run's own clearing among them.
bool THomeAssistantDiscovery::Stale(const QByteArray& topic, const QByteArray& payload) const
{
    return topic != statusTopic_ && !payload.isEmpty() && !announced_.contains(topic);
}
