#pragma once

// What the process writes to stderr while the capture lives, in a file of
// its own, for a test of the messages a unit says.

#include <QFile>
#include <QString>
#include <QTemporaryFile>

#include <unistd.h>

class TStderrCapture {
public:
    TStderrCapture()
    {
        file_.open();
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(file_.handle(), STDERR_FILENO);
    }
    ~TStderrCapture()
    {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    TStderrCapture(const TStderrCapture&) = delete;
    TStderrCapture& operator=(const TStderrCapture&) = delete;

    QString Text() const
    {
        QFile read(file_.fileName());
        read.open(QIODevice::ReadOnly);
        return QString::fromUtf8(read.readAll());
    }
    int Count(const QString& text) const { return int(Text().count(text)); }

private:
    QTemporaryFile file_;
    int saved_ = -1;
};
