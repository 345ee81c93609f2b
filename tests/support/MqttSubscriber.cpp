#include "MqttSubscriber.h"

#include <mosquitto.h>

#include <thread>

namespace testsupport {

TMqttSubscriber::TMqttSubscriber(uint16_t port, const QString& prefix, const QString& clientId, bool keepMessages)
    : filter_((prefix + "/#").toUtf8()), keep_(keepMessages)
{
    mosquitto_lib_init();
    mosq_ = clientId.isEmpty() ? mosquitto_new(nullptr, true, this)
                               : mosquitto_new(clientId.toUtf8().constData(), /*clean_session=*/false, this);
    mosquitto_connect_callback_set(mosq_, &TMqttSubscriber::OnConnect);
    mosquitto_subscribe_callback_set(mosq_, &TMqttSubscriber::OnSubscribe);
    mosquitto_message_callback_set(mosq_, &TMqttSubscriber::OnMessage);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
}

TMqttSubscriber::~TMqttSubscriber()
{
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

bool TMqttSubscriber::WaitSubscribed(std::chrono::seconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (const std::lock_guard lock(mutex_); subscribed_)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::vector<TMqttMessage> TMqttSubscriber::Messages() const
{
    const std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<TMqttMessage> TMqttSubscriber::On(const QString& topic) const
{
    std::vector<TMqttMessage> found;
    for (const TMqttMessage& message : Messages()) {
        if (message.Topic == topic)
            found.push_back(message);
    }
    return found;
}

std::map<QString, std::size_t> TMqttSubscriber::Counts() const
{
    const std::lock_guard lock(mutex_);
    return counts_;
}

void TMqttSubscriber::Publish(const QString& topic, const QByteArray& payload)
{
    mosquitto_publish(mosq_, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 1, false);
}

void TMqttSubscriber::OnConnect(mosquitto* mosq, void* self, int result)
{
    if (result == 0)
        mosquitto_subscribe(mosq, nullptr, static_cast<TMqttSubscriber*>(self)->filter_.constData(), 1);
}

void TMqttSubscriber::OnSubscribe(mosquitto*, void* self, int, int, const int*)
{
    auto* subscriber = static_cast<TMqttSubscriber*>(self);
    const std::lock_guard lock(subscriber->mutex_);
    subscriber->subscribed_ = true;
}

void TMqttSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* subscriber = static_cast<TMqttSubscriber*>(self);
    const QString topic = QString::fromUtf8(message->topic);
    const std::lock_guard lock(subscriber->mutex_);
    ++subscriber->counts_[topic];
    if (subscriber->keep_)
        subscriber->messages_.push_back(
            {topic, QByteArray(static_cast<const char*>(message->payload), message->payloadlen), message->retain});
}

} // namespace testsupport
