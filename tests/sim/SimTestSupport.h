#pragma once

// Helpers for the simulator's tests: libmodbus clients over TCP and RTU,
// and a raw TCP client for frames that no well-behaved client would send.

#include "SimHarness.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <memory>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace simtest {

using simharness::rSimSetup;
using simharness::TInProcessRtuSim;
using simharness::TInProcessSim;

struct rModbusFree {
    void operator()(modbus_t* ctx) const
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using TModbus = std::unique_ptr<modbus_t, rModbusFree>;

// A connected libmodbus context addressing `unit`, or null.
inline TModbus Connect(uint16_t port, int unit, int timeoutMs = 1000)
{
    TModbus ctx(modbus_new_tcp("127.0.0.1", port));
    if (!ctx)
        return nullptr;
    modbus_set_slave(ctx.get(), unit);
    modbus_set_response_timeout(ctx.get(), timeoutMs / 1000, (timeoutMs % 1000) * 1000);
    if (modbus_connect(ctx.get()) != 0)
        return nullptr;
    return ctx;
}

// A libmodbus RTU master on the serial port at `path` (8N1, 19200 baud)
// addressing `unit`, or null.
inline TModbus ConnectRtu(const std::string& path, int unit, int timeoutMs = 2000)
{
    TModbus ctx(modbus_new_rtu(path.c_str(), 19200, 'N', 8, 1));
    if (!ctx)
        return nullptr;
    modbus_set_slave(ctx.get(), unit);
    modbus_set_response_timeout(ctx.get(), timeoutMs / 1000, (timeoutMs % 1000) * 1000);
    if (modbus_connect(ctx.get()) != 0)
        return nullptr;
    return ctx;
}

// A plain TCP connection for hand-made frames.
class TRawClient {
public:
    explicit TRawClient(uint16_t port)
    {
        Fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(Fd);
            Fd = -1;
            return;
        }
        // Every Send goes out at once instead of waiting to join the next,
        // so that a test decides where a request is split.
        const int on = 1;
        setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~TRawClient()
    {
        if (Fd >= 0)
            close(Fd);
    }
    bool Connected() const { return Fd >= 0; }

    bool Send(const std::vector<uint8_t>& bytes)
    {
        return send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Whatever arrives within `timeoutMs`, stopping early once `expected`
    // bytes are in (0: wait the whole time). Sets PeerClosed on end of file.
    std::vector<uint8_t> Receive(int timeoutMs, size_t expected = 0)
    {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (expected == 0 || got.size() < expected) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{Fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buf[512];
            const ssize_t n = recv(Fd, buf, sizeof buf, 0);
            if (n <= 0) {
                PeerClosed = true;
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    bool PeerClosed = false;

private:
    int Fd = -1;
};

// An MBAP frame around `pdu`.
inline std::vector<uint8_t> Frame(uint16_t tid, uint8_t unit, const std::vector<uint8_t>& pdu)
{
    const size_t len = pdu.size() + 1;
    std::vector<uint8_t> f{static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0,
                           static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), unit};
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}

} // namespace simtest
