#include "InfluxWriter.h"

#include "LoggerMessages.h"
#include "MeterName.h"
#include "QuantityKey.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkReply>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>

namespace {

// "kelvane,meter=Main\ incomer,address=1 total_real_power=1520.5,... 1773480413000";
// empty for a pass that brought no value.
QByteArray Line(const TMeterReading& reading)
{
    QByteArray fields;
    for (std::size_t i = 0; i < reading.Values.size(); ++i) {
        const std::optional<double>& value = reading.Values[i];
        // InfluxDB takes no NaN or infinity.
        if (!value || !std::isfinite(*value))
            continue;
        if (!fields.isEmpty())
            fields += ',';
        // The keys are letters, digits and '_': nothing to escape. The value
        // in the shortest digits that read back as the same double: as exact
        // as 17 digits, at a fifth of their cost.
        fields += QuantityKeys()[i].toLatin1() + '=' + QByteArray::number(*value, 'g', QLocale::FloatingPointShortest);
    }
    if (fields.isEmpty())
        return {};
    return "kelvane,meter=" + MeterName::InfluxTag(reading.Meter.Name) + ",address=" + QByteArray::number(reading.Meter.Address) +
           ' ' + fields + ' ' + QByteArray::number(reading.Time.toMSecsSinceEpoch());
}

// InfluxDB's own text for a refused write, {"error":"database not found: \"x\""},
// else the body as it came.
QString ServerError(const QByteArray& body)
{
    const QString error = QJsonDocument::fromJson(body).object().value("error").toString();
    return error.isEmpty() ? QString::fromUtf8(body).trimmed() : error;
}

} // namespace

TInfluxWriter::TInfluxWriter(const QUrl& url, const QString& database, const TInfluxLimits& limits)
    : writeUrl_(url), limits_(limits), retryDelay_(limits.FirstRetry)
{
    QString path = writeUrl_.path();
    while (path.endsWith('/'))
        path.chop(1);
    writeUrl_.setPath(path + "/write");
    writeUrl_.setQuery(QUrlQuery{{"db", database}, {"precision", "ms"}});
    retry_.setSingleShot(true);
    QObject::connect(&retry_, &QTimer::timeout, &manager_, [this] { Send(); });
}

TInfluxWriter::~TInfluxWriter()
{
    if (request_) {
        request_->disconnect(&manager_);
        request_->abort();
        request_->deleteLater();
    }
}

void TInfluxWriter::Publish(const TMeterReading& reading)
{
    if (!reading.Answered)
        return;
    QByteArray line = Line(reading);
    if (line.isEmpty())
        return;
    Hold(std::move(line));
    SendWhenIdle();
}

// Past the bound the oldest line not in the request goes, counted.
void TInfluxWriter::Hold(QByteArray line)
{
    lines_.push_back(std::move(line));
    while (qsizetype(lines_.size()) > limits_.BufferLines) {
        lines_.erase(lines_.begin() + sent_);
        ++unsaidDropped_;
    }
}

// A request at a time; while a retry waits, new lines wait with it.
void TInfluxWriter::SendWhenIdle()
{
    if (!request_ && !retry_.isActive() && !lines_.empty())
        Send();
}

void TInfluxWriter::Send()
{
    sent_ = std::min(qsizetype(lines_.size()), limits_.BatchLines);
    if (sent_ == 0)
        return;
    QByteArray body;
    for (qsizetype i = 0; i < sent_; ++i)
        body += lines_[std::size_t(i)] + '\n';
    QNetworkRequest request(writeUrl_);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain; charset=utf-8");
    request.setTransferTimeout(int(limits_.RequestTimeout.count()));
    request_ = manager_.post(request, body);
    QObject::connect(request_, &QNetworkReply::finished, &manager_, [this, reply = request_] { OnReply(reply); });
}

void TInfluxWriter::OnReply(QNetworkReply* reply)
{
    reply->deleteLater();
    request_ = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 200 && status < 300)
        Written();
    else if (status >= 400 && status < 500)
        Refused(QString("refused (HTTP %1): %2").arg(status).arg(ServerError(reply->readAll())));
    else if (status >= 500)
        Failed(QString("HTTP %1: %2").arg(status).arg(ServerError(reply->readAll())));
    else if (reply->error() == QNetworkReply::OperationCanceledError)
        Failed(QString("no answer within %1 ms").arg(limits_.RequestTimeout.count()));
    else
        Failed(reply->errorString());
    if (finishing_ && lines_.empty())
        finishing_->quit();
}

void TInfluxWriter::Written()
{
    lines_.erase(lines_.begin(), lines_.begin() + sent_);
    sent_ = 0;
    retryDelay_ = limits_.FirstRetry;
    if (failing_ && messages_.Say(QString("writing to InfluxDB at %1 works again").arg(Where()),
                                  QString("writing to InfluxDB at %1 works again; %2 dropped meanwhile")
                                      .arg(Where(), CountedWere(unsaidDropped_, "line", "lines"))))
        unsaidDropped_ = 0;
    failing_ = false;
    SendWhenIdle();
}

// Sending the same lines again would be refused again: they go, and the
// next lines are sent at once, since they may well be taken.
void TInfluxWriter::Refused(const QString& reason)
{
    NoteFailure(reason + "; lines it refuses are dropped");
    unsaidDropped_ += sent_;
    lines_.erase(lines_.begin(), lines_.begin() + sent_);
    sent_ = 0;
    SendWhenIdle();
}

// The lines stay, for a later try after a pause twice as long as the last.
void TInfluxWriter::Failed(const QString& reason)
{
    NoteFailure(QString("%1; keeping up to %2 lines and trying again").arg(reason).arg(limits_.BufferLines));
    sent_ = 0;
    retry_.start(retryDelay_);
    retryDelay_ = std::min(retryDelay_ * 2, limits_.LastRetry);
}

void TInfluxWriter::NoteFailure(const QString& reason)
{
    if (!failing_)
        messages_.Say(QString("cannot write to InfluxDB at %1").arg(Where()),
                      QString("cannot write to InfluxDB at %1: %2").arg(Where(), reason));
    failing_ = true;
}

void TInfluxWriter::Finish(Clock::time_point deadline)
{
    // The end is near: a retry waiting goes now.
    if (retry_.isActive()) {
        retry_.stop();
        Send();
    }
    SendWhenIdle();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!lines_.empty() && left.count() > 0) {
        QEventLoop loop;
        QTimer::singleShot(left, &loop, &QEventLoop::quit);
        finishing_ = &loop;
        loop.exec();
        finishing_ = nullptr;
    }
    retry_.stop();
    messages_.SayCounts();
    const qint64 unwritten = qint64(lines_.size()) + unsaidDropped_;
    if (unwritten > 0)
        LoggerMessage(QString("%1 not written to InfluxDB at %2").arg(CountedWere(unwritten, "line", "lines"), Where()));
}

QString TInfluxWriter::Where() const
{
    return writeUrl_.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
}
