#pragma once

#include "MqttPublisher.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

struct mosquitto;
struct mosquitto_message;
class TMqttBacklog;

// One meter's connection to the broker, with the meter's status as its last
// will, run by a thread of its own that reconnects with back-off.
// libmosquitto 2.0 keeps every QoS 1 message published while the connection
// is down (mosquitto_publish says MOSQ_ERR_NO_CONN, yet sends it after the
// reconnect) and bounds none of them, so the state messages wait in the
// publisher's backlog and come here only while the connection is up and a
// few at a time: the memory a long outage costs stays the backlog's. Those
// handed to the library are kept until the broker acknowledges them, so that
// the end can keep what it did not for the next start.
class TMqttMeterClient : public std::enable_shared_from_this<TMqttMeterClient> {
public:
    using Clock = std::chrono::steady_clock;

    // topic: "<prefix>/<meter>"; connection: its number in report; backlog:
    // told when the connection can take more.
    TMqttMeterClient(const TMqttOptions& options, const QString& clientId, const QString& topic,
                     std::size_t connection, std::shared_ptr<TMqttBrokerReport> report,
                     std::weak_ptr<TMqttBacklog> backlog);
    ~TMqttMeterClient();
    TMqttMeterClient(const TMqttMeterClient&) = delete;
    TMqttMeterClient& operator=(const TMqttMeterClient&) = delete;

    // Why the connection cannot be set up as asked (an unreadable CA file),
    // empty when it can.
    const QString& SetupError() const { return setupError_; }
    void Start();

    const QByteArray& StateTopic() const { return stateTopic_; }
    void SetOnline(bool online);
    // A retained message of its own topic (a Home Assistant config, the
    // wiring verdicts): sent now while the connection is up, again after
    // each connect, since a broker restarted without persistence has
    // forgotten it, and at SendRetainedAgain. The latest of a topic counts.
    void SetRetained(const QByteArray& topic, const QByteArray& payload);
    void SendRetainedAgain();
    // An empty retained message, which makes the broker forget the topic's.
    void ClearRetained(const QByteArray& topic);
    using TMessageHandler = std::function<void(const QByteArray& topic, const QByteArray& payload)>;
    // Before Start: the topics to subscribe to at each connect, and what
    // takes their messages, in the connection's thread.
    void Subscribe(std::vector<QByteArray> filters, TMessageHandler onMessage);
    // A state message handed to the library, false when the connection is
    // down or has as many unacknowledged as it may.
    bool Offer(const QByteArray& json);
    bool Up();
    // Every message handed to the library acknowledged, or the connection down.
    bool Settled();
    // At the end: the state messages not acknowledged, oldest first, and
    // the status messages not delivered.
    std::deque<QByteArray> TakeUnacknowledged();
    qint64 StatusesUndelivered();
    // A clean disconnect: the broker sends no will.
    void Stop();
    // Waits for the thread until the deadline; a thread still resolving the
    // broker's name then ends on its own, with the client it shares.
    void Join(Clock::time_point deadline);

private:
    void Run();
    int LoopWhileConnected();
    int LoopOnce(int timeoutMs);
    int PollOnce(int timeoutMs);
    void SendDisconnect();
    void WaitBeforeRetry(std::chrono::seconds delay);
    bool MarkDisconnected();
    QString Reason(int result) const;

    static void OnConnect(mosquitto* mosq, void* self, int result);
    static void OnPublish(mosquitto* mosq, void* self, int messageId);
    static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
    void Connected();
    void Acknowledged(int messageId);

    // With mutex_ held.
    void PublishStatus();
    void PublishRetained();
    int Hand(const QByteArray& topic, const QByteArray& payload, bool retain, int* messageId = nullptr);

    const QByteArray host_;
    const int port_;
    const QByteArray stateTopic_;
    const QByteArray statusTopic_;
    const std::size_t connection_;
    const std::shared_ptr<TMqttBrokerReport> report_;
    const std::weak_ptr<TMqttBacklog> backlog_;
    mosquitto* mosq_ = nullptr;
    // The read end of the library's wake-up pair; -1 when unknown, and the
    // wait then lasts its whole timeout.
    int libraryWake_;
    QString setupError_;
    QString refusal_; // the broker's reason when it refused the connection
    std::thread thread_;
    std::atomic<bool> stopping_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    bool done_ = false; // the thread has ended
    std::optional<bool> online_;
    bool statusUnsent_ = false; // online_ changed while the connection was down
    qint64 outstanding_ = 0; // handed to the library, not yet acknowledged
    // The state messages among them, in the order handed, by message id.
    std::deque<std::pair<int, QByteArray>> states_;
    std::map<QByteArray, QByteArray> retained_; // by topic
    std::vector<QByteArray> filters_;
    TMessageHandler onMessage_;
};
