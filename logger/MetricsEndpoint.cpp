#include "MetricsEndpoint.h"

#include "ListeningSocket.h"
#include "LoggerMessages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A request's head longer than this is refused: a scrape's is a few hundred bytes.
constexpr std::size_t MaxRequestHead = 8192;

std::string Response(const char* status, const std::string& type, const std::string& body, bool withBody)
{
    std::string head = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
    if (std::strncmp(status, "405", 3) == 0)
        head += "Allow: GET, HEAD\r\n";
    head += "\r\n";
    return withBody ? head + body : head;
}

std::string ErrorResponse(const char* status)
{
    return Response(status, "text/plain; charset=utf-8", std::string(status) + "\n", true);
}

} // namespace

std::unique_ptr<TMetricsEndpoint> TMetricsEndpoint::Listen(const QString& address, uint16_t port, TPage page,
                                                           const TEndpointLimits& limits, QString& error)
{
    const int listenFd = ListeningSocket(address, port, error);
    if (listenFd < 0)
        return nullptr;
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        error = QString("cannot listen on port %1: %2").arg(port).arg(SystemReason(errno));
        ::close(listenFd);
        return nullptr;
    }
    return std::unique_ptr<TMetricsEndpoint>(new TMetricsEndpoint(listenFd, wakeFd, std::move(page), limits));
}

TMetricsEndpoint::TMetricsEndpoint(int listenFd, int wakeFd, TPage page, const TEndpointLimits& limits)
    : listenFd_(listenFd), wakeFd_(wakeFd), page_(std::move(page)), limits_(limits)
{
    thread_ = std::thread([this] { Run(); });
}

TMetricsEndpoint::~TMetricsEndpoint()
{
    const uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
    for (const TConnection& connection : connections_)
        ::close(connection.Fd);
    ::close(listenFd_);
    ::close(wakeFd_);
}

void TMetricsEndpoint::Run()
{
    std::vector<pollfd> polled;
    for (;;) {
        polled.assign({{wakeFd_, POLLIN, 0}, {listenFd_, short(Clock::now() < acceptAgain_ ? 0 : POLLIN), 0}});
        for (const TConnection& connection : connections_)
            polled.push_back({connection.Fd, short(connection.Reply.empty() ? POLLIN : POLLOUT), 0});
        if (::poll(polled.data(), polled.size(), PollTimeout()) < 0 && errno != EINTR)
            return;
        if (polled[0].revents != 0)
            return;
        // The connections polled are the first ones: those accepted now
        // come after them and wait for the next round.
        const auto now = Clock::now();
        KeepConnections(
            connections_,
            [&](TConnection& connection, std::size_t i) {
                return now < connection.Deadline && (polled[i + 2].revents == 0 || Serve(connection));
            },
            [](const TConnection& connection) { ::close(connection.Fd); });
        if (polled[1].revents != 0)
            Accept();
    }
}

// Until the nearest deadline of a connection or the end of a pause in
// accepting; with neither, until woken.
int TMetricsEndpoint::PollTimeout() const
{
    const auto now = Clock::now();
    auto nearest = acceptAgain_ > now ? acceptAgain_ : Clock::time_point::max();
    for (const TConnection& connection : connections_)
        nearest = std::min(nearest, connection.Deadline);
    return PollTimeoutUntil(nearest);
}

void TMetricsEndpoint::Accept()
{
    const auto pause = AcceptWaiting(
        listenFd_, [this] { return int(connections_.size()) < limits_.MaxConnections; },
        [this](int fd) { connections_.push_back({fd, Clock::now() + limits_.RequestTime, {}, {}, 0}); });
    if (pause)
        acceptAgain_ = *pause;
}

bool TMetricsEndpoint::Serve(TConnection& connection)
{
    return connection.Reply.empty() ? Read(connection) : Write(connection);
}

// What came is added to the request; once its head is whole, the reply is
// made and sent as far as the socket takes it.
bool TMetricsEndpoint::Read(TConnection& connection)
{
    if (!ReceiveInto(connection.Fd, connection.Request))
        return false;
    std::size_t end = connection.Request.find("\r\n\r\n");
    if (end == std::string::npos)
        end = connection.Request.find("\n\n");
    if (end == std::string::npos) {
        if (connection.Request.size() <= MaxRequestHead)
            return true;
        connection.Reply = ErrorResponse("431 Request Header Fields Too Large");
    } else {
        connection.Reply = Answer(connection.Request.substr(0, end));
    }
    connection.Request.clear();
    connection.Deadline = Clock::now() + limits_.ReplyTime;
    return Write(connection);
}

bool TMetricsEndpoint::Write(TConnection& connection)
{
    while (connection.Sent < connection.Reply.size()) {
        const ssize_t sent = ::send(connection.Fd, connection.Reply.data() + connection.Sent,
                                    connection.Reply.size() - connection.Sent, MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EAGAIN || errno == EINTR;
        connection.Sent += std::size_t(sent);
    }
    return false;
}

// The reply to a request's head: its first line, "GET /metrics HTTP/1.1".
std::string TMetricsEndpoint::Answer(const std::string& head) const
{
    const std::string line = head.substr(0, head.find_first_of("\r\n"));
    const std::size_t firstSpace = line.find(' ');
    const std::size_t secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos ||
        line.compare(secondSpace + 1, 5, "HTTP/") != 0)
        return ErrorResponse("400 Bad Request");
    const std::string method = line.substr(0, firstSpace);
    const std::string target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    if (method != "GET" && method != "HEAD")
        return ErrorResponse("405 Method Not Allowed");
    if (target.substr(0, target.find('?')) != "/metrics")
        return ErrorResponse("404 Not Found");
    return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", page_(), method == "GET");
}
