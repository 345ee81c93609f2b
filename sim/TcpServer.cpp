#include "TcpServer.h"

#include "MbapFraming.h"
#include "RtuStreamFraming.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A client is not read from while this much of its output is unsent or
// this many of its replies wait for their delay.
constexpr size_t OutputHighWater = 4096;
constexpr int DelayedHighWater = 64;
// Requests taken from one client per wake-up, so a busy client cannot
// starve the others; reads are bounded too, since RTU bytes that complete no
// request (a spoilt frame up to its silence) may keep coming.
constexpr int RequestsPerWake = 16;
constexpr int ReadsPerWake = 2 * RequestsPerWake; // an MBAP frame takes two
// A read takes no more than the largest frame of either framing.
constexpr size_t ReadChunk = TMbapFraming::MaxFrame;
// When the process runs out of descriptors the pending connection stays
// pending; accepting pauses for this long instead of spinning on it.
constexpr auto AcceptPause = std::chrono::milliseconds(100);

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

TTcpServer::TTcpServer(TRequestDispatcher& dispatcher, rTcpServerOptions options)
    : Dispatcher(dispatcher)
    , Options(std::move(options))
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error(SystemError("cannot create the wake-up pipe"));
    WakeRead = fds[0];
    WakeWrite = fds[1];
}

TTcpServer::~TTcpServer()
{
    CloseAll();
    if (ListenFd >= 0)
        close(ListenFd);
    close(WakeRead);
    close(WakeWrite);
}

void TTcpServer::Listen()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(Options.Port);
    if (const int rc = getaddrinfo(Options.Host.c_str(), port.c_str(), &hints, &found); rc != 0)
        throw std::runtime_error("cannot resolve " + Options.Host + ": " + gai_strerror(rc));

    std::string failure = "no address for " + Options.Host;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            failure = SystemError("cannot create a socket");
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 128) != 0) {
            failure = SystemError("cannot listen on " + Options.Host + ":" + port);
            close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
        Ipv6 = bound.ss_family == AF_INET6;
        BoundPort = ntohs(Ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        ListenFd = fd;
        break;
    }
    freeaddrinfo(found);
    if (ListenFd < 0)
        throw std::runtime_error(failure);
}

std::string TTcpServer::Address() const
{
    const std::string port = std::to_string(BoundPort);
    return Ipv6 ? "[" + Options.Host + "]:" + port : Options.Host + ":" + port;
}

void TTcpServer::Stop()
{
    // write() is async-signal-safe; a full pipe already holds a wake-up.
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(WakeWrite, &byte, 1);
}

bool TTcpServer::WantsInput(const rClient& c) const
{
    return !c.Closing && c.Out.size() < OutputHighWater && c.Delayed < DelayedHighWater;
}

int TTcpServer::PollTimeoutMs() const
{
    using std::chrono::milliseconds;
    std::optional<milliseconds> wait;
    const auto sooner = [&](milliseconds w) {
        if (!wait || w < *wait)
            wait = w;
    };
    // Rounded up, so the loop does not wake just before the time comes.
    const auto until = [](TClock::time_point t) { return std::chrono::ceil<milliseconds>(t - TClock::now()); };
    if (AcceptPausedUntil)
        sooner(until(*AcceptPausedUntil));
    if (!DelayQueue.empty())
        sooner(until(DelayQueue.top().Due));
    for (const auto& [id, c] : Clients)
        if (const auto left = c.Framing->SilenceLeft(); left && WantsInput(c))
            sooner(*left);
    return wait ? static_cast<int>(std::clamp<int64_t>(wait->count(), 0, INT_MAX)) : -1;
}

