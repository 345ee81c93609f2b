#include "MqttMeterClient.h"

#include "LoggerMessages.h"
#include "MqttBacklog.h"
#include "MqttBrokerReport.h"
#include "SocketPairWatch.h"

#include <mosquitto.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

using namespace std::chrono_literals;

namespace {

constexpr int KeepAliveSeconds = 30;
// How long a select() of the connection's thread lasts when nothing comes:
// what a connection costs when idle. A stop and a publish wake it at once.
constexpr int LoopTimeoutMs = 1000;
constexpr std::chrono::seconds FirstRetryDelay = 1s;
constexpr std::chrono::seconds LastRetryDelay = 30s;
// Unacknowledged messages in the library at once: libmosquitto's own
// default for the messages in flight.
constexpr qint64 Window = 20;
constexpr int QoS = 1;

// The library's text made part of a sentence: "the connection was lost".
QString LibraryText(const char* text)
{
    QString reason = QString::fromUtf8(text);
    if (reason.endsWith('.'))
        reason.chop(1);
    if (!reason.isEmpty())
        reason[0] = reason[0].toLower();
    return reason;
}

} // namespace

TMqttMeterClient::TMqttMeterClient(const TMqttOptions& options, const QString& clientId, const QString& topic,
                                   std::size_t connection, std::shared_ptr<TMqttBrokerReport> report,
                                   std::weak_ptr<TMqttBacklog> backlog)
    : host_(options.Host.toUtf8()),
      port_(options.Port),
      stateTopic_((topic + "/state").toUtf8()),
      statusTopic_((topic + "/status").toUtf8()),
      connection_(connection),
      report_(std::move(report)),
      backlog_(std::move(backlog)),
      mosq_(mosquitto_new(clientId.toUtf8().constData(), /*clean_session=*/true, this)),
      libraryWake_(TakeSocketPairRead())
{
    // The meter's thread runs the connection while the logger's main thread
    // publishes: the library must lock its queues.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_will_set(mosq_, statusTopic_.constData(), 7, "offline", QoS, /*retain=*/true);
    if (!options.User.isEmpty())
        mosquitto_username_pw_set(mosq_, options.User.toUtf8().constData(), options.Password.toUtf8().constData());
    if (!options.CaFile.isEmpty() &&
        mosquitto_tls_set(mosq_, options.CaFile.toUtf8().constData(), nullptr, nullptr, nullptr, nullptr) !=
            MOSQ_ERR_SUCCESS)
        setupError_ = QString("the CA file \"%1\" cannot be read").arg(options.CaFile);
    mosquitto_connect_callback_set(mosq_, &TMqttMeterClient::OnConnect);
    mosquitto_publish_callback_set(mosq_, &TMqttMeterClient::OnPublish);
    mosquitto_message_callback_set(mosq_, &TMqttMeterClient::OnMessage);
}

TMqttMeterClient::~TMqttMeterClient()
{
    mosquitto_destroy(mosq_);
}

void TMqttMeterClient::Start()
{
    // The thread shares the client, so that one left behind at the end
    // (still in a name lookup) never uses a client already destroyed.
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
}

void TMqttMeterClient::Run()
{
    std::chrono::seconds delay = FirstRetryDelay;
    while (!stopping_) {
        int result = mosquitto_connect_async(mosq_, host_.constData(), port_, KeepAliveSeconds);
        // A connect may make the library's pair anew.
        if (const int pair = TakeSocketPairRead(); pair >= 0)
            libraryWake_ = pair;
        if (result == MOSQ_ERR_SUCCESS)
            result = LoopWhileConnected();
        if (MarkDisconnected())
            delay = FirstRetryDelay;
        if (stopping_)
            break;
        report_->NoteDown(connection_, Reason(result));
        WaitBeforeRetry(delay);
        delay = std::min(delay * 2, LastRetryDelay);
    }
    SendDisconnect();
    const std::lock_guard lock(mutex_);
    done_ = true;
    changed_.notify_all();
}

int TMqttMeterClient::LoopWhileConnected()
{
    int result = MOSQ_ERR_SUCCESS;
    while (!stopping_ && result == MOSQ_ERR_SUCCESS)
        result = LoopOnce(LoopTimeoutMs);
    return result;
}

