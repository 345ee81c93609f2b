#pragma once

// Counts the opens of a file or device by watching it with inotify: how
// often the code under test opened its port, seen from outside that code.

#include <stdexcept>
#include <string>

#include <sys/inotify.h>
#include <unistd.h>

namespace testsupport {

class TOpenCounter {
public:
    // inotify merges an event with the same one still unread: an open, a
    // close and an open again count as one unless the closes are watched
    // too (withCloses), for a process whose opens are all counted at once.
    explicit TOpenCounter(const std::string& path, bool withCloses = false)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | (withCloses ? IN_CLOSE : 0)) < 0) {
            if (fd_ >= 0)
                ::close(fd_);
            throw std::runtime_error("inotify cannot watch " + path);
        }
    }
    ~TOpenCounter() { ::close(fd_); }
    TOpenCounter(const TOpenCounter&) = delete;
    TOpenCounter& operator=(const TOpenCounter&) = delete;

    // Opens seen since the last call.
    int Take()
    {
        int opens = 0;
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                opens += (event->mask & IN_OPEN) != 0;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return opens;
    }

private:
    int fd_;
};

} // namespace testsupport
