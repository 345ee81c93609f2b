#pragma once

#include "KelvaneError.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Raised by the TCP socket layer for a host that is not an IP address: a
// request that cannot be made, not an outcome of an exchange.
class ESocketError : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

// Runs between the slices of a wait, for instance to process pending GUI
// events; returning false ends the wait at once.
using TWaitHook = std::function<bool()>;

// How a socket operation ended. Failed: the peer refused, reset or closed
// the connection, or the network gave up on it. SystemError: the machine's
// own resources failed (no socket could be made, a wait failed).
enum class TSocketOutcome { Done, TimedOut, Aborted, Failed, SystemError };

// A TCP client socket whose every wait has a deadline: the connect, a write
// that cannot proceed, the wait for data. The time left is recomputed from
// the deadline after every wake-up, so signals cannot stretch a wait. With a
// wait hook, a wait polls in slices of at most sliceMs and runs the hook
// between them and after a signal; with sliceMs 0 it blocks until its
// deadline, and only a signal (whose handler may have set what the hook
// looks at) runs the hook early. The socket is closed when the object goes
// away.
class TTcpSocket {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr TClock::time_point NoDeadline = TClock::time_point::max();
    static constexpr int DefaultSliceMs = 20;

    explicit TTcpSocket(TWaitHook hook = {}, int sliceMs = DefaultSliceMs) : hook_(std::move(hook)), sliceMs_(sliceMs) {}
    TTcpSocket(const TTcpSocket&) = delete;
    TTcpSocket& operator=(const TTcpSocket&) = delete;
    ~TTcpSocket();

    // The deadline ms from now; a negative ms means none.
    static TClock::time_point DeadlineAfter(int64_t ms);
    // True when host is a numeric IPv4 or IPv6 address. Names are not
    // looked up: a lookup could hold its caller for seconds.
    static bool IsAddress(const std::string& host);

    // Connects to a numeric address; raises ESocketError for a host that is
    // not one.
    TSocketOutcome Connect(const std::string& host, int port, TClock::time_point deadline);
    bool Connected() const { return fd_ >= 0; }
    void Disconnect();

    TSocketOutcome WriteAll(const uint8_t* data, std::size_t size, TClock::time_point deadline);
    // Waits for data, or for the peer's close or reset.
    TSocketOutcome WaitReadable(TClock::time_point deadline);
    // Reads what has arrived, at most capacity bytes, without waiting; got
    // is 0 when nothing has. Failed when the peer has closed or reset the
    // connection.
    TSocketOutcome ReadAvailable(uint8_t* buffer, std::size_t capacity, std::size_t& got);

private:
    TSocketOutcome WaitFor(int fd, short events, TClock::time_point deadline) const;

    TWaitHook hook_;
    int sliceMs_;
    int fd_ = -1;
};
