#pragma once

#include "RepeatedMessages.h"
#include "SiteOutput.h"
#include "Spool.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>

class QNetworkReply;

// How much the InfluxDB writer keeps and sends at once, and how long it waits.
struct TInfluxLimits {
    TSpoolLimits Spool{.Stem = "kelvane-log.influx"};
    qint64 BatchBytes = 256 << 10; // a write's lines, at least one
    std::chrono::milliseconds FirstRetry{1000}; // after a failed write, doubled at each further failure
    std::chrono::milliseconds LastRetry{30000};
    std::chrono::milliseconds RequestTimeout{5000};
};

// The readings written to InfluxDB 1.x through its /write endpoint, one line
// of line protocol per pass of a meter that answered. Lines wait in a spool,
// in memory and beyond its bound in files, and go in batches, in order, one
// request at a time; a write that fails for the server's or the network's
// sake, or gets no answer in time, is sent again after a pause that grows
// (a write sent twice stores each point once: InfluxDB keeps one point for a
// measurement, tag set and time), one that InfluxDB refuses (4xx) is
// dropped. Past the files' bound the oldest lines go. Writing that fails is
// one message, with the reason; writing that works again one more, with the
// lines lost. At the end the lines not written stay in the files for the
// next start. Messages said again and again within a
// minute, as a server that refuses some lines and takes others gives, are
// counted.
class TInfluxWriter : public TSiteOutput {
public:
    // url: the server, "http://127.0.0.1:8086"; database: where the lines go.
    TInfluxWriter(const QUrl& url, const QString& database, const TInfluxLimits& limits = {});
    ~TInfluxWriter() override;

    void Publish(const TMeterReading& reading) override;
    void Finish(Clock::time_point deadline) override;

private:
    void SendWhenIdle();
    void Send();
    void OnReply(QNetworkReply* reply);
    void Written();
    void Refused(const QString& reason);
    void Failed(const QString& reason);
    void NoteLost();
    void NoteFailure(const QString& reason);
    // Turns the event loop until Done() or the time.
    void Wait(Clock::time_point until);
    // All written, or past the end's deadline with no write in flight.
    bool Done() const;
    // The write in flight, without its answer.
    void Abandon();
    // The server's address for messages, without the query or a password.
    QString Where() const;

    QUrl writeUrl_;
    TInfluxLimits limits_;
    QNetworkAccessManager manager_;
    QTimer retry_;
    std::chrono::milliseconds retryDelay_;
    TSpool lines_; // the first sent_ of them in memory are in the request
    qsizetype sent_ = 0;
    QNetworkReply* request_ = nullptr;
    bool failing_ = false;
    Clock::time_point sendUntil_ = Clock::time_point::max();
    // Lines lost, by the bound or refused, that no message has counted yet.
    qint64 unsaidLost_ = 0;
    TRepeatedMessages messages_;
};
