#include "ListeningSocket.h"

#include "LoggerMessages.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The socket address of an IP address and port.
socklen_t SocketAddress(const QHostAddress& host, uint16_t port, sockaddr_storage& address)
{
    address = {};
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(&v6->sin6_addr, bytes.c, sizeof bytes.c);
        v6->sin6_scope_id = uint32_t(QNetworkInterface::interfaceIndexFromName(host.scopeId()));
        return sizeof *v6;
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    v4->sin_addr.s_addr = htonl(host.toIPv4Address());
    return sizeof *v4;
}

// A listening, non-blocking socket, or -1 with errno set.
int ListenOn(const QHostAddress& host, uint16_t port)
{
    sockaddr_storage address;
    const socklen_t length = SocketAddress(host, port, address);
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

int ListeningSocket(const QString& address, uint16_t port, QString& error)
{
    const QHostAddress host(address);
    const QString where = QString(host.protocol() == QAbstractSocket::IPv6Protocol ? "[%1]:%2" : "%1:%2")
                              .arg(address)
                              .arg(port);
    if (host.isNull()) {
        error = QString("cannot listen on %1: not an IP address").arg(where);
        return -1;
    }
    const int fd = ListenOn(host, port);
    if (fd < 0)
        error = QString("cannot listen on %1: %2").arg(where, SystemReason(errno));
    return fd;
}

std::optional<std::chrono::steady_clock::time_point> AcceptWaiting(int listenFd, const std::function<bool()>& room,
                                                                   const std::function<void(int fd)>& take)
{
    constexpr std::chrono::milliseconds pause{100};
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                return std::chrono::steady_clock::now() + pause;
            return std::nullopt;
        }
        if (room())
            take(fd);
        else
            ::close(fd);
    }
}

int PollTimeoutUntil(std::chrono::steady_clock::time_point nearest)
{
    if (nearest == std::chrono::steady_clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest - std::chrono::steady_clock::now()).count();
    return int(std::clamp<long long>(left, 0, 60000));
}

bool ReceiveInto(int fd, std::string& into)
{
    char buffer[4096];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got == 0)
        return false;
    if (got < 0)
        return errno == EAGAIN || errno == EINTR;
    into.append(buffer, std::size_t(got));
    return true;
}
