#pragma once

// A real mosquitto broker for tests, on a free port of 127.0.0.1, with its
// configuration in a temporary folder: anonymous clients allowed; without
// persistence a restart forgets every retained message and session, with it
// the broker keeps them, and queues for a subscriber's session, without a
// bound, what comes before that subscriber is back.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>

namespace testsupport {

class TMosquittoBroker {
public:
    static constexpr const char* Executable = "/usr/sbin/mosquitto";
    static bool Available();

    explicit TMosquittoBroker(bool persistent = false);
    ~TMosquittoBroker();

    // From the next start on, only this user, with this password, may
    // connect; false when the password file could not be made.
    bool RequirePassword(const QString& user, const QString& password);
    // Starts it, on the same port each time, and waits until it takes
    // connections; false when it does not within the deadline.
    bool Start();
    void Stop();
    uint16_t Port() const { return port_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    uint16_t port_ = 0;
    QString config_;   // the listener, the user it runs as, persistence
    QString password_; // the password file's line, when one is required
};

} // namespace testsupport
