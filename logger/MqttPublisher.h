#pragma once

#include "OutputOptions.h"
#include "SiteOutput.h"

#include <QString>

#include <cstddef>
#include <memory>
#include <vector>

class TMqttBrokerReport;
class TMqttMeterClient;

// The readings to an MQTT broker: after each pass of a meter that answered,
// its values as JSON on "<prefix>/<meter>/state" (QoS 1); on
// "<prefix>/<meter>/status" "online" or "offline", retained, at each change
// and after each reconnect. Each meter has a connection of its own, because a
// connection has one last will and each meter's says "offline" on its status
// topic when the logger dies.
class TMqttPublisher : public TSiteOutput {
public:
    TMqttPublisher(const TMqttOptions& options, const std::vector<TSiteMeterId>& meters);
    ~TMqttPublisher() override;
    TMqttPublisher(const TMqttPublisher&) = delete;
    TMqttPublisher& operator=(const TMqttPublisher&) = delete;

    void Publish(const TMeterReading& reading) override;
    // Every meter "offline", a wait for the broker's acknowledgements, a
    // clean disconnect, all by the deadline.
    void Finish(Clock::time_point deadline) override;

private:
    void Stop(Clock::time_point deadline);

    std::vector<TSiteMeterId> meters_;
    std::shared_ptr<TMqttBrokerReport> report_;
    std::vector<std::shared_ptr<TMqttMeterClient>> clients_;
    bool finished_ = false;
};
