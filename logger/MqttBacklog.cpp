#include "MqttBacklog.h"

#include "MqttBrokerReport.h"
#include "MqttMeterClient.h"

namespace {

// A topic holds no NUL (MQTT forbids it), so the first one ends it.
QByteArray Record(const QByteArray& stateTopic, const QByteArray& json)
{
    return stateTopic + '\0' + json;
}

// The library keeps its own copy of a message until it is acknowledged.
qint64 InFlightCost(qint64 jsonBytes)
{
    return 2 * jsonBytes;
}

} // namespace

TMqttBacklog::TMqttBacklog(const TSpoolLimits& limits, qint64 inFlightBytes, std::shared_ptr<TMqttBrokerReport> report)
    : spool_(limits), inFlightLimit_(inFlightBytes), report_(std::move(report)), inherited_(spool_.Inherited())
{
}

void TMqttBacklog::SetClients(std::vector<std::shared_ptr<TMqttMeterClient>> clients)
{
    const std::lock_guard lock(mutex_);
    clients_ = std::move(clients);
    byTopic_.clear();
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        byTopic_[client->StateTopic()] = client.get();
}

void TMqttBacklog::Add(const QByteArray& stateTopic, const QByteArray& json)
{
    {
        const std::lock_guard lock(mutex_);
        spool_.Push(Record(stateTopic, json));
        NoteLost();
    }
    Dispatch();
}

// The head of the queue waits for its connection: a message of another
// meter behind it waits too, so that the backlog stays one queue in order.
// A message of a meter the site no longer has (left by a run before) goes,
// counted as dropped.
void TMqttBacklog::Dispatch()
{
    const std::lock_guard lock(mutex_);
    while (spool_.InMemory() > 0 && !clients_.empty()) {
        const QByteArray& record = spool_.At(0);
        const qsizetype end = record.indexOf('\0');
        const auto client = byTopic_.find(record.left(end));
        const QByteArray json = record.mid(end + 1);
        if (client == byTopic_.end()) {
            report_->NoteDropped(1);
        } else {
            if (inFlight_ > 0 && inFlight_ + InFlightCost(json.size()) > inFlightLimit_)
                return;
            if (!client->second->Offer(json))
                return;
            inFlight_ += InFlightCost(json.size());
        }
        spool_.Pop(1);
        NoteLost();
    }
}

void TMqttBacklog::Delivered(qint64 bytes)
{
    {
        const std::lock_guard lock(mutex_);
        inFlight_ = std::max<qint64>(inFlight_ - InFlightCost(bytes), 0);
    }
    Dispatch();
}

bool TMqttBacklog::Empty()
{
    const std::lock_guard lock(mutex_);
    return spool_.Empty();
}

qint64 TMqttBacklog::Records()
{
    const std::lock_guard lock(mutex_);
    return spool_.Records();
}

qint64 TMqttBacklog::Save(const std::deque<std::pair<QByteArray, QByteArray>>& unacknowledged)
{
    const std::lock_guard lock(mutex_);
    std::deque<QByteArray> older;
    for (const auto& [topic, json] : unacknowledged)
        older.push_back(Record(topic, json));
    const qint64 saved = spool_.Save(older);
    NoteLost();
    return saved;
}

void TMqttBacklog::NoteLost()
{
    if (const qint64 lost = spool_.TakeLost(); lost > 0)
        report_->NoteDropped(lost);
}
