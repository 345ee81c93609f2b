#include "RtuServer.h"

#include "RtuReply.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// A line nobody reads does not keep replies without end: beyond these they
// are lost, as on a wire.
constexpr size_t OutputHighWater = 4096;
constexpr size_t DelayedHighWater = 64;
// The pause a meter takes before the next reply when one waited behind a
// late one, so that the two never run into one frame.
constexpr auto QueuedTurnaround = std::chrono::milliseconds(50);

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

TRtuServer::TRtuServer(TRequestDispatcher& dispatcher, rRtuServerOptions options)
    : Dispatcher(dispatcher)
    , Options(options)
    , Interval(RtuRequestSilenceMs(options.Baud))
    , Timing(options.DelayMs, options.Late)
    , Reader(Interval)
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error(SystemError("cannot create the wake-up pipe"));
    WakeRead = fds[0];
    WakeWrite = fds[1];
}

TRtuServer::~TRtuServer()
{
    close(WakeRead);
    close(WakeWrite);
}

void TRtuServer::Stop()
{
    // write() is async-signal-safe; a full pipe already holds a wake-up.
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(WakeWrite, &byte, 1);
}

int TRtuServer::PollTimeoutMs() const
{
    int64_t wait = INT_MAX;
    const int64_t now = TRtuRequestReader::NowMs();
    if (const int64_t deadline = Reader.Deadline(); deadline != INT64_MAX)
        wait = std::min(wait, deadline - now);
    if (!Delayed.empty()) {
        const auto due = std::chrono::ceil<std::chrono::milliseconds>(Delayed.front().Due - TClock::now());
        wait = std::min<int64_t>(wait, due.count());
    }
    return static_cast<int>(std::clamp<int64_t>(wait, 0, INT_MAX));
}

void TRtuServer::Run()
{
    while (true) {
        pollfd fds[3] = {{WakeRead, POLLIN, 0},
                         {Line.Watch(), POLLIN, 0},
                         {Line.Master(), static_cast<short>(POLLIN | (Out.empty() ? 0 : POLLOUT)), 0}};
        if (poll(fds, 3, PollTimeoutMs()) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(SystemError("poll failed"));
        }
        if (fds[0].revents != 0)
            break;
        if (Line.PortOpenedOrClosed())
            ForgetLeftovers();
        // The line holds its own slave open, so a hang-up or an error is a
        // failure of the line itself, not a program closing the port.
        if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL))
            throw std::runtime_error("the line " + SlavePath() + " failed");
        if (fds[2].revents & POLLIN)
            ReadLine();
        if (fds[2].revents & POLLOUT)
            Flush();
        Serve(Reader.Take({}, TRtuRequestReader::NowMs()));
        ReleaseDueReplies();
    }

    // Drain the wake-up so that a later Stop() is not seen twice.
    char buffer[64];
    while (read(WakeRead, buffer, sizeof buffer) > 0) {
    }
}

void TRtuServer::ForgetLeftovers()
{
    // Replies for a program that has gone, and a request it did not finish.
    Line.DropUnread();
    Out.clear();
    Delayed.clear();
    Reader.Reset();
}

void TRtuServer::ReadLine()
{
    uint8_t chunk[256];
    while (true) {
        const ssize_t n = read(Line.Master(), chunk, sizeof chunk);
        if (n > 0) {
            // A program's open or close is reported before anything written
            // after it can be read, so by now the watch holds every one that
            // came before these bytes; the leftovers go before they count.
            if (Line.PortOpenedOrClosed())
                ForgetLeftovers();
            Serve(Reader.Take(std::span(chunk, static_cast<size_t>(n)), TRtuRequestReader::NowMs()));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw std::runtime_error(SystemError("cannot read " + SlavePath()));
        return;
    }
}

void TRtuServer::Serve(const std::vector<rRtuRequest>& requests)
{
    for (const rRtuRequest& r : requests)
        if (auto reply = RtuReply(Dispatcher, r))
            Send(std::move(*reply));
}

void TRtuServer::Send(std::vector<uint8_t> frame)
{
    const auto wait = Timing.Next();
    if (wait.count() == 0 && Delayed.empty()) {
        Write(frame);
        return;
    }
    if (Delayed.size() >= DelayedHighWater)
        return;
    auto due = TClock::now() + wait;
    if (!Delayed.empty())
        due = std::max(due, Delayed.back().Due + QueuedTurnaround);
    Delayed.push_back({due, std::move(frame)});
}

void TRtuServer::Write(const std::vector<uint8_t>& frame)
{
    if (Out.size() + frame.size() > OutputHighWater)
        return;
    Out.insert(Out.end(), frame.begin(), frame.end());
    Flush();
}

void TRtuServer::Flush()
{
    size_t sent = 0;
    while (sent < Out.size()) {
        const ssize_t n = write(Line.Master(), Out.data() + sent, Out.size() - sent);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                throw std::runtime_error(SystemError("cannot write to " + SlavePath()));
            break;
        }
        sent += static_cast<size_t>(n);
    }
    Out.erase(Out.begin(), Out.begin() + static_cast<std::ptrdiff_t>(sent));
}

void TRtuServer::ReleaseDueReplies()
{
    const auto now = TClock::now();
    while (!Delayed.empty() && Delayed.front().Due <= now) {
        const std::vector<uint8_t> frame = std::move(Delayed.front().Frame);
        Delayed.pop_front();
        Write(frame);
    }
}