// One turn of the connection: mosquitto_loop(), or, for a client whose
// descriptors are numbered FD_SETSIZE (1024) or above, which its select()
// refuses, the same turn with poll(). Every client holds three descriptors
// (its socket and the library's wake-up pair), so a site of more than about
// 300 meters has such connections.
int TMqttMeterClient::LoopOnce(int timeoutMs)
{
    const int result = mosquitto_loop(mosq_, timeoutMs, 1);
    return result == MOSQ_ERR_INVAL ? PollOnce(timeoutMs) : result;
}

// What mosquitto_loop() does, with poll(): the library's wake-up pair is
// read here as mosquitto_loop() reads it, so that a packet queued by another
// thread (a state, the stop's DISCONNECT) is written at once.
int TMqttMeterClient::PollOnce(int timeoutMs)
{
    const int socket = mosquitto_socket(mosq_);
    if (socket < 0)
        return MOSQ_ERR_NO_CONN;
    pollfd polled[2] = {{socket, short(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0},
                        {libraryWake_, POLLIN, 0}};
    if (::poll(polled, 2, timeoutMs) < 0)
        return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
    char wakes[256];
    bool woken = false;
    while ((polled[1].revents & POLLIN) && ::read(libraryWake_, wakes, sizeof wakes) > 0)
        woken = true;
    int result = MOSQ_ERR_SUCCESS;
    if (polled[0].revents & (POLLIN | POLLHUP | POLLERR))
        result = mosquitto_loop_read(mosq_, 1);
    if (result == MOSQ_ERR_SUCCESS && mosquitto_socket(mosq_) >= 0 && (woken || (polled[0].revents & POLLOUT)))
        result = mosquitto_loop_write(mosq_, 1);
    return result == MOSQ_ERR_SUCCESS ? mosquitto_loop_misc(mosq_) : result;
}

// The DISCONNECT that Stop() queued woke the thread from its wait, which
// had not asked to write; a few short loops write it, so that the broker
// knows the end is meant and sends no will.
void TMqttMeterClient::SendDisconnect()
{
    mosquitto_disconnect(mosq_);
    for (int i = 0; i < 3 && LoopOnce(50) == MOSQ_ERR_SUCCESS; ++i) {
    }
}

void TMqttMeterClient::WaitBeforeRetry(std::chrono::seconds delay)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, delay, [this] { return stopping_.load(); });
}

bool TMqttMeterClient::MarkDisconnected()
{
    const std::lock_guard lock(mutex_);
    changed_.notify_all();
    return std::exchange(connected_, false);
}

QString TMqttMeterClient::Reason(int result) const
{
    if (!refusal_.isEmpty())
        return refusal_;
    if (result == MOSQ_ERR_ERRNO)
        return SystemReason(errno);
    return LibraryText(mosquitto_strerror(result));
}

void TMqttMeterClient::OnConnect(mosquitto*, void* self, int result)
{
    auto* client = static_cast<TMqttMeterClient*>(self);
    if (result != 0) {
        client->refusal_ = "refused: " + LibraryText(mosquitto_connack_string(result));
        return;
    }
    client->refusal_.clear();
    client->Connected();
}

void TMqttMeterClient::OnPublish(mosquitto*, void* self, int messageId)
{
    static_cast<TMqttMeterClient*>(self)->Acknowledged(messageId);
}

void TMqttMeterClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    const auto* client = static_cast<TMqttMeterClient*>(self);
    if (client->onMessage_)
        client->onMessage_(QByteArray(message->topic),
                           QByteArray(static_cast<const char*>(message->payload), message->payloadlen));
}

// The status again after each connect: a broker restarted without
// persistence has forgotten the retained one. The backlog is told without
// this connection's lock, which it takes itself.
void TMqttMeterClient::Connected()
{
    {
        const std::lock_guard lock(mutex_);
        connected_ = true;
        PublishStatus();
        PublishRetained();
        for (const QByteArray& filter : filters_)
            mosquitto_subscribe(mosq_, nullptr, filter.constData(), QoS);
    }
    report_->NoteConnected(connection_);
    if (const std::shared_ptr<TMqttBacklog> backlog = backlog_.lock())
        backlog->Dispatch();
}

