#pragma once

// kelvane-log run as a service runs it, for the tests: a process of its own
// with its stderr in a file the test reads while it runs.

#include "TestFiles.h"
#include "WaitFor.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

// kelvane-log as a child process; its stderr goes to a file that the test
// reads while it runs.
class TLoggerRun {
public:
    TLoggerRun(const QTemporaryDir& dir, const QString& localeName = "en_US.UTF-8")
        : stderrPath_(dir.filePath("stderr.txt"))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", localeName);
        env.insert("KELVANE_HOME", dir.path());
        process_.setProcessEnvironment(env);
        process_.setStandardErrorFile(stderrPath_);
        // As a service runs in its state directory: what it leaves there
        // (spool files) stays the test's.
        process_.setWorkingDirectory(dir.path());
    }
    ~TLoggerRun()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    void Start(const QStringList& arguments)
    {
        process_.start(KELVANE_LOG_EXE, QStringList{"--banks", KELVANE_BANKS_FILE} + arguments);
        ASSERT_TRUE(process_.waitForStarted(10000));
    }
    // The exit status of a run that ends by itself within deadlineMs, or
    // after `signal`: a stop signal ends it within a second, two with a
    // write to InfluxDB under way, and the test gives it one more for a
    // busy machine.
    int Finish(int signal = 0, int deadlineMs = 20000)
    {
        if (signal)
            ::kill(pid_t(process_.processId()), signal);
        if (!process_.waitForFinished(signal ? 3000 : deadlineMs) || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }
    pid_t Pid() const { return pid_t(process_.processId()); }
    QString Stdout() { return QString::fromUtf8(process_.readAllStandardOutput()); }
    QString Stderr() const { return QString::fromUtf8(FileBytes(stderrPath_)); }

private:
    QString stderrPath_;
    QProcess process_;
};

