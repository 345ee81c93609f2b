#pragma once

#include "MqttPublisher.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

struct mosquitto;

// One meter's connection to the broker, with the meter's status as its last
// will, run by a thread of its own that reconnects with back-off.
// libmosquitto 2.0 keeps every QoS 1 message published while the connection
// is down (mosquitto_publish says MOSQ_ERR_NO_CONN, yet sends it after the
// reconnect) and bounds none of them, so the state messages wait here, in a
// queue of a fixed size, and go to the library only while the connection is
// up and a few at a time: the memory a long outage costs stays bounded.
class TMqttMeterClient : public std::enable_shared_from_this<TMqttMeterClient> {
public:
    using Clock = std::chrono::steady_clock;

    // topic: "<prefix>/<meter>"; connection: its number in report.
    TMqttMeterClient(const TMqttOptions& options, const QString& clientId, const QString& topic,
                     std::size_t connection, std::shared_ptr<TMqttBrokerReport> report);
    ~TMqttMeterClient();
    TMqttMeterClient(const TMqttMeterClient&) = delete;
    TMqttMeterClient& operator=(const TMqttMeterClient&) = delete;

    // Why the connection cannot be set up as asked (an unreadable CA file),
    // empty when it can.
    const QString& SetupError() const { return setupError_; }
    void Start();

    void SetOnline(bool online);
    void SendState(const QByteArray& json);
    // Waits until the broker has acknowledged every message, the connection
    // is down or the deadline passes; the messages not delivered.
    qint64 WaitDelivered(Clock::time_point deadline);
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
    void Connected();
    void Acknowledged();

    // With mutex_ held.
    void PublishStatus();
    void Pump();
    void Hand(const QByteArray& topic, const QByteArray& payload, bool retain);

    const QByteArray host_;
    const int port_;
    const QByteArray stateTopic_;
    const QByteArray statusTopic_;
    const std::size_t bound_;
    const std::size_t connection_;
    const std::shared_ptr<TMqttBrokerReport> report_;
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
    std::deque<QByteArray> held_;
    qint64 outstanding_ = 0; // handed to the library, not yet acknowledged
};
