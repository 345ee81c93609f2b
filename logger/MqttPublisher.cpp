#include "MqttPublisher.h"

#include "HomeAssistantDiscovery.h"
#include "LoggerMessages.h"
#include "MeterName.h"
#include "MqttBacklog.h"
#include "MqttBrokerReport.h"
#include "MqttMeterClient.h"
#include "OutputReports.h"
#include "QuantityKey.h"
#include "WiringVerdicts.h"

#include <QSysInfo>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <malloc.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// libmosquitto is set up once for the process and cleaned up at its end.
// The connections' threads, one a meter, hand each other's messages to the
// library and free them: glibc's allocator would give them up to eight
// arenas a core, each keeping what was freed in it, and the memory of the
// records held through an outage would not come back when they go. Two
// arenas keep the process near what it holds.
void EnsureMosquittoLibrary()
{
    ::mallopt(M_ARENA_MAX, 2);
    static const struct TLibrary {
        TLibrary() { mosquitto_lib_init(); }
        ~TLibrary() { mosquitto_lib_cleanup(); }
    } library;
}

QString BrokerName(const TMqttOptions& options)
{
    const QString host = options.Host.contains(':') ? '[' + options.Host + ']' : options.Host;
    return QString("%1:%2").arg(host).arg(options.Port);
}

// A client id no other connection to the broker has: a second one with the
// same id would push this one off, whichever logger or host it comes from.
QString ClientId()
{
    static std::atomic<int> next = 0;
    return QString("kelvane-log-%1-%2-%3").arg(QSysInfo::machineHostName()).arg(::getpid()).arg(next++);
}

// The shortest text that reads back as the same double, so that a
// subscriber gets the meter's value in full. JSON has no NaN or infinity: a
// register that holds one gives null.
QByteArray JsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    const std::to_chars_result written = std::to_chars(std::begin(text), std::end(text), value);
    return QByteArray(text, int(written.ptr - text));
}

// {"time":"2026-12-09T19:25:25.123Z","address":3,"values":{"total_real_power":1234.5}}:
// the quantities of this pass only. The keys are letters, digits and '_',
// and the time is ISO 8601, so nothing needs escaping.
QByteArray StateJson(const TMeterReading& reading)
{
    QByteArray json = "{\"time\":\"" + reading.Time.toUTC().toString(Qt::ISODateWithMs).toLatin1() +
                      "\",\"address\":" + QByteArray::number(reading.Meter.Address) + ",\"values\":{";
    const char* separator = "";
    for (std::size_t i = 0; i < reading.Values.size(); ++i) {
        if (!reading.Values[i])
            continue;
        json += separator + ('"' + QuantityKeys()[i].toLatin1() + "\":") + JsonNumber(*reading.Values[i]);
        separator = ",";
    }
    return json + "}}";
}

// The verdicts alone, check by check: the values they judged change at
// every pass.
QString Verdicts(const std::vector<rWiringCheck>& checks)
{
    QString verdicts;
    for (const rWiringCheck& check : checks)
        verdicts += WiringVerdicts::CheckKey(check) + '=' + WiringVerdicts::VerdictText(check.Verdict) + ' ';
    return verdicts;
}

bool SameMeter(const TSiteMeterId& a, const TSiteMeterId& b)
{
    return a.Name == b.Name && a.Link == b.Link && a.Address == b.Address;
}

} // namespace

TMqttPublisher::TMqttPublisher(const TMqttOptions& options, const std::vector<TSiteMeterId>& meters,
                               const TSpoolLimits& held, std::shared_ptr<const THomeAssistantDiscovery> discovery)
    : meters_(meters), report_(std::make_shared<TMqttBrokerReport>(BrokerName(options), meters.size())),
      verdicts_(meters.size()), discovery_(std::move(discovery)), identities_(meters.size())
{
    EnsureMosquittoLibrary();
    // A quarter of the share for what the connections hold unacknowledged,
    // the rest for the backlog.
    TSpoolLimits backlog = held;
    backlog.MemoryBytes = held.MemoryBytes * 3 / 4;
    backlog_ = std::make_shared<TMqttBacklog>(backlog, held.MemoryBytes / 4, report_);
    for (std::size_t i = 0; i < meters_.size(); ++i) {
        const QString topic = MeterName::MqttTopic(options.Prefix, meters_[i].Name);
        wiringTopics_.push_back((topic + "/wiring").toUtf8());
        clients_.push_back(std::make_shared<TMqttMeterClient>(options, ClientId(), topic, i, report_, backlog_));
    }
    // A connection that cannot be made as asked is not made in a weaker
    // form: no MQTT for this run, said once.
    if (!clients_.empty() && !clients_.front()->SetupError().isEmpty()) {
        LoggerMessage(QString("MQTT broker %1: %2; no MQTT output").arg(report_->Broker(), clients_.front()->SetupError()));
        clients_.clear();
    }
    if (backlog_->Inherited() > 0)
        LoggerMessage(SpoolInherited("MQTT broker " + report_->Broker(), backlog_->Inherited(), "state message",
                                     backlog_->Pattern()));
    backlog_->SetClients(clients_);
    if (discovery_ && !clients_.empty())
        StartDiscovery();
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->Start();
}

