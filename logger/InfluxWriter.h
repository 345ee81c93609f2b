#pragma once

#include "RepeatedMessages.h"
#include "SiteOutput.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <deque>

class QEventLoop;
class QNetworkReply;

// How much the InfluxDB writer keeps and sends at once, and how long it waits.
struct TInfluxLimits {
    qsizetype BufferLines = 100000;
    qsizetype BatchLines = 5000;
    std::chrono::milliseconds FirstRetry{1000}; // after a failed write, doubled at each further failure
    std::chrono::milliseconds LastRetry{30000};
    std::chrono::milliseconds RequestTimeout{5000};
};

// The readings written to InfluxDB 1.x through its /write endpoint, one line
// of line protocol per pass of a meter that answered. Lines wait in a
// bounded buffer and go in batches, one request at a time; a write that
// fails for the server's or the network's sake is sent again after a pause
// that grows, one that InfluxDB refuses (4xx) is dropped. When the buffer is
// full the oldest line waiting goes. Writing that fails is one message, with
// the reason; writing that works again one more, with the lines lost; the
// two again and again within a minute, as a server that refuses some lines
// and takes others gives, are counted.
class TInfluxWriter : public TSiteOutput {
public:
    // url: the server, "http://127.0.0.1:8086"; database: where the lines go.
    TInfluxWriter(const QUrl& url, const QString& database, const TInfluxLimits& limits = {});
    ~TInfluxWriter() override;

    void Publish(const TMeterReading& reading) override;
    void Finish(Clock::time_point deadline) override;

private:
    void Hold(QByteArray line);
    void SendWhenIdle();
    void Send();
    void OnReply(QNetworkReply* reply);
    void Written();
    void Refused(const QString& reason);
    void Failed(const QString& reason);
    void NoteFailure(const QString& reason);
    // The server's address for messages, without the query or a password.
    QString Where() const;

    QUrl writeUrl_;
    TInfluxLimits limits_;
    QNetworkAccessManager manager_;
    QTimer retry_;
    std::chrono::milliseconds retryDelay_;
    std::deque<QByteArray> lines_; // oldest first; the first sent_ of them are in the request
    qsizetype sent_ = 0;
    QNetworkReply* request_ = nullptr;
    bool failing_ = false;
    QEventLoop* finishing_ = nullptr; // Finish's wait, ended when all is written
    // Lines dropped, by the bound or refused, that no message has counted yet.
    qint64 unsaidDropped_ = 0;
    TRepeatedMessages messages_;
};
