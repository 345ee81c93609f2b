#pragma once

#include "KelvaneError.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Raised by the TCP socket layer: a connect that fails, a write that fails, a
// peer that closes the connection. The message carries the system's reason.
class ESocketError : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

// A blocking-style TCP client socket whose every wait is bounded: the connect
// has its time limit and the reads wait in poll() until data or a deadline.
// The socket is closed when the object goes away, also during unwinding.
class TTcpSocket {
public:
    TTcpSocket() = default;
    TTcpSocket(const TTcpSocket&) = delete;
    TTcpSocket& operator=(const TTcpSocket&) = delete;
    ~TTcpSocket();

    // Connects within timeoutMs (negative: wait as long as the kernel does).
    void Connect(const std::string& host, int port, int timeoutMs);
    bool Connected() const { return fd_ >= 0; }
    void Disconnect();

    void WriteAll(const uint8_t* data, std::size_t size);
    // Waits up to timeoutMs (0: just a test) for data or the peer's close.
    bool WaitReadable(int timeoutMs);
    // Reads what has arrived, at most capacity bytes, without waiting.
    // Raises when the peer has closed the connection.
    std::size_t ReadAvailable(uint8_t* buffer, std::size_t capacity);

private:
    int fd_ = -1;
};