// Every meter announced as far as it is known; the first meter's connection
// hears Home Assistant come back and this site's configs on the broker. It
// holds the clients weakly, itself among them.
void TMqttPublisher::StartDiscovery()
{
    for (std::size_t i = 0; i < clients_.size(); ++i)
        Announce(i);
    std::vector<std::weak_ptr<TMqttMeterClient>> clients(clients_.begin(), clients_.end());
    clients_.front()->Subscribe(
        discovery_->Subscriptions(),
        [discovery = discovery_, clients](const QByteArray& topic, const QByteArray& payload) {
            if (discovery->Birth(topic, payload)) {
                for (const std::weak_ptr<TMqttMeterClient>& client : clients)
                    if (const std::shared_ptr<TMqttMeterClient> held = client.lock())
                        held->SendRetainedAgain();
            } else if (discovery->Stale(topic, payload)) {
                if (const std::shared_ptr<TMqttMeterClient> first = clients.front().lock())
                    first->ClearRetained(topic);
            }
        });
}

void TMqttPublisher::Announce(std::size_t meter)
{
    for (const HomeAssistant::TConfig& config : discovery_->Configs(meter, identities_[meter]))
        clients_[meter]->SetRetained(config.Topic, config.Payload);
}

// Retained, so that a subscriber that comes later finds the latest; sent
// when the verdicts change, and not for a pass that could not judge them.
void TMqttPublisher::PublishWiring(std::size_t meter, const std::vector<rWiringCheck>& checks)
{
    const QString verdicts = Verdicts(checks);
    if (checks.empty() || verdicts == verdicts_[meter])
        return;
    verdicts_[meter] = verdicts;
    clients_[meter]->SetRetained(wiringTopics_[meter], WiringVerdicts::Json(checks));
}

TMqttPublisher::~TMqttPublisher()
{
    if (!finished_)
        Stop(Clock::now() + std::chrono::seconds(2));
}

void TMqttPublisher::Publish(const TMeterReading& reading)
{
    const auto meter = std::find_if(meters_.begin(), meters_.end(),
                                    [&reading](const TSiteMeterId& m) { return SameMeter(m, reading.Meter); });
    if (meter == meters_.end() || clients_.empty())
        return;
    const std::size_t index = std::size_t(meter - meters_.begin());
    TMqttMeterClient& client = *clients_[index];
    if (discovery_ && HomeAssistant::Learn(identities_[index], reading))
        Announce(index);
    PublishWiring(index, reading.Wiring);
    client.SetOnline(reading.Answered);
    if (reading.Answered)
        backlog_->Add(client.StateTopic(), StateJson(reading));
}

void TMqttPublisher::Finish(Clock::time_point deadline)
{
    finished_ = true;
    // The disconnects take a moment of the time given after the wait.
    const Clock::time_point sendUntil = deadline - std::chrono::milliseconds(200);
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->SetOnline(false);
    WaitSettled(sendUntil);
    std::deque<std::pair<QByteArray, QByteArray>> unacknowledged;
    qint64 undelivered = 0;
    const std::vector<std::shared_ptr<TMqttMeterClient>> clients = clients_;
    Stop(deadline);
    for (const std::shared_ptr<TMqttMeterClient>& client : clients) {
        for (QByteArray& json : client->TakeUnacknowledged())
            unacknowledged.emplace_back(client->StateTopic(), std::move(json));
        undelivered += client->StatusesUndelivered();
    }
    backlog_->Save(unacknowledged);
    undelivered += report_->TakeDropped();
    if (undelivered > 0)
        LoggerMessage(MqttUndelivered(report_->Broker(), undelivered));
    if (const qint64 kept = backlog_->Records(); kept > 0)
        LoggerMessage(SpoolKept("MQTT broker " + report_->Broker(), kept, "state message", backlog_->Pattern()));
}

// Until every message is acknowledged, a connection is down (nothing more
// goes then), or the deadline.
void TMqttPublisher::WaitSettled(Clock::time_point deadline)
{
    const auto up = [](const auto& client) { return client->Up(); };
    const auto settled = [](const auto& client) { return client->Settled(); };
    while (Clock::now() < deadline && std::all_of(clients_.begin(), clients_.end(), up) &&
           !(backlog_->Empty() && std::all_of(clients_.begin(), clients_.end(), settled)))
        std::this_thread::sleep_for(5ms);
}

void TMqttPublisher::Stop(Clock::time_point deadline)
{
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->Stop();
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->Join(deadline);
    backlog_->SetClients({});
    clients_.clear();
}
