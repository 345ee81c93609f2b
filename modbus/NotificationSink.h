#pragma once

// The GUI thread's end of a serial worker: a hidden QObject, created with its
// connection on the GUI thread, to which the worker posts one event per
// notification. Each event owns what it carries, so an event that is never
// delivered (its sink destroyed first) still frees it. Posted events of one
// sender arrive in the order they were posted.

#include "ModbusConnection.h"

#include <QObject>

#include <cstdint>
#include <exception>
#include <memory>

// A frame a monitor saw on the line, for OnInspectCapturedFrame.
struct TInspectCapturedFrameEventArgs {
    uint8_t ServerAddress = 0;
    uint8_t CommandCode = 0;
    TFrameData CommandData;
};

// A copy of a raw frame for OnFrameSend (Sent) or OnFrameReceive.
struct TFrameCopy {
    TFrameData Data;
    bool Sent = false;
};

class TNotificationSink : public QObject {
public:
    explicit TNotificationSink(TModbusConnection& connection);

    // Any thread.
    void PostTransactionDone(std::unique_ptr<TModbusTransaction> transaction);
    void PostFrameData(TFrameData data, bool sent);
    void PostCapturedFrame(std::unique_ptr<TInspectCapturedFrameEventArgs> frame);
    void PostInvalidFrameDiscard();
    void PostWorkerException(std::exception_ptr error);
    void PostLinkState(std::string text);

protected:
    bool event(QEvent* event) override;

private:
    // Each hands its payload to the connection's handler as the last thing it
    // does, since the handler may destroy the connection and this sink.
    void DeliverTransaction(std::unique_ptr<TModbusTransaction> transaction);
    void DeliverFrameData(std::unique_ptr<TFrameCopy> copy);
    void DeliverCapturedFrame(std::unique_ptr<TInspectCapturedFrameEventArgs> frame);
    void DeliverInvalidFrameDiscard();
    void DeliverWorkerException(std::unique_ptr<std::exception_ptr> error);
    void DeliverLinkState(std::unique_ptr<std::string> text);

    TModbusConnection& connection_;
};
