#include "PacedForwarder.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

timespec ToTimespec(TMonotonic t)
{
    return {static_cast<time_t>(t.count() / 1000000000), static_cast<long>(t.count() % 1000000000)};
}

void SleepUntil(TMonotonic t)
{
    const timespec until = ToTimespec(t);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void MakeNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A line does not stall while the machine is busy with other work: where
// the system allows it (root, CAP_SYS_NICE), the calling thread runs at a
// real-time priority. True when it does.
bool RunInRealTime()
{
    sched_param param{};
    param.sched_priority = 10;
    return ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
}

bool IsSocket(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

TMonotonic MonotonicNow()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return TMonotonic(static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
}

rLateness Summarize(std::vector<TMonotonic> samples)
{
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return {n, samples[n / 2], samples[std::min(n - 1, n * 99 / 100)], samples.back()};
}

// One line of the lateness of the bytes a line relay forwarded, beside the
// time of a character, which it is small against when the line kept time.
void PrintRelayLateness(const rLateness& l, TMonotonic character)
{
    std::printf("  line relay: %zu characters, written late by median %.1f us, 99th percentile %.1f us, max %.1f us"
                " (a character: %.1f us)\n",
                l.Bytes, Seconds(l.Median) * 1e6, Seconds(l.Percentile99) * 1e6, Seconds(l.Max) * 1e6,
                Seconds(character) * 1e6);
}

TPacedForwarder::TPacedForwarder(int from, int to, TSchedule schedule, TMonotonic stampResolution)
    : from_(from)
    , to_(to)
    , schedule_(std::move(schedule))
    , stampResolution_(stampResolution)
{
    MakeNonBlocking(from_);
    MakeNonBlocking(to_);
    thread_ = std::thread([this] { Run(); });
    started_.acquire();
}

TPacedForwarder::~TPacedForwarder()
{
    stopping_ = true;
    stop_.Raise();
    thread_.join();
}

std::vector<TMonotonic> TPacedForwarder::Lateness() const
{
    std::lock_guard lock(latenessLock_);
    return lateness_;
}

void TPacedForwarder::Run()
{
    // The default timer slack of 50 us would make every sleep that late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    realTime_ = RunInRealTime();
    started_.release();
    while (!stopping_) {
        if (pending_.empty()) {
            if (!AwaitInput(-1))
                break;
            Receive();
        } else {
            SleepUntil(std::min(pending_.front().Due, MonotonicNow() + stampResolution_));
            if (!inputEnded_ && AwaitInput(0))
                Receive();
        }
        if (!SendDue())
            break;
    }
    ended_ = true;
}

// True when input is there (or its end) within timeoutMs; false when it is
// not, or the forwarder is stopping.
bool TPacedForwarder::AwaitInput(int timeoutMs)
{
    pollfd fds[2] = {{from_, POLLIN, 0}, {stop_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0 || fds[1].revents != 0)
        return false;
    return fds[0].revents != 0;
}

void TPacedForwarder::Receive()
{
    uint8_t buffer[4096];
    const ssize_t n = ::read(from_, buffer, sizeof buffer);
    const TMonotonic readAt = MonotonicNow();
    for (ssize_t i = 0; i < n; ++i)
        pending_.push_back({buffer[i], schedule_(readAt)});
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        inputEnded_ = true;
        pending_.push_back({EndOfInput, schedule_(readAt)});
    }
}

// Writes every byte that is due in one write: false when the output has
// ended (the end of the input went out, or a write failed).
bool TPacedForwarder::SendDue()
{
    const TMonotonic now = MonotonicNow();
    std::vector<uint8_t> out;
    std::vector<TMonotonic> late;
    bool end = false;
    while (!pending_.empty() && pending_.front().Due <= now && !end) {
        const rPending p = pending_.front();
        pending_.pop_front();
        end = p.Byte == EndOfInput;
        if (!end) {
            out.push_back(static_cast<uint8_t>(p.Byte));
            late.push_back(now - p.Due);
        }
    }
    if (!out.empty() && !WriteAll(out.data(), out.size()))
        return false;
    {
        std::lock_guard lock(latenessLock_);
        lateness_.insert(lateness_.end(), late.begin(), late.end());
    }
    if (end)
        EndOutput();
    return !end;
}

bool TPacedForwarder::WriteAll(const uint8_t* data, std::size_t size)
{
    const bool socket = IsSocket(to_);
    while (size > 0) {
        const ssize_t n = socket ? ::send(to_, data, size, MSG_NOSIGNAL) : ::write(to_, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd fds[2] = {{to_, POLLOUT, 0}, {stop_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0)
            return false;
    }
    return true;
}

// A socket's peer learns of the end; a terminal has no such thing.
void TPacedForwarder::EndOutput()
{
    if (IsSocket(to_))
        ::shutdown(to_, SHUT_WR);
}
