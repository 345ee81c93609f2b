#include "TcpSocket.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void RaiseSystemError(const std::string& what, int error)
{
    throw ESocketError(what + ": " + std::strerror(error));
}

// Polls one descriptor, retrying when a signal interrupts the wait, so that
// the time limit still holds. Returns poll()'s revents, or 0 at the limit.
short PollFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    for (;;) {
        int r = ::poll(&p, 1, timeoutMs);
        if (r > 0)
            return p.revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            RaiseSystemError("Socket wait failed", errno);
    }
}

} // namespace

TTcpSocket::~TTcpSocket()
{
    Disconnect();
}

void TTcpSocket::Disconnect()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TTcpSocket::Connect(const std::string& host, int port, int timeoutMs)
{
    Disconnect();
    const std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0)
        throw ESocketError("Cannot connect to " + where + ": " + ::gai_strerror(rc));

    int error = 0;
    for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            fd_ = fd;
            break;
        }
        error = errno;
        if (error == EINPROGRESS) {
            short ev = PollFor(fd, POLLOUT, timeoutMs < 0 ? -1 : timeoutMs);
            if (ev == 0) {
                error = ETIMEDOUT;
            } else {
                socklen_t len = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
                if (error == 0) {
                    fd_ = fd;
                    break;
                }
            }
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (fd_ < 0)
        RaiseSystemError("Cannot connect to " + where, error ? error : ECONNREFUSED);
    // Requests are small and answered one at a time: send each at once.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TTcpSocket::WriteAll(const uint8_t* data, std::size_t size)
{
    if (fd_ < 0)
        throw ESocketError("Socket is not connected");
    while (size > 0) {
        ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The send buffer is full; a Modbus request never fills it in
            // practice, but a stalled peer must not make us spin.
            if (PollFor(fd_, POLLOUT, 5000) == 0)
                throw ESocketError("Socket write timed out");
        } else if (n < 0 && errno != EINTR) {
            RaiseSystemError("Socket write failed", errno);
        }
    }
}

bool TTcpSocket::WaitReadable(int timeoutMs)
{
    if (fd_ < 0)
        throw ESocketError("Socket is not connected");
    return PollFor(fd_, POLLIN, timeoutMs) != 0;
}

std::size_t TTcpSocket::ReadAvailable(uint8_t* buffer, std::size_t capacity)
{
    if (fd_ < 0)
        throw ESocketError("Socket is not connected");
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, capacity, 0);
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n == 0 && capacity > 0)
            throw ESocketError("Connection closed by the peer");
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            RaiseSystemError("Socket read failed", errno);
    }
}
