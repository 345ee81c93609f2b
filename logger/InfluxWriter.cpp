#include "InfluxWriter.h"

#include "LoggerMessages.h"
#include "MeterName.h"
#include "OutputReports.h"
#include "QuantityKey.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkReply>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>

namespace {

// What a write in flight at the end's deadline gets for its answer.
constexpr std::chrono::seconds InFlightGrace{1};

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
    : writeUrl_(url), limits_(limits), retryDelay_(limits.FirstRetry), lines_(limits.Spool)
{
    QString path = writeUrl_.path();
    while (path.endsWith('/'))
        path.chop(1);
    writeUrl_.setPath(path + "/write");
    writeUrl_.setQuery(QUrlQuery{{"db", database}, {"precision", "ms"}});
    retry_.setSingleShot(true);
    QObject::connect(&retry_, &QTimer::timeout, &manager_, [this] { Send(); });
    if (lines_.Inherited() > 0)
        LoggerMessage(SpoolInherited("InfluxDB at " + Where(), lines_.Inherited(), "line", lines_.Pattern()));
    SendWhenIdle();
}

TInfluxWriter::~TInfluxWriter()
{
    Abandon();
}

void TInfluxWriter::Publish(const TMeterReading& reading)
{
    if (!reading.Answered)
        return;
    QByteArray line = Line(reading);
    if (line.isEmpty())
        return;
    lines_.Push(std::move(line));
    NoteLost();
    SendWhenIdle();
}

// A request at a time; while a retry waits, new lines wait with it. Past
// the end's deadline none starts.
void TInfluxWriter::SendWhenIdle()
{
    if (!request_ && !retry_.isActive() && lines_.InMemory() > 0 && Clock::now() < sendUntil_)
        Send();
}

void TInfluxWriter::Send()
{
    QByteArray body;
    sent_ = 0;
    while (sent_ < lines_.InMemory() && (body.isEmpty() || body.size() + lines_.At(sent_).size() < limits_.BatchBytes))
        body += lines_.At(sent_++) + '\n';
    if (sent_ == 0)
        return;
    lines_.Pin(sent_);
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
        Refused(InfluxRefused(status, ServerError(reply->readAll())));
    else if (status >= 500)
        Failed(InfluxFailed(QString("HTTP %1: %2").arg(status).arg(ServerError(reply->readAll())),
                            limits_.Spool.MemoryBytes, lines_.Pattern()));
    else if (reply->error() == QNetworkReply::OperationCanceledError)
        Failed(InfluxNoAnswer(limits_.RequestTimeout.count(), limits_.Spool.MemoryBytes, lines_.Pattern()));
    else
        Failed(InfluxFailed(reply->errorString(), limits_.Spool.MemoryBytes, lines_.Pattern()));
}

void TInfluxWriter::Written()
{
    lines_.Pop(std::exchange(sent_, 0));
    NoteLost();
    retryDelay_ = limits_.FirstRetry;
    if (failing_ && messages_.Say(QString("writing to InfluxDB at %1 works again").arg(Where()),
                                  InfluxWorksAgain(Where(), unsaidLost_)))
        unsaidLost_ = 0;
    failing_ = false;
    SendWhenIdle();
}

// Sending the same lines again would be refused again: they go, and the
// next lines are sent at once, since they may well be taken.
void TInfluxWriter::Refused(const QString& reason)
{
    NoteFailure(reason);
    unsaidLost_ += sent_;
    lines_.Pop(std::exchange(sent_, 0));
    NoteLost();
    SendWhenIdle();
}

// The lines stay, for a later try after a pause twice as long as the last.
void TInfluxWriter::Failed(const QString& reason)
{
    NoteFailure(reason);
    sent_ = 0;
    lines_.Pin(0);
    retry_.start(retryDelay_);
    retryDelay_ = std::min(retryDelay_ * 2, limits_.LastRetry);
}

void TInfluxWriter::NoteLost()
{
    unsaidLost_ += lines_.TakeLost();
}

void TInfluxWriter::NoteFailure(const QString& reason)
{
    if (!failing_)
        messages_.Say(QString("cannot write to InfluxDB at %1").arg(Where()), InfluxCannotWrite(Where(), reason));
    failing_ = true;
}

// What is not written by the deadline stays in the spool files. A write in
// flight then gets a second more for its answer, since it may well have
// been stored; without one by then it may have been, and is said to be.
void TInfluxWriter::Finish(Clock::time_point deadline)
{
    sendUntil_ = deadline;
    // The end is near: a retry waiting goes now.
    if (retry_.isActive()) {
        retry_.stop();
        Send();
    }
    SendWhenIdle();
    Wait(deadline);
    if (request_)
        Wait(deadline + InFlightGrace);
    retry_.stop();
    messages_.SayCounts();
    const qint64 uncertain = request_ ? sent_ : 0;
    Abandon();
    const qint64 saved = lines_.Save();
    NoteLost();
    if (unsaidLost_ > 0)
        LoggerMessage(InfluxNotWritten(Where(), unsaidLost_));
    unsaidLost_ = 0;
    // After Save every line held is in the files; a failed Save counted its lines as lost.
    const qint64 uncertainKept = saved > 0 ? uncertain : 0;
    if (uncertainKept > 0)
        LoggerMessage(InfluxUncertainAtEnd(Where(), uncertainKept, lines_.Pattern()));
    if (lines_.Records() > uncertainKept)
        LoggerMessage(SpoolKept("InfluxDB at " + Where(), lines_.Records() - uncertainKept, "line", lines_.Pattern()));
}

// Not a QEventLoop of its own: at a stop the application has often been
// told to exit already (its links have ended), and a new loop would return
// at once, abandoning the write in flight. The timer wakes the wait at the
// time, set again should it come a little early.
void TInfluxWriter::Wait(Clock::time_point until)
{
    QTimer wake;
    wake.setSingleShot(true);
    while (!Done() && Clock::now() < until) {
        if (!wake.isActive())
            wake.start(std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void TInfluxWriter::Abandon()
{
    if (!request_)
        return;
    request_->disconnect(&manager_);
    request_->abort();
    request_->deleteLater();
    request_ = nullptr;
}

bool TInfluxWriter::Done() const
{
    return lines_.Empty() || (!request_ && Clock::now() >= sendUntil_);
}

QString TInfluxWriter::Where() const
{
    return writeUrl_.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
}