void TMqttMeterClient::Acknowledged(int messageId)
{
    qint64 bytes = 0;
    {
        const std::lock_guard lock(mutex_);
        outstanding_ = std::max<qint64>(outstanding_ - 1, 0);
        const auto state = std::find_if(states_.begin(), states_.end(),
                                        [messageId](const auto& handed) { return handed.first == messageId; });
        if (state != states_.end()) {
            bytes = state->second.size();
            states_.erase(state);
        }
        changed_.notify_all();
    }
    if (const std::shared_ptr<TMqttBacklog> backlog = backlog_.lock())
        backlog->Delivered(bytes);
}

void TMqttMeterClient::SetOnline(bool online)
{
    const std::lock_guard lock(mutex_);
    if (online_ == online)
        return;
    online_ = online;
    statusUnsent_ = true;
    PublishStatus();
}

void TMqttMeterClient::SetRetained(const QByteArray& topic, const QByteArray& payload)
{
    const std::lock_guard lock(mutex_);
    retained_[topic] = payload;
    if (connected_)
        Hand(topic, payload, /*retain=*/true);
}

void TMqttMeterClient::SendRetainedAgain()
{
    const std::lock_guard lock(mutex_);
    PublishRetained();
}

void TMqttMeterClient::ClearRetained(const QByteArray& topic)
{
    const std::lock_guard lock(mutex_);
    if (connected_)
        Hand(topic, {}, /*retain=*/true);
}

void TMqttMeterClient::Subscribe(std::vector<QByteArray> filters, TMessageHandler onMessage)
{
    filters_ = std::move(filters);
    onMessage_ = std::move(onMessage);
}

bool TMqttMeterClient::Offer(const QByteArray& json)
{
    const std::lock_guard lock(mutex_);
    if (!connected_ || outstanding_ >= Window)
        return false;
    int messageId = 0;
    switch (Hand(stateTopic_, json, /*retain=*/false, &messageId)) {
    case MOSQ_ERR_SUCCESS:
    case MOSQ_ERR_NO_CONN:
        states_.emplace_back(messageId, json);
        return true;
    // A connection going down while it was handed: it stays in the backlog
    // for the reconnect.
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_ERRNO:
        return false;
    default:
        report_->NoteDropped(1);
        return true;
    }
}

bool TMqttMeterClient::Up()
{
    const std::lock_guard lock(mutex_);
    return connected_;
}

bool TMqttMeterClient::Settled()
{
    const std::lock_guard lock(mutex_);
    return !connected_ || (outstanding_ == 0 && !statusUnsent_);
}

std::deque<QByteArray> TMqttMeterClient::TakeUnacknowledged()
{
    const std::lock_guard lock(mutex_);
    std::deque<QByteArray> states;
    for (auto& [id, json] : states_)
        states.push_back(std::move(json));
    outstanding_ -= qint64(states_.size());
    states_.clear();
    return states;
}

qint64 TMqttMeterClient::StatusesUndelivered()
{
    const std::lock_guard lock(mutex_);
    return outstanding_ + (statusUnsent_ ? 1 : 0);
}

void TMqttMeterClient::Stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    // Queues the DISCONNECT, which wakes the thread's wait.
    mosquitto_disconnect(mosq_);
}

void TMqttMeterClient::Join(Clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    const bool ended = changed_.wait_until(lock, deadline, [this] { return done_; });
    lock.unlock();
    if (ended)
        thread_.join();
    else
        thread_.detach();
}

void TMqttMeterClient::PublishStatus()
{
    if (!connected_ || !online_)
        return;
    const int result = Hand(statusTopic_, *online_ ? "online" : "offline", /*retain=*/true);
    statusUnsent_ = result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN;
}

void TMqttMeterClient::PublishRetained()
{
    if (!connected_)
        return;
    for (const auto& [topic, payload] : retained_)
        Hand(topic, payload, /*retain=*/true);
}

// One the library takes while the connection has just gone it keeps and
// sends after the reconnect, so it is outstanding all the same. The
// library's result.
int TMqttMeterClient::Hand(const QByteArray& topic, const QByteArray& payload, bool retain, int* messageId)
{
    const int result = mosquitto_publish(mosq_, messageId, topic.constData(), int(payload.size()), payload.constData(),
                                         QoS, retain);
    if (result == MOSQ_ERR_SUCCESS || result == MOSQ_ERR_NO_CONN)
        ++outstanding_;
    return result;
}
