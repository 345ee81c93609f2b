#include "MqttPublisher.h"

#include "LoggerMessages.h"
#include "MeterName.h"
#include "MqttBrokerReport.h"
#include "MqttMeterClient.h"
#include "QuantityKey.h"

#include <QSysInfo>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <unistd.h>

namespace {

// libmosquitto is set up once for the process and cleaned up at its end.
void EnsureMosquittoLibrary()
{
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

bool SameMeter(const TSiteMeterId& a, const TSiteMeterId& b)
{
    return a.Name == b.Name && a.Link == b.Link && a.Address == b.Address;
}

} // namespace

TMqttPublisher::TMqttPublisher(const TMqttOptions& options, const std::vector<TSiteMeterId>& meters)
    : meters_(meters), report_(std::make_shared<TMqttBrokerReport>(BrokerName(options), meters.size()))
{
    EnsureMosquittoLibrary();
    for (std::size_t i = 0; i < meters_.size(); ++i) {
        const QString topic = options.Prefix + '/' + MeterName::MqttLevel(meters_[i].Name);
        clients_.push_back(std::make_shared<TMqttMeterClient>(options, ClientId(), topic, i, report_));
    }
    // A connection that cannot be made as asked is not made in a weaker
    // form: no MQTT for this run, said once.
    if (!clients_.empty() && !clients_.front()->SetupError().isEmpty()) {
        LoggerMessage(QString("MQTT broker %1: %2; no MQTT output").arg(report_->Broker(), clients_.front()->SetupError()));
        clients_.clear();
    }
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->Start();
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
    TMqttMeterClient& client = *clients_[std::size_t(meter - meters_.begin())];
    client.SetOnline(reading.Answered);
    if (reading.Answered)
        client.SendState(StateJson(reading));
}

void TMqttPublisher::Finish(Clock::time_point deadline)
{
    finished_ = true;
    // The disconnects take a moment of the time given after the wait.
    const Clock::time_point sendUntil = deadline - std::chrono::milliseconds(200);
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->SetOnline(false);
    qint64 undelivered = 0;
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        undelivered += client->WaitDelivered(sendUntil);
    Stop(deadline);
    undelivered += report_->TakeDropped();
    if (undelivered > 0)
        LoggerMessage(
            QString("MQTT broker %1: %2 could not be delivered before the end").arg(report_->Broker(), Counted(undelivered, "message", "messages")));
}

void TMqttPublisher::Stop(Clock::time_point deadline)
{
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->Stop();
    for (const std::shared_ptr<TMqttMeterClient>& client : clients_)
        client->Join(deadline);
    clients_.clear();
}
