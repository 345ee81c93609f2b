#include "MosquittoBroker.h"

#include "LocalEngine.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {
namespace {

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Started by root, mosquitto would run as the user "mosquitto", which cannot
// write its persistence into the test's folder: it runs as the test's user.
QString UserName()
{
    const passwd* user = ::getpwuid(::geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString();
}

bool Accepts(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(port);
    const bool accepted = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

} // namespace

bool TMosquittoBroker::Available()
{
    return QFileInfo(Executable).isExecutable();
}

TMosquittoBroker::TMosquittoBroker(bool persistent) : port_(localengine::FreeLoopbackPort())
{
    const QString persistence =
        persistent ? QString("persistence true\npersistence_location %1\nmax_queued_messages 0\n").arg(dir_.path())
                   : "persistence false\n";
    config_ = QString("listener %1 127.0.0.1\nuser %2\n%3").arg(port_).arg(UserName(), persistence);
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
}

bool TMosquittoBroker::RequirePassword(const QString& user, const QString& password)
{
    const QString file = dir_.filePath("passwords");
    password_ = QString("password_file %1\n").arg(file);
    return QProcess::execute("/usr/bin/mosquitto_passwd", {"-b", "-c", file, user, password}) == 0;
}

TMosquittoBroker::~TMosquittoBroker()
{
    process_.kill();
    process_.waitForFinished(5000);
}

bool TMosquittoBroker::Start()
{
    QFile config(dir_.filePath("mosquitto.conf"));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write((config_ + (password_.isEmpty() ? "allow_anonymous true\n" : "allow_anonymous false\n" + password_)).toUtf8());
    config.close();
    process_.start(Executable, {"-c", dir_.filePath("mosquitto.conf")});
    if (!process_.waitForStarted(10000))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Accepts(port_)) {
        if (std::chrono::steady_clock::now() > deadline || process_.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(10);
    }
    return true;
}

void TMosquittoBroker::Stop()
{
    process_.terminate();
    if (!process_.waitForFinished(10000))
        process_.kill();
    process_.waitForFinished(5000);
}

} // namespace testsupport
