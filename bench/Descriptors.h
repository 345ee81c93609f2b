#pragma once

// Descriptors for the benchmarks' relays: one that closes itself, and a
// wake-up that ends a thread's wait in poll().

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <utility>

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : fd_(fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(TUniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const { return fd_; }
    void Reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Readable from the first Raise on, for every thread that polls it: a stop
// request that no wait can miss.
class TWakeFd {
public:
    TWakeFd() : fd_(::eventfd(0, EFD_CLOEXEC))
    {
        if (fd_.Get() < 0)
            throw std::runtime_error("eventfd failed");
    }
    int Get() const { return fd_.Get(); }
    void Raise()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd_.Get(), &one, sizeof one);
    }

private:
    TUniqueFd fd_;
};
