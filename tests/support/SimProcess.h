#pragma once

// kelvane-sim as a child process of a test: started with the given
// switches, its Modbus/TCP port read from the line it announces, stopped
// with SIGTERM (after SIGCONT, should the test have frozen it) at the end.

#include "WaitFor.h"

#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <cstdint>

class TSimProcess {
public:
    TSimProcess(const QString& program, const QStringList& arguments)
    {
        process_.start(program, arguments);
        process_.waitForStarted(10000);
        WaitFor([this] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; });
        const QString line = QString::fromUtf8(process_.readLine());
        port_ = QRegularExpression(R"(listening on 127\.0\.0\.1:(\d+))").match(line).captured(1).toUShort();
    }
    ~TSimProcess()
    {
        Signal(SIGCONT);
        process_.terminate();
        process_.waitForFinished(5000);
    }
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    // 0 when the simulator announced no TCP server.
    uint16_t Port() const { return port_; }
    void Signal(int signal) { ::kill(pid_t(process_.processId()), signal); }

private:
    QProcess process_;
    uint16_t port_ = 0;
};
