#include "LocalEngine.h"

#include "CoreApp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <random>

namespace localengine {

namespace {

// The lowest port of the system's ephemeral range, from which it picks the
// local port of each outgoing connection and of each listen on port 0.
int EphemeralLow()
{
    QFile range("/proc/sys/net/ipv4/ip_local_port_range");
    if (!range.open(QIODevice::ReadOnly))
        return 32768;
    const int low = range.readAll().simplified().split(' ').value(0).toInt();
    return low > 10001 ? low : 32768;
}

} // namespace

// Picked below the ephemeral range: a port from it could be handed to another
// test's client or server between this check and the bind of the program
// the port is for, which then finds it in use.
uint16_t FreeLoopbackPort()
{
    static std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(10000, EphemeralLow() - 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer server;
        if (server.listen(QHostAddress::LocalHost, uint16_t(pick(random))))
            return server.serverPort();
    }
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    EnsureCoreApp();
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (std::chrono::milliseconds(elapsed.elapsed()) > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

namespace {

THttpAnswer Answer(QNetworkReply* reply, std::chrono::milliseconds timeout)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    THttpAnswer answer;
    if (reply->isFinished()) {
        answer.Status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.Body = reply->readAll();
    } else {
        reply->abort();
    }
    reply->deleteLater();
    return answer;
}

QNetworkAccessManager& Manager()
{
    EnsureCoreApp();
    static QNetworkAccessManager manager;
    return manager;
}

} // namespace

THttpAnswer HttpGet(const QUrl& url, std::chrono::milliseconds timeout)
{
    return Answer(Manager().get(QNetworkRequest(url)), timeout);
}

THttpAnswer HttpDelete(const QUrl& url, std::chrono::milliseconds timeout)
{
    return Answer(Manager().deleteResource(QNetworkRequest(url)), timeout);
}

THttpAnswer HttpPost(const QUrl& url, const QByteArray& body, const QByteArray& contentType,
                     std::chrono::milliseconds timeout)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return Answer(Manager().post(request, body), timeout);
}

TEngineProcess::TEngineProcess(QString program, QStringList arguments, QUrl ready, QString logFile)
    : program_(std::move(program)), arguments_(std::move(arguments)), ready_(std::move(ready)),
      logFile_(std::move(logFile))
{
}

TEngineProcess::~TEngineProcess()
{
    Stop();
}

bool TEngineProcess::Installed(const QString& program)
{
    return QFileInfo(program).isExecutable();
}

bool TEngineProcess::Start(std::chrono::milliseconds deadline)
{
    EnsureCoreApp();
    Stop();
    process_ = std::make_unique<QProcess>();
    // The output goes to a file, read only when the start fails: a pipe
    // nobody reads would fill and stop the program.
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->setStandardOutputFile(logFile_, QIODevice::Append);
    QElapsedTimer elapsed;
    elapsed.start();
    process_->start(program_, arguments_);
    const bool ready = WaitUntil(
        [&] { return !Running() || HttpGet(ready_, 2s).Status / 100 == 2; }, deadline) && Running();
    startTime_ = std::chrono::milliseconds(elapsed.elapsed());
    if (!ready) {
        QFile log(logFile_);
        log.open(QIODevice::ReadOnly);
        failure_ = program_ + " not ready at " + ready_.toString() + ":\n" + QString::fromUtf8(log.readAll().right(3000));
    }
    return ready;
}

void TEngineProcess::Stop()
{
    if (!process_)
        return;
    process_->terminate();
    if (!process_->waitForFinished(20000))
        process_->kill();
    process_->waitForFinished(5000);
    process_.reset();
}

bool TEngineProcess::Running() const
{
    return process_ && process_->state() != QProcess::NotRunning;
}

} // namespace localengine
