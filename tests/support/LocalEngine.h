#pragma once

// A server program run by a test on 127.0.0.1 (Prometheus, InfluxDB): started
// with its files in a directory of its own, ready when its HTTP endpoint
// says so, stopped and started again on the same ports.

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

namespace localengine {

using namespace std::chrono_literals;

// A port free on 127.0.0.1 at the moment of asking.
uint16_t FreeLoopbackPort();

// Turns the event loop until the condition holds; false at the deadline,
// which only bounds a failure.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 30s);

struct THttpAnswer {
    int Status = 0; // 0 when no answer came
    QByteArray Body;
};

THttpAnswer HttpGet(const QUrl& url, std::chrono::milliseconds timeout = 10s);
THttpAnswer HttpPost(const QUrl& url, const QByteArray& body, const QByteArray& contentType,
                     std::chrono::milliseconds timeout = 10s);
THttpAnswer HttpDelete(const QUrl& url, std::chrono::milliseconds timeout = 10s);

class TEngineProcess {
public:
    // program: the executable; ready: a URL that answers 2xx once it serves.
    TEngineProcess(QString program, QStringList arguments, QUrl ready, QString logFile);
    ~TEngineProcess();

    static bool Installed(const QString& program);

    // False, with the tail of the program's output in Failure(), when it
    // did not become ready within the deadline.
    bool Start(std::chrono::milliseconds deadline = 60s);
    void Stop();
    bool Running() const;
    // How long the latest Start took until the program was ready.
    std::chrono::milliseconds StartTime() const { return startTime_; }
    const QString& Failure() const { return failure_; }

private:
    QString program_;
    QStringList arguments_;
    QUrl ready_;
    QString logFile_;
    std::unique_ptr<QProcess> process_;
    std::chrono::milliseconds startTime_{0};
    QString failure_;
};

} // namespace localengine
