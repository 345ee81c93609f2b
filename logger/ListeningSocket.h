#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A listening, non-blocking TCP socket on address:port for a server of the
// logger, or -1 with the reason in error: "cannot listen on
// 127.0.0.1:9105: Address already in use", "cannot listen on
// [::1]:80: Permission denied".
int ListeningSocket(const QString& address, uint16_t port, QString& error);

// Takes every connection waiting on a listening socket, non-blocking, and
// hands each to take while room() says there is room for one more; one
// more is closed at once. When the process is out of descriptors or memory
// it gives the time until which the caller pauses accepting, rather than
// spin on a listening socket that stays readable; else none.
std::optional<std::chrono::steady_clock::time_point> AcceptWaiting(int listenFd, const std::function<bool()>& room,
                                                                   const std::function<void(int fd)>& take);

// Adds what a non-blocking connection has received to into; false when
// the peer ended it or it failed.
bool ReceiveInto(int fd, std::string& into);

// poll()'s timeout until nearest, in whole milliseconds, at most a minute;
// -1 (until woken) when nearest is the clock's end.
int PollTimeoutUntil(std::chrono::steady_clock::time_point nearest);

// A server's connections after a round of poll(): those keep(connection,
// index) keeps stay, in their order; the others go to close.
template <class TConnection, class TKeep, class TClose>
void KeepConnections(std::vector<TConnection>& connections, TKeep keep, TClose close)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < connections.size(); ++i) {
        if (!keep(connections[i], i)) {
            close(connections[i]);
            continue;
        }
        // Never moved onto itself: a string moved onto itself is left
        // empty, and a reply under way with it.
        if (kept != i)
            connections[kept] = std::move(connections[i]);
        ++kept;
    }
    connections.resize(kept);
}
