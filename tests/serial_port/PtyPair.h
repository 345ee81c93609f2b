#pragma once

// A pseudo-terminal pair for the serial port tests: the port under test opens
// the slave by its name, the test plays the far end of the line on the
// master. The test keeps a descriptor of the slave of its own to read back
// the settings the port made.

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

class TPtyPair {
public:
    TPtyPair()
    {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) < 0)
            throw std::runtime_error("openpty failed");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("ptsname_r failed");
        slavePath_ = name;
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~TPtyPair()
    {
        CloseMaster();
        ::close(slave_);
    }
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int Slave() const { return slave_; }

    // Hangs the line up, as an unplugged adapter does.
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    void Write(const std::vector<uint8_t>& bytes)
    {
        if (::write(master_, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            throw std::runtime_error("write to the pty master failed");
    }

    // What the port sent, up to n bytes, read until n arrived or the limit.
    std::vector<uint8_t> Read(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            uint8_t chunk[4096];
            const ssize_t r = ::read(master_, chunk, std::min(sizeof chunk, n - got.size()));
            if (r > 0)
                got.insert(got.end(), chunk, chunk + r);
        }
        return got;
    }

    // Waits until the slave holds characters the port has not read.
    bool WaitUntilSlaveReadable(std::chrono::milliseconds limit = std::chrono::seconds(10)) const
    {
        pollfd p{slave_, POLLIN, 0};
        return ::poll(&p, 1, int(limit.count())) == 1 && (p.revents & POLLIN);
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
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
