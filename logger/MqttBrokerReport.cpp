#include "MqttBrokerReport.h"

#include "LoggerMessages.h"

TMqttBrokerReport::TMqttBrokerReport(const QString& broker, std::size_t connections)
    : broker_(broker), connected_(connections, false)
{
}

void TMqttBrokerReport::NoteConnected(std::size_t connection)
{
    const std::lock_guard lock(mutex_);
    if (!connected_[connection]) {
        connected_[connection] = true;
        ++connectedCount_;
    }
    if (up_ || connectedCount_ < connected_.size())
        return;
    up_ = true;
    if (!everUp_)
        Say("connected");
    else if (dropped_ > 0)
        Say(QString("connected again; %1 dropped while it was away").arg(CountedWere(dropped_, "message", "messages")));
    else
        Say("connected again");
    everUp_ = true;
    saidDown_ = false;
    dropped_ = 0;
}

void TMqttBrokerReport::NoteDown(std::size_t connection, const QString& reason)
{
    const std::lock_guard lock(mutex_);
    if (connected_[connection]) {
        connected_[connection] = false;
        --connectedCount_;
    }
    // The first connection to go says it for all; the others, and every
    // attempt that fails after, add nothing until the broker is back.
    if (saidDown_)
        return;
    saidDown_ = true;
    if (up_ || everUp_)
        Say(QString("connection lost (%1); reconnecting").arg(reason));
    else
        Say(QString("cannot connect (%1); trying again, at longer intervals up to 30 s").arg(reason));
    up_ = false;
}

void TMqttBrokerReport::NoteDropped(qint64 count)
{
    const std::lock_guard lock(mutex_);
    dropped_ += count;
}

qint64 TMqttBrokerReport::TakeDropped()
{
    const std::lock_guard lock(mutex_);
    return std::exchange(dropped_, 0);
}

void TMqttBrokerReport::Say(const QString& text) const
{
    LoggerMessage(QString("MQTT broker %1: %2").arg(broker_, text));
}
