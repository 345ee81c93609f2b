#pragma once

// A subscriber to "<prefix>/#" on a broker of 127.0.0.1 that collects every
// message it gets, with the retain flag as the broker gave it (set for a
// retained message sent at subscription). It reconnects by itself and
// subscribes again, so that it outlives a restart of the broker. Given a
// client id, its session persists: a broker with persistence keeps for it
// what comes while it is away.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace testsupport {

struct TMqttMessage {
    QString Topic;
    QByteArray Payload;
    bool Retained = false;
};

class TMqttSubscriber {
public:
    // keepMessages false: only the count of each topic's messages is kept,
    // for a long run of many meters.
    TMqttSubscriber(uint16_t port, const QString& prefix, const QString& clientId = {}, bool keepMessages = true);
    ~TMqttSubscriber();
    TMqttSubscriber(const TMqttSubscriber&) = delete;
    TMqttSubscriber& operator=(const TMqttSubscriber&) = delete;

    // True once the broker has confirmed the subscription, within the deadline.
    bool WaitSubscribed(std::chrono::seconds deadline = std::chrono::seconds(20));
    std::vector<TMqttMessage> Messages() const;
    // The messages on one topic, in the order they came.
    std::vector<TMqttMessage> On(const QString& topic) const;
    // How many messages came on each topic.
    std::map<QString, std::size_t> Counts() const;
    // A message of the subscriber's own, QoS 1, as another system sends it.
    void Publish(const QString& topic, const QByteArray& payload);

private:
    static void OnConnect(mosquitto* mosq, void* self, int result);
    static void OnSubscribe(mosquitto* mosq, void* self, int mid, int count, const int* granted);
    static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);

    QByteArray filter_;
    const bool keep_;
    mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    bool subscribed_ = false;
    std::vector<TMqttMessage> messages_;
    std::map<QString, std::size_t> counts_;
};

} // namespace testsupport
