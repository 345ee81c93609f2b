#pragma once

// A pseudo-terminal pair for the serial port tests: the port under test opens
// the slave by its name, the test plays the far end of the line on the
// master. The test keeps a descriptor of the slave of its own to read back
// the settings the port made.

#include "PtyLine.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

class TPtyPair : public TPtyLine {
public:
    TPtyPair() : TPtyLine(true) {}

    void Write(const std::vector<uint8_t>& bytes)
    {
        if (::write(Master(), bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            throw std::runtime_error("write to the pty master failed");
    }

    // What the port sent, up to n bytes, read until n arrived or the limit.
    std::vector<uint8_t> Read(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{Master(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            uint8_t chunk[4096];
            const ssize_t r = ::read(Master(), chunk, std::min(sizeof chunk, n - got.size()));
            if (r > 0)
                got.insert(got.end(), chunk, chunk + r);
        }
        return got;
    }

    // Waits until the slave holds characters the port has not read.
    bool WaitUntilSlaveReadable(std::chrono::milliseconds limit = std::chrono::seconds(10)) const
    {
        pollfd p{Slave(), POLLIN, 0};
        return ::poll(&p, 1, int(limit.count())) == 1 && (p.revents & POLLIN);
    }
};

// The descriptors this process holds, to show that a failure leaves none.
inline int OpenDescriptorCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count;
}

// Polls a condition until it holds or a generous limit passes.
template <class TCondition>
bool WaitUntil(TCondition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