void TTcpServer::Run()
{
    if (ListenFd < 0)
        throw std::logic_error("TTcpServer::Run before Listen");

    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    while (true) {
        if (AcceptPausedUntil && TClock::now() >= *AcceptPausedUntil)
            AcceptPausedUntil.reset();

        fds.clear();
        ids.clear();
        fds.push_back({WakeRead, POLLIN, 0});
        fds.push_back({ListenFd, static_cast<short>(AcceptPausedUntil ? 0 : POLLIN), 0});
        for (const auto& [id, c] : Clients) {
            short events = 0;
            if (WantsInput(c))
                events |= POLLIN;
            if (!c.Out.empty())
                events |= POLLOUT;
            fds.push_back({c.Fd, events, 0});
            ids.push_back(id);
        }

        if (poll(fds.data(), fds.size(), PollTimeoutMs()) < 0) {
            if (errno == EINTR)
                continue;
            CloseAll();
            throw std::runtime_error(SystemError("poll failed"));
        }
        if (fds[0].revents != 0)
            break;
        if (fds[1].revents & POLLIN)
            AcceptClients();

        for (size_t k = 0; k < ids.size(); ++k) {
            const auto it = Clients.find(ids[k]);
            if (it == Clients.end())
                continue;
            rClient& c = it->second;
            const short re = fds[k + 2].revents;
            if (re & POLLIN)
                ReadClient(it->first, c);
            else if (re & (POLLHUP | POLLERR | POLLNVAL))
                c.Closing = true;
            if (!c.Closing && (re & POLLOUT))
                FlushClient(c);
        }
        EndSilentRequests();
        ReleaseDueReplies();

        for (auto it = Clients.begin(); it != Clients.end();) {
            if (it->second.Closing) {
                close(it->second.Fd);
                it = Clients.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Drain the wake-up so that a later Stop() is not seen twice.
    char buffer[64];
    while (read(WakeRead, buffer, sizeof buffer) > 0) {
    }
    CloseAll();
    close(ListenFd);
    ListenFd = -1;
}

void TTcpServer::AcceptClients()
{
    while (true) {
        const int fd = accept4(ListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                AcceptPausedUntil = TClock::now() + AcceptPause;
            return;
        }
        if (Clients.size() >= static_cast<size_t>(Options.MaxClients)) {
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        rClient c;
        c.Fd = fd;
        c.Framing = NewFraming();
        Clients.emplace(NextClientId++, std::move(c));
    }
}

std::unique_ptr<TStreamFraming> TTcpServer::NewFraming()
{
    if (Options.Framing == TFraming::Rtu)
        return std::make_unique<TRtuStreamFraming>(Dispatcher, RtuRequestSilenceMs(Options.Baud));
    return std::make_unique<TMbapFraming>(Dispatcher);
}

void TTcpServer::ReadClient(uint64_t id, rClient& c)
{
    uint8_t chunk[ReadChunk];
    int requests = 0;
    for (int reads = 0; reads < ReadsPerWake && requests < RequestsPerWake && WantsInput(c); ++reads) {
        const ssize_t n = recv(c.Fd, chunk, std::min(ReadChunk, c.Framing->ReadLimit()), 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                c.Closing = true;
            return;
        }
        requests += Answer(id, c, c.Framing->Take(std::span(chunk, static_cast<size_t>(n))));
    }
}

void TTcpServer::EndSilentRequests()
{
    for (auto& [id, c] : Clients)
        if (const auto left = c.Framing->SilenceLeft(); left && left->count() <= 0 && WantsInput(c))
            Answer(id, c, c.Framing->Take({}));
}

int TTcpServer::Answer(uint64_t id, rClient& c, TStreamFraming::rTaken taken)
{
    if (taken.Broken)
        c.Closing = true;
    for (std::vector<uint8_t>& frame : taken.Replies)
        Send(id, c, std::move(frame));
    return taken.Requests;
}

void TTcpServer::Send(uint64_t id, rClient& c, std::vector<uint8_t> frame)
{
    if (Options.DelayMs > 0) {
        DelayQueue.push({TClock::now() + std::chrono::milliseconds(Options.DelayMs), NextSeq++, id,
                         std::move(frame)});
        ++c.Delayed;
        return;
    }
    c.Out.insert(c.Out.end(), frame.begin(), frame.end());
    FlushClient(c);
}

void TTcpServer::FlushClient(rClient& c)
{
    size_t sent = 0;
    while (sent < c.Out.size()) {
        const ssize_t n = send(c.Fd, c.Out.data() + sent, c.Out.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.Closing = true;
            break;
        }
        sent += static_cast<size_t>(n);
    }
    c.Out.erase(c.Out.begin(), c.Out.begin() + static_cast<std::ptrdiff_t>(sent));
}

void TTcpServer::ReleaseDueReplies()
{
    const auto now = TClock::now();
    while (!DelayQueue.empty() && DelayQueue.top().Due <= now) {
        const rDelayedReply& top = DelayQueue.top();
        // The client may have gone meanwhile; its replies are then dropped.
        if (const auto it = Clients.find(top.ClientId); it != Clients.end()) {
            rClient& c = it->second;
            --c.Delayed;
            if (!c.Closing) {
                c.Out.insert(c.Out.end(), top.Frame.begin(), top.Frame.end());
                FlushClient(c);
            }
        }
        DelayQueue.pop();
    }
}

void TTcpServer::CloseAll()
{
    for (auto& [id, c] : Clients)
        close(c.Fd);
    Clients.clear();
    DelayQueue = {};
}
