#pragma once

#include "Spool.h"

#include <QByteArray>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class TMqttBrokerReport;
class TMqttMeterClient;

// The state messages of every meter, in the order they were published, that
// no connection has taken yet: in memory up to a bound, beyond it in spool
// files. The oldest goes to its meter's connection as soon as that one can
// take it (connected, few unacknowledged), so that each meter's messages
// reach the broker in order, QoS 1, after an outage as before it. What the
// connections hold unacknowledged is bounded in bytes too. Called from the
// logger's thread and from the connections' threads.
class TMqttBacklog {
public:
    // inFlightBytes: what the connections may hold unacknowledged, all together.
    TMqttBacklog(const TSpoolLimits& limits, qint64 inFlightBytes, std::shared_ptr<TMqttBrokerReport> report);

    // The connections, by their state topics; none at the end.
    void SetClients(std::vector<std::shared_ptr<TMqttMeterClient>> clients);
    void Add(const QByteArray& stateTopic, const QByteArray& json);
    // Hands the oldest messages to their connections while they take them.
    // Never called with a connection's lock held: it takes them.
    void Dispatch();
    // A state message of these bytes acknowledged.
    void Delivered(qint64 bytes);
    bool Empty();
    // At the end, the connections' unacknowledged messages first: the
    // messages saved for the next start.
    qint64 Save(const std::deque<std::pair<QByteArray, QByteArray>>& unacknowledged);
    qint64 Inherited() const { return inherited_; }
    QString Pattern() const { return spool_.Pattern(); }
    qint64 Records();

private:
    void NoteLost();

    std::mutex mutex_;
    TSpool spool_; // records: state topic, a NUL, the JSON
    const qint64 inFlightLimit_;
    const std::shared_ptr<TMqttBrokerReport> report_;
    const qint64 inherited_;
    std::vector<std::shared_ptr<TMqttMeterClient>> clients_;
    std::map<QByteArray, TMqttMeterClient*> byTopic_;
    qint64 inFlight_ = 0;
};
