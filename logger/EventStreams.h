#pragma once

#include <QByteArray>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <cstddef>
#include <list>

// The browsers that have the site's page open, each on a response kept open
// for server-sent events (text/event-stream): the logger sends, the browser
// only listens, and its EventSource connects again by itself when the
// logger goes away and comes back. A browser that takes its events more
// slowly than they come is cut off rather than held in memory without
// bound; it connects again and starts from the whole site.
class TEventStreams {
public:
    // Events held for one browser beyond which it is cut off.
    static constexpr qint64 MaxBacklog = 4 << 20;
    // Browsers served at once; one more is turned away.
    static constexpr std::size_t MaxStreams = 64;

    TEventStreams();

    // Answers the request with the head of an event stream and its first
    // event, and keeps the connection for those to come; 503 when MaxStreams
    // are open.
    void Open(QHttpServerResponder&& responder, const QByteArray& event, const QByteArray& data);
    // True while no browser listens: nothing need be made to send.
    bool Empty() const { return streams_.empty(); }
    // One event to every browser: data is one line (compact JSON).
    void Send(const QByteArray& event, const QByteArray& data);
    // Ends every stream; the browsers' data stays on the way.
    void CloseAll();

private:
    struct TStream {
        QPointer<QTcpSocket> Socket; // gone once the server deleted the closed connection
        QHttpServerResponder Responder;
    };

    void Write(TStream& stream, const QByteArray& bytes);
    void DropClosed();

    std::list<TStream> streams_; // a list: a responder can be moved out of, not assigned
    QTimer keepAlive_; // a comment now and then, so that idle connections stay open through proxies
};
