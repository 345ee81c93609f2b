#pragma once

// A Modbus/TCP client on a raw socket to 127.0.0.1, for tests of a server:
// it sends whole requests, any bytes at all, or half a frame, and takes the
// replies frame by frame as they come.

#include <arpa/inet.h>
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

// The request PDU of a read of count registers from first (protocol
// addresses, from 0).
inline Bytes ReadPdu(uint8_t function, uint16_t first, uint16_t count)
{
    return {function, uint8_t(first >> 8), uint8_t(first), uint8_t(count >> 8), uint8_t(count)};
}

class TMbapClient {
public:
    explicit TMbapClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~TMbapClient() { ::close(fd_); }
    TMbapClient(const TMbapClient&) = delete;
    TMbapClient& operator=(const TMbapClient&) = delete;

    bool Connected() const { return connected_; }
    void Send(const Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Sends a request under the next transaction id, and returns the id.
    uint16_t Ask(uint8_t unit, const Bytes& pdu) { return Send(Frame(unit, pdu)), transaction_; }
    // The frame of a request under the next transaction id, for the test to
    // send as it likes.
    Bytes Frame(uint8_t unit, const Bytes& pdu)
    {
        ++transaction_;
        const auto length = uint16_t(pdu.size() + 1);
        Bytes frame{uint8_t(transaction_ >> 8), uint8_t(transaction_), 0, 0, uint8_t(length >> 8), uint8_t(length), unit};
        frame.insert(frame.end(), pdu.begin(), pdu.end());
        return frame;
    }
    // The next whole reply; none when the server closed or the deadline passed.
    std::optional<TMbapFrame> Receive(std::chrono::milliseconds deadline = std::chrono::seconds(10))
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        Bytes header;
        if (!Take(header, 7, end))
            return std::nullopt;
        TMbapFrame frame{uint16_t(header[0] << 8 | header[1]), header[6], {}};
        const int length = header[4] << 8 | header[5];
        if (length < 2 || !Take(frame.Pdu, std::size_t(length - 1), end))
            return std::nullopt;
        return frame;
    }
    // True once the server has closed the connection, what it sent before
    // left unread; false at the deadline.
    bool ClosedByServer(std::chrono::milliseconds deadline)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        Bytes sink;
        while (Take(sink, 1, end))
            sink.clear();
        return closed_;
    }

private:
    // Appends count bytes; false when the server closed first or the
    // deadline passed.
    bool Take(Bytes& into, std::size_t count, std::chrono::steady_clock::time_point end)
    {
        into.resize(into.size() + count);
        std::size_t have = into.size() - count;
        while (have < into.size()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                return false;
            const ssize_t n = ::recv(fd_, into.data() + have, into.size() - have, 0);
            if (n <= 0)
                return !(closed_ = true);
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
