#pragma once

#include <QString>

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

// The MQTT broker's state as the logger's messages give it. The publisher
// holds one connection per meter, but the journal gets one line per change
// of the broker's state for the whole logger: "connected" once every meter's
// connection is up, "connection lost" when the first of them goes, "connected
// again" with the messages dropped meanwhile when the last is back. Called
// from the connections' threads.
class TMqttBrokerReport {
public:
    // broker: "host:port"; connections: how many the publisher holds.
    TMqttBrokerReport(const QString& broker, std::size_t connections);

    const QString& Broker() const { return broker_; }

    void NoteConnected(std::size_t connection);
    // A connection lost, or an attempt that failed, with the reason.
    void NoteDown(std::size_t connection, const QString& reason);
    // Messages a meter's bound could not keep.
    void NoteDropped(qint64 count);
    // The dropped messages not yet said, which the end of the run says.
    qint64 TakeDropped();

private:
    void Say(const QString& text) const;

    const QString broker_;
    std::mutex mutex_;
    std::vector<bool> connected_;
    std::size_t connectedCount_ = 0;
    bool up_ = false;       // every connection is up
    bool everUp_ = false;
    bool saidDown_ = false; // the current outage was said
    qint64 dropped_ = 0;
};
