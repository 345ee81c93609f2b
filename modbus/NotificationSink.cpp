#include "NotificationSink.h"

#include <QCoreApplication>
#include <QEvent>

#include <array>

namespace {

enum TNotification { nTransactionDone, nFrameData, nCapturedFrame, nInvalidFrameDiscard, nWorkerException, nLinkState };

QEvent::Type EventType(TNotification notification)
{
    static const std::array<QEvent::Type, 6> types = [] {
        std::array<QEvent::Type, 6> t{};
        for (auto& type : t)
            type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return t;
    }();
    return types[notification];
}

// One notification; it owns its payload until the sink takes it.
template <class T>
class TNotificationEvent : public QEvent {
public:
    TNotificationEvent(TNotification notification, std::unique_ptr<T> payload)
        : QEvent(EventType(notification)), payload_(std::move(payload))
    {
    }
    std::unique_ptr<T> Take() { return std::move(payload_); }

private:
    std::unique_ptr<T> payload_;
};

template <class T>
std::unique_ptr<T> Take(QEvent* event)
{
    return static_cast<TNotificationEvent<T>*>(event)->Take();
}

template <class T>
void Post(QObject* receiver, TNotification notification, std::unique_ptr<T> payload)
{
    QCoreApplication::postEvent(receiver, new TNotificationEvent<T>(notification, std::move(payload)));
}

} // namespace

TNotificationSink::TNotificationSink(TModbusConnection& connection) : connection_(connection)
{
    // Register the event types here on the GUI thread, before any worker posts.
    EventType(nTransactionDone);
}

void TNotificationSink::PostTransactionDone(std::unique_ptr<TModbusTransaction> transaction)
{
    Post(this, nTransactionDone, std::move(transaction));
}

void TNotificationSink::PostFrameData(TFrameData data, bool sent)
{
    Post(this, nFrameData, std::make_unique<TFrameCopy>(TFrameCopy{std::move(data), sent}));
}

void TNotificationSink::PostCapturedFrame(std::unique_ptr<TInspectCapturedFrameEventArgs> frame)
{
    Post(this, nCapturedFrame, std::move(frame));
}

void TNotificationSink::PostInvalidFrameDiscard()
{
    Post(this, nInvalidFrameDiscard, std::unique_ptr<int>());
}

void TNotificationSink::PostWorkerException(std::exception_ptr error)
{
    Post(this, nWorkerException, std::make_unique<std::exception_ptr>(std::move(error)));
}

void TNotificationSink::PostLinkState(std::string text)
{
    Post(this, nLinkState, std::make_unique<std::string>(std::move(text)));
}

bool TNotificationSink::event(QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == EventType(nTransactionDone))
        DeliverTransaction(Take<TModbusTransaction>(event));
    else if (type == EventType(nFrameData))
        DeliverFrameData(Take<TFrameCopy>(event));
    else if (type == EventType(nCapturedFrame))
        DeliverCapturedFrame(Take<TInspectCapturedFrameEventArgs>(event));
    else if (type == EventType(nInvalidFrameDiscard))
        DeliverInvalidFrameDiscard();
    else if (type == EventType(nWorkerException))
        DeliverWorkerException(Take<std::exception_ptr>(event));
    else if (type == EventType(nLinkState))
        DeliverLinkState(Take<std::string>(event));
    else
        return QObject::event(event);
    return true;
}

void TNotificationSink::DeliverTransaction(std::unique_ptr<TModbusTransaction> transaction)
{
    TTransactionClient* client = transaction->Client;
    if (!connection_.IsRegistered(client) || client->ServerAddress() != transaction->Info.ServerAddress)
        return;
    if (connection_.CanDeliver())
        client->ProcessTransaction(*transaction);
}

void TNotificationSink::DeliverFrameData(std::unique_ptr<TFrameCopy> copy)
{
    // A copy of the handler, which may replace itself while it runs.
    const TFrameDataEvent handler = copy->Sent ? connection_.OnFrameSend : connection_.OnFrameReceive;
    if (handler)
        handler(&connection_, copy->Data);
}

void TNotificationSink::DeliverCapturedFrame(std::unique_ptr<TInspectCapturedFrameEventArgs> frame)
{
    const TInspectCapturedFrameEvent handler = connection_.OnInspectCapturedFrame;
    if (handler)
        handler(&connection_, frame->ServerAddress, frame->CommandCode, frame->CommandData);
}

void TNotificationSink::DeliverInvalidFrameDiscard()
{
    const TNotifyEvent handler = connection_.OnInvalidFrameDiscard;
    if (handler)
        handler(&connection_);
}

void TNotificationSink::DeliverWorkerException(std::unique_ptr<std::exception_ptr> error)
{
    const TExceptionDisplay display = connection_.OnWorkerException;
    if (!display)
        std::rethrow_exception(*error);
    try {
        std::rethrow_exception(*error);
    } catch (const std::exception& e) {
        display(e);
    }
}

void TNotificationSink::DeliverLinkState(std::unique_ptr<std::string> text)
{
    const TLinkStateEvent handler = connection_.OnLinkStateChange;
    if (handler)
        handler(&connection_, *text);
}
