#pragma once

// libmodbus's RTU server, an implementation independent of ours, as the far
// end of a serial line: it answers unit 1 on the master end of a
// pseudo-terminal whose slave the code under test opens. libmodbus serves on
// one end of a socket pair; a relay copies between the other end and the
// line and keeps what passed in each direction, so a test sees the exact
// bytes libmodbus received and sent.
//
// Holding register i starts as 0x1000 + i and input register i as
// 0x8000 ^ 7i, 1000 of each; register 1000 and beyond give exception 2.

#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

class TLibmodbusRtuServer {
public:
    using Bytes = std::vector<uint8_t>;
    static constexpr int Unit = 1;
    static constexpr int Registers = 1000;

    explicit TLibmodbusRtuServer(int lineFd) : lineFd_(lineFd)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_) != 0)
            throw std::runtime_error("socketpair failed");
        ctx_ = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1);
        mapping_ = modbus_mapping_new(0, 0, Registers, Registers);
        if (!ctx_ || !mapping_)
            throw std::runtime_error("libmodbus could not set up its server");
        modbus_set_slave(ctx_, Unit);
        modbus_set_socket(ctx_, pair_[0]);
        modbus_set_indication_timeout(ctx_, 0, 50000);
        // With libmodbus's default (500 ms, the master's own receive
        // timeout) a request that came right after one for another unit
        // went unanswered now and then; far below the master's wait it
        // never does.
        modbus_set_response_timeout(ctx_, 0, 10000);
        for (int i = 0; i < Registers; ++i) {
            mapping_->tab_registers[i] = static_cast<uint16_t>(0x1000 + i);
            mapping_->tab_input_registers[i] = static_cast<uint16_t>(0x8000 ^ (i * 7));
        }
        server_ = std::thread([this] { Serve(); });
        relay_ = std::thread([this] { Relay(); });
    }
    ~TLibmodbusRtuServer()
    {
        stop_ = true;
        server_.join();
        relay_.join();
        modbus_mapping_free(mapping_);
        modbus_free(ctx_); // does not close the socket set from outside
        ::close(pair_[0]);
        ::close(pair_[1]);
    }
    TLibmodbusRtuServer(const TLibmodbusRtuServer&) = delete;
    TLibmodbusRtuServer& operator=(const TLibmodbusRtuServer&) = delete;

    uint16_t HoldingRegister(int i) const
    {
        std::lock_guard lock(mutex_);
        return mapping_->tab_registers[i];
    }
    void SetHoldingRegister(int i, uint16_t value)
    {
        std::lock_guard lock(mutex_);
        mapping_->tab_registers[i] = value;
    }
    uint16_t InputRegister(int i) const
    {
        std::lock_guard lock(mutex_);
        return mapping_->tab_input_registers[i];
    }
    // The bytes libmodbus received and sent since the last call.
    std::pair<Bytes, Bytes> TakeTraffic()
    {
        std::lock_guard lock(mutex_);
        return {std::exchange(toServer_, {}), std::exchange(fromServer_, {})};
    }

private:
    void Serve()
    {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            const int n = modbus_receive(ctx_, query);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                modbus_reply(ctx_, query, n, mapping_);
            }
        }
    }

    // Copies what is readable on from to to, recording it in record.
    bool Copy(int from, int to, Bytes& record)
    {
        uint8_t chunk[512];
        const ssize_t n = ::read(from, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        {
            std::lock_guard lock(mutex_);
            record.insert(record.end(), chunk, chunk + n);
        }
        return ::write(to, chunk, static_cast<std::size_t>(n)) == n;
    }

    // Relays until the end, or until either side fails (the line hung up):
    // poll would report that again and again without waiting.
    void Relay()
    {
        constexpr short Failed = POLLHUP | POLLERR | POLLNVAL;
        while (!stop_) {
            pollfd p[2] = {{lineFd_, POLLIN, 0}, {pair_[1], POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            if ((p[0].revents & POLLIN) && !Copy(lineFd_, pair_[1], toServer_))
                return;
            if ((p[1].revents & POLLIN) && !Copy(pair_[1], lineFd_, fromServer_))
                return;
            if (((p[0].revents | p[1].revents) & Failed) && !((p[0].revents | p[1].revents) & POLLIN))
                return;
        }
    }

    int lineFd_;
    int pair_[2] = {-1, -1};
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    mutable std::mutex mutex_;
    Bytes toServer_, fromServer_;
    std::atomic<bool> stop_{false};
    std::thread server_, relay_;
};

} // namespace testsupport
