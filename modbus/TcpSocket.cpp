#include "TcpSocket.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct FreeAddrInfo {
    void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};
using TAddrInfo = std::unique_ptr<addrinfo, FreeAddrInfo>;

TAddrInfo ResolveNumeric(const std::string& host, int port, int& rc)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    return TAddrInfo(rc == 0 ? found : nullptr);
}

// Milliseconds until the deadline, rounded up so that a wait never ends
// before it; -1 without a deadline.
int MillisecondsLeft(TTcpSocket::TClock::time_point deadline)
{
    if (deadline == TTcpSocket::NoDeadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TTcpSocket::TClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

} // namespace

TTcpSocket::~TTcpSocket()
{
    Disconnect();
}

TTcpSocket::TClock::time_point TTcpSocket::DeadlineAfter(int64_t ms)
{
    return ms < 0 ? NoDeadline : TClock::now() + std::chrono::milliseconds(ms);
}

bool TTcpSocket::IsAddress(const std::string& host)
{
    int rc = 0;
    return ResolveNumeric(host, 0, rc) != nullptr;
}

void TTcpSocket::Disconnect()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

// Each round polls for what is left of the deadline (or one slice of it when
// a hook runs between slices). A signal that interrupts poll() only starts
// the next round; at the deadline one last look without waiting decides.
TSocketOutcome TTcpSocket::WaitFor(int fd, short events, TClock::time_point deadline) const
{
    for (;;) {
        const int left = MillisecondsLeft(deadline);
        const int slice = hook_ && sliceMs_ > 0 && (left < 0 || left > sliceMs_) ? sliceMs_ : left;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, slice);
        if (r > 0)
            return TSocketOutcome::Done;
        if (r < 0 && errno != EINTR)
            return TSocketOutcome::SystemError;
        if (r == 0 && left == 0)
            return TSocketOutcome::TimedOut;
        if (hook_ && !hook_())
            return TSocketOutcome::Aborted;
    }
}

TSocketOutcome TTcpSocket::Connect(const std::string& host, int port, TClock::time_point deadline)
{
    Disconnect();
    int rc = 0;
    const TAddrInfo address = ResolveNumeric(host, port, rc);
    if (!address)
        throw ESocketError("Cannot connect to " + host + ":" + std::to_string(port) + ": "
                           + (rc == EAI_NONAME ? std::string("not an IP address") : ::gai_strerror(rc)));
    const addrinfo& a = *address;
    const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
    if (fd < 0)
        return TSocketOutcome::SystemError;
    TSocketOutcome outcome = TSocketOutcome::Done;
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
        outcome = errno == EINPROGRESS ? WaitFor(fd, POLLOUT, deadline) : TSocketOutcome::Failed;
        int error = 0;
        socklen_t len = sizeof error;
        if (outcome == TSocketOutcome::Done && (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error))
            outcome = TSocketOutcome::Failed;
    }
    if (outcome != TSocketOutcome::Done) {
        ::close(fd);
        return outcome;
    }
    fd_ = fd;
    // Requests are small and answered one at a time: send each at once.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return TSocketOutcome::Done;
}

TSocketOutcome TTcpSocket::WriteAll(const uint8_t* data, std::size_t size, TClock::time_point deadline)
{
    if (fd_ < 0)
        return TSocketOutcome::Failed;
    while (size > 0) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A full send buffer: wait until the peer takes some, within the limit.
            if (const TSocketOutcome waited = WaitFor(fd_, POLLOUT, deadline); waited != TSocketOutcome::Done)
                return waited;
        } else if (n == 0 || errno != EINTR) {
            return TSocketOutcome::Failed;
        }
    }
    return TSocketOutcome::Done;
}

TSocketOutcome TTcpSocket::WaitReadable(TClock::time_point deadline)
{
    return fd_ < 0 ? TSocketOutcome::Failed : WaitFor(fd_, POLLIN, deadline);
}

TSocketOutcome TTcpSocket::ReadAvailable(uint8_t* buffer, std::size_t capacity, std::size_t& got)
{
    got = 0;
    if (fd_ < 0)
        return TSocketOutcome::Failed;
    if (capacity == 0)
        return TSocketOutcome::Done;
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, capacity, 0);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return TSocketOutcome::Done;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return TSocketOutcome::Done;
        if (n == 0 || errno != EINTR)
            return TSocketOutcome::Failed;
    }
}
