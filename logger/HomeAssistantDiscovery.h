#pragma once

#include "HomeAssistantConfig.h"
#include "OutputOptions.h"
#include "SiteFile.h"

#include <QByteArray>

#include <set>
#include <vector>

// Home Assistant's discovery of a site's meters over the MQTT output: what
// to announce for each meter, what to listen to, and which retained configs
// on the broker are this site's yet no longer announced (a meter gone from
// the site file, a quantity it no longer logs), so that they are cleared
// without a state file of the logger's own. It is fixed for the run and so
// read by every connection's thread.
class THomeAssistantDiscovery {
public:
    THomeAssistantDiscovery(const TMqttOptions& options, const std::vector<TSiteMeter>& meters);

    // The configs of the meter at this index of the site's meters, with its
    // identity as known.
    std::vector<HomeAssistant::TConfig> Configs(std::size_t meter, const HomeAssistant::TIdentity& identity) const;
    // "PREFIX/status", where Home Assistant says "online" when it starts,
    // and the filter of this site's configs.
    std::vector<QByteArray> Subscriptions() const { return {statusTopic_, siteConfigs_}; }
    // A message that asks for every config again: Home Assistant is back.
    bool Birth(const QByteArray& topic, const QByteArray& payload) const;
    // A config of this site on the broker that this run does not announce.
    bool Stale(const QByteArray& topic, const QByteArray& payload) const;

private:
    QString prefix_;
    std::vector<HomeAssistant::TMeterEntities> meters_;
    QByteArray statusTopic_;
    QByteArray siteConfigs_;
    std::set<QByteArray> announced_;
};
