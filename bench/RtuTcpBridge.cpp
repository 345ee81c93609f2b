#include "RtuTcpBridge.h"

#include "LoopbackSockets.h"
#include "RawTty.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

namespace {

TPacedForwarder::TSchedule AtOnce()
{
    return [](TMonotonic readAt) { return readAt; };
}

// Writes to the line or a client, as far as it takes them: a client that
// has gone loses the rest.
void WriteAll(int fd, const uint8_t* data, ssize_t size, bool socket)
{
    while (size > 0) {
        const ssize_t n = socket ? ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL)
                                 : ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= n;
    }
}

} // namespace

TRtuOverTcpPort::TRtuOverTcpPort(uint16_t port)
    : line_()
    , socket_(ConnectToLoopback(port))
    , out_(line_.Master(), socket_.Get(), AtOnce(), TMonotonic{})
    , in_(socket_.Get(), line_.Master(), AtOnce(), TMonotonic{})
{
    // A master that opens its port without setting it up sees the bytes as
    // sent; nothing can arrive before a master has opened it.
    MakeRaw(line_.Slave(), line_.SlavePath());
}

TRtuOverTcpGateway::TRtuOverTcpGateway(const std::string& linePath)
    : line_(OpenRawTty(linePath))
    , listener_(ListenOnLoopback())
    , port_(LocalPort(listener_.Get()))
    , thread_([this] { Run(); })
{
}

TRtuOverTcpGateway::~TRtuOverTcpGateway()
{
    stop_.Raise();
    thread_.join();
}

void TRtuOverTcpGateway::Run()
{
    for (;;) {
        std::vector<pollfd> fds{{stop_.Get(), POLLIN, 0}, {listener_.Get(), POLLIN, 0}, {line_.Get(), POLLIN, 0}};
        for (const TUniqueFd& c : clients_)
            fds.push_back({c.Get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 || fds[0].revents != 0)
            return;
        if (fds[1].revents != 0)
            Accept();
        if (fds[2].revents != 0)
            FromLine();
        // From the last, so that a client that goes leaves the indexes of
        // the ones still to look at as they were.
        for (std::size_t i = fds.size() - 3; i-- > 0;)
            if (fds[i + 3].revents != 0)
                FromClient(i);
    }
}

// A failed accept loses that client only.
void TRtuOverTcpGateway::Accept()
{
    try {
        clients_.push_back(AcceptFrom(listener_.Get()));
    } catch (const std::runtime_error&) {
    }
}

// What nobody asked for (no client has sent yet) is dropped.
void TRtuOverTcpGateway::FromLine()
{
    uint8_t buffer[512];
    const ssize_t n = ::read(line_.Get(), buffer, sizeof buffer);
    if (n > 0 && answerTo_ >= 0)
        WriteAll(answerTo_, buffer, n, true);
}

void TRtuOverTcpGateway::FromClient(std::size_t index)
{
    const int fd = clients_[index].Get();
    uint8_t buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        if (answerTo_ == fd)
            answerTo_ = -1;
        clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
        return;
    }
    answerTo_ = fd;
    WriteAll(line_.Get(), buffer, n, false);
}
