#include "EventStreams.h"

namespace {

// What the browser waits before it connects again after the stream ended.
constexpr int RetryMs = 1000;
constexpr int KeepAliveMs = 15000;

QByteArray EventText(const QByteArray& event, const QByteArray& data)
{
    return "event: " + event + "\ndata: " + data + "\n\n";
}

} // namespace

TEventStreams::TEventStreams()
{
    keepAlive_.setInterval(KeepAliveMs);
    QObject::connect(&keepAlive_, &QTimer::timeout, [this] {
        for (TStream& stream : streams_)
            Write(stream, ":\n\n");
        DropClosed();
    });
    keepAlive_.start();
}

void TEventStreams::Open(QHttpServerResponder&& responder, const QByteArray& event, const QByteArray& data)
{
    DropClosed();
    if (streams_.size() >= MaxStreams) {
        responder.write(QByteArray("too many pages open\n"), {{"Content-Type", "text/plain; charset=utf-8"}, {"Retry-After", "10"}},
                        QHttpServerResponder::StatusCode::ServiceUnavailable);
        return;
    }
    QTcpSocket* socket = responder.socket();
    responder.writeStatusLine(QHttpServerResponder::StatusCode::Ok);
    responder.writeHeaders({{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-store"}});
    streams_.push_back({socket, std::move(responder)});
    Write(streams_.back(), "retry: " + QByteArray::number(RetryMs) + "\n" + EventText(event, data));
}

void TEventStreams::Send(const QByteArray& event, const QByteArray& data)
{
    const QByteArray text = EventText(event, data);
    for (TStream& stream : streams_)
        Write(stream, text);
    DropClosed();
}

void TEventStreams::CloseAll()
{
    for (TStream& stream : streams_)
        if (stream.Socket)
            stream.Socket->disconnectFromHost();
    streams_.clear();
}

void TEventStreams::Write(TStream& stream, const QByteArray& bytes)
{
    if (!stream.Socket || stream.Socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (stream.Socket->bytesToWrite() > MaxBacklog) {
        stream.Socket->abort();
        return;
    }
    stream.Responder.writeBody(bytes);
}

// A stream whose connection ended, or that was cut off, is forgotten; its
// socket is the server's to delete.
void TEventStreams::DropClosed()
{
    std::erase_if(streams_, [](const TStream& stream) {
        return !stream.Socket || stream.Socket->state() != QAbstractSocket::ConnectedState;
    });
}
