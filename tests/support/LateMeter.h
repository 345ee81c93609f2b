#pragma once

// A meter that answers late on purpose, as a slow meter or RS-485 gateway
// does: Modbus RTU unit 1 on a pseudo-terminal, reads of holding registers
// only. The requests that `late` picks (by their number, from 0) are
// answered after lateMs, the others at once; a slow device answers one
// request after the other, so a request that comes meanwhile waits its turn
// and is answered a turnaround after the late reply. While silent, it
// hears every request and answers none, as a meter switched off does.
//
// Register 768 + 2i and the one after it hold the float 1000 + i, high word
// first, so that a value in the wrong place can never pass for the right
// one; register 133 holds 12345; every other register 0.

#include "PtyLine.h"
#include "SerialFrame.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace testsupport {

class TLateMeter {
public:
    // With echo, the line first returns every request as it was sent, as an
    // RS-485 adapter that hears itself does.
    TLateMeter(int lateMs, std::function<bool(int request)> late, bool echo = false)
        : lateMs_(lateMs), late_(std::move(late)), echo_(echo), thread_([this] { Serve(); })
    {
    }
    ~TLateMeter()
    {
        stop_ = true;
        thread_.join();
    }
    TLateMeter(const TLateMeter&) = delete;
    TLateMeter& operator=(const TLateMeter&) = delete;

    const std::string& Path() const { return line_.SlavePath(); }
    int LateReplies() const { return lateReplies_; }
    int Requests() const { return requests_; } // read requests heard, answered or not
    void SetSilent(bool silent) { silent_ = silent; }

    static uint16_t Register(int reg)
    {
        if (reg == 133)
            return 12345;
        if (reg < FloatsFirst || reg >= FloatsFirst + 2 * Quantities)
            return 0;
        const uint32_t bits = std::bit_cast<uint32_t>(Quantity((reg - FloatsFirst) / 2));
        return static_cast<uint16_t>((reg - FloatsFirst) % 2 == 0 ? bits >> 16 : bits & 0xFFFF);
    }
    static float Quantity(int index) { return 1000.0f + static_cast<float>(index); }

    static constexpr int FloatsFirst = 768;
    static constexpr int TurnaroundMs = 60;
    static constexpr int Quantities = 60;

private:
    void Serve()
    {
        std::vector<uint8_t> request;
        int number = 0;
        while (!stop_) {
            pollfd fd{line_.Master(), POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0 || !(fd.revents & POLLIN))
                continue;
            uint8_t byte = 0;
            if (::read(line_.Master(), &byte, 1) != 1)
                continue;
            if (echo_)
                [[maybe_unused]] const ssize_t n = ::write(line_.Master(), &byte, 1);
            request.push_back(byte);
            // A read request is eight bytes; eight that are none (noise, another
            // function's request) lose their first byte until one lines up.
            if (request.size() < 8)
                continue;
            if (Crc16(request.data(), 8) != 0 || request[0] != 1 || request[1] != 3) {
                request.erase(request.begin());
                continue;
            }
            ++requests_;
            if (!silent_)
                Answer(request, number++);
            request.clear();
        }
    }

    void Answer(const std::vector<uint8_t>& request, int number)
    {
        const int first = request[2] << 8 | request[3];
        const int count = request[4] << 8 | request[5];
        std::vector<uint8_t> reply{1, 3, static_cast<uint8_t>(2 * count)};
        for (int reg = first; reg < first + count; ++reg) {
            reply.push_back(static_cast<uint8_t>(Register(reg) >> 8));
            reply.push_back(static_cast<uint8_t>(Register(reg) & 0xFF));
        }
        const uint16_t crc = Crc16(reply.data(), reply.size());
        reply.push_back(static_cast<uint8_t>(crc & 0xFF));
        reply.push_back(static_cast<uint8_t>(crc >> 8));
        // Every answer takes a moment, so that two answers never run into
        // one frame; the late ones take lateMs.
        std::this_thread::sleep_for(std::chrono::milliseconds(TurnaroundMs));
        if (late_(number)) {
            ++lateReplies_;
            std::this_thread::sleep_for(std::chrono::milliseconds(lateMs_));
        }
        [[maybe_unused]] const ssize_t n = ::write(line_.Master(), reply.data(), reply.size());
    }

    TPtyLine line_;
    const int lateMs_;
    const std::function<bool(int)> late_;
    const bool echo_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> lateReplies_{0};
    std::thread thread_; // last: it starts once everything above exists
};

} // namespace testsupport
