#pragma once

#include "HomeAssistantConfig.h"
#include "OutputOptions.h"
#include "SiteOutput.h"
#include "Spool.h"

#include <QString>

#include <cstddef>
#include <memory>
#include <vector>

class THomeAssistantDiscovery;
class TMqttBacklog;
class TMqttBrokerReport;
class TMqttMeterClient;

// The readings to an MQTT broker: after each pass of a meter that answered,
// its values as JSON on "<prefix>/<meter>/state" (QoS 1); on
// "<prefix>/<meter>/status" "online" or "offline", retained, at each change
// and after each reconnect. Each meter has a connection of its own, because a
// connection has one last will and each meter's says "offline" on its status
// topic when the logger dies. Every state message is delivered, in order,
// within the backlog's bounds; of the status only the latest counts, since
// it is retained, and it alone is sent after an outage. The wiring checks
// go on "<prefix>/<meter>/wiring", retained, when their verdicts change.
// With discovery, each meter's connection also carries its Home Assistant
// configs, announced at the start, when its identity becomes known or
// changes, and when Home Assistant says it is back; the first meter's
// connection listens for that and clears the site's stale configs.
class TMqttPublisher : public TSiteOutput {
public:
    // held: the state messages' share of what the outputs hold in memory,
    // and their spool files.
    TMqttPublisher(const TMqttOptions& options, const std::vector<TSiteMeterId>& meters,
                   const TSpoolLimits& held = {.Stem = "kelvane-log.mqtt"},
                   std::shared_ptr<const THomeAssistantDiscovery> discovery = nullptr);
    ~TMqttPublisher() override;
    TMqttPublisher(const TMqttPublisher&) = delete;
    TMqttPublisher& operator=(const TMqttPublisher&) = delete;

    void Publish(const TMeterReading& reading) override;
    // Every meter "offline", a wait for the broker's acknowledgements, a
    // clean disconnect, all by the deadline; the state messages not
    // delivered stay in the spool files for the next start.
    void Finish(Clock::time_point deadline) override;

private:
    void Stop(Clock::time_point deadline);
    void WaitSettled(Clock::time_point deadline);
    void StartDiscovery();
    void Announce(std::size_t meter);
    void PublishWiring(std::size_t meter, const std::vector<rWiringCheck>& checks);

    std::vector<TSiteMeterId> meters_;
    std::shared_ptr<TMqttBrokerReport> report_;
    std::shared_ptr<TMqttBacklog> backlog_;
    std::vector<std::shared_ptr<TMqttMeterClient>> clients_;
    bool finished_ = false;
    std::vector<QByteArray> wiringTopics_;
    std::vector<QString> verdicts_; // the latest wiring verdicts published, by meter
    std::shared_ptr<const THomeAssistantDiscovery> discovery_;
    std::vector<HomeAssistant::TIdentity> identities_; // by meter
};
