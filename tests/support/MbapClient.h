#pragma once

// A Modbus/TCP client on a raw socket to 127.0.0.1, for tests of a server:
// it sends whole requests or any bytes at all, and takes the replies frame
// by frame.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

struct TMbapFrame {
    uint16_t Transaction = 0;
    uint8_t Unit = 0;
    Bytes Pdu; // function code first
};

// A read of count registers from first (protocol addresses, from 0).
inline Bytes ReadPdu(uint8_t function, uint16_t first, uint16_t count)
{
    return {function, uint8_t(first >> 8), uint8_t(first), uint8_t(count >> 8), uint8_t(count)};
}

class TMbapClient {
public:
    explicit TMbapClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    ~TMbapClient() { ::close(fd_); }
    TMbapClient(const TMbapClient&) = delete;

    bool Connected() const { return connected_; }
    void Send(const Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // The frame of a request under the next transaction id.
    Bytes Frame(uint8_t unit, const Bytes& pdu)
    {
        const auto id = ++transaction_, length = uint16_t(pdu.size() + 1);
        Bytes frame{uint8_t(id >> 8), uint8_t(id), 0, 0, uint8_t(length >> 8), uint8_t(length), unit};
        frame.insert(frame.end(), pdu.begin(), pdu.end());
        return frame;
    }
    // Sends a request and returns its transaction id.
    uint16_t Ask(uint8_t unit, const Bytes& pdu) { return Send(Frame(unit, pdu)), transaction_; }
    // The next whole reply; none when the server closed or the deadline passed.
    std::optional<TMbapFrame> Receive(std::chrono::milliseconds deadline = std::chrono::seconds(10))
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        Bytes header;
        if (!Take(header, 7, end))
            return std::nullopt;
        TMbapFrame frame{uint16_t(header[0] << 8 | header[1]), header[6], {}};
        const int length = header[4] << 8 | header[5];
        return length >= 2 && Take(frame.Pdu, std::size_t(length - 1), end) ? std::optional(frame) : std::nullopt;
    }
    // Whether the server closes the connection within the deadline; what
    // it sends before is left unread.
    bool ClosedByServer(std::chrono::milliseconds deadline)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (Bytes sink; Take(sink, 1, end);) {
        }
        return closed_;
    }

private:
    // Appends count bytes; false when the server closed first or the
    // deadline passed.
    bool Take(Bytes& into, std::size_t count, std::chrono::steady_clock::time_point end)
    {
        for (std::size_t have = into.size(), want = have + count; have < want;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            into.resize(want);
            const bool ready = left.count() > 0 && ::poll(&p, 1, int(left.count())) > 0;
            const ssize_t n = ready ? ::recv(fd_, &into[have], want - have, 0) : -1;
            closed_ = closed_ || n == 0 || (n < 0 && p.revents);
            if (n <= 0)
                return false;
            have += std::size_t(n);
        }
        return true;
    }

    int fd_;
    bool connected_ = false;
    bool closed_ = false;
    uint16_t transaction_ = 0;
};

} // namespace testsupport
