#pragma once

#include <algorithm>

// Small TCP servers on 127.0.0.1 for tests of the Modbus/TCP client: one that
// answers each request with scripted bytes (or misbehaves), and one built on
// libmodbus, an implementation independent of ours.

#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Opens a listening socket on 127.0.0.1 with a port the kernel picks.
inline int ListenOnLoopback(uint16_t& port, int backlog = 16)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// A port on which nothing listens: bound, then closed again.
inline uint16_t UnusedPort()
{
    uint16_t port = 0;
    ::close(ListenOnLoopback(port));
    return port;
}

// A port whose connections are never accepted: the listen queue holds one
// connection, which this object fills itself, so the kernel drops every
// further SYN and a connect waits until its own time limit.
class UnansweredListener {
public:
    UnansweredListener()
    {
        listenFd_ = ListenOnLoopback(port_, 0);
        fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        if (::connect(fillerFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot fill the listen queue");
    }
    ~UnansweredListener()
    {
        ::close(fillerFd_);
        ::close(listenFd_);
    }
    uint16_t Port() const { return port_; }

private:
    int listenFd_ = -1;
    int fillerFd_ = -1;
    uint16_t port_ = 0;
};

// Accepts connections one after the other. For each, reads one request and
// hands it to the script, which returns the bytes to send back; then the
// server waits for the client to close (or closes itself when told to). A
// persistent server goes on reading requests on the same connection, as a
// server does for a client that keeps its connection.
class ScriptedServer {
public:
    struct Reply {
        Bytes bytes;
        bool closeAfter = false;     // close right after sending
        bool holdOpen = false;       // send nothing more, keep the connection until the client leaves
        bool reset = false;          // abort the connection (RST) right after sending
        // The reply goes out as scripted; otherwise its first two bytes are
        // the request's transaction identifier, as a sound server answers.
        bool ownTransactionId = false;
    };
    using Script = std::function<Reply(const Bytes& request)>;

    explicit ScriptedServer(Script script, bool persistent = false)
        : script_(std::move(script)), persistent_(persistent)
    {
        listenFd_ = ListenOnLoopback(port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listenFd_);
    }
    uint16_t Port() const { return port_; }
    int Connections() const { return connections_; }
    std::vector<Bytes> Requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // True when the client closed its end of the last connection.
    bool ClientClosed() const { return clientClosed_; }

private:
    bool WaitReadable(int fd, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    void Run()
    {
        while (!stop_) {
            if (!WaitReadable(listenFd_, 20))
                continue;
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++connections_;
            clientClosed_ = false;
            Serve(fd);
            ::close(fd);
        }
    }

    void Serve(int fd)
    {
        while (ServeOne(fd) && persistent_ && !stop_) {
        }
    }

    // One request and its reply; false when the connection is done with.
    bool ServeOne(int fd)
    {
        Bytes request(300);
        ssize_t n = 0;
        if (WaitReadable(fd, persistent_ ? 5000 : 2000))
            n = ::recv(fd, request.data(), request.size(), 0);
        if (persistent_ && n <= 0) {
            clientClosed_ = n == 0;
            return false;
        }
        request.resize(n > 0 ? static_cast<size_t>(n) : 0);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        Reply reply = script_(request);
        if (!reply.ownTransactionId && reply.bytes.size() >= 2 && request.size() >= 2)
            std::copy_n(request.begin(), 2, reply.bytes.begin());
        if (!reply.bytes.empty())
            ::send(fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
        if (reply.reset) {
            linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            return false;
        }
        if (reply.closeAfter)
            return false;
        if (persistent_)
            return true;
        // Wait (bounded) for the client to close its end.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        uint8_t sink[64];
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            if (WaitReadable(fd, 20) && ::recv(fd, sink, sizeof sink, 0) <= 0) {
                clientClosed_ = true;
                return false;
            }
        }
        return false;
    }

    Script script_;
    bool persistent_ = false;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> clientClosed_{false};
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
};

// A Modbus/TCP server made with libmodbus: holding registers 0 ... 1999 that
// tests fill and inspect; registers beyond them give exception 2, as
// libmodbus answers by itself.
class LibmodbusServer {
public:
    LibmodbusServer()
    {
        listenFd_ = ListenOnLoopback(port_);
        ctx_ = modbus_new_tcp("127.0.0.1", port_);
        map_ = modbus_mapping_new(0, 0, 2000, 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~LibmodbusServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listenFd_);
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }
    uint16_t Port() const { return port_; }
    uint16_t* Registers() { return map_->tab_registers; }

private:
    void Run()
    {
        while (!stop_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            modbus_set_socket(ctx_, fd);
            uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
            for (;;) {
                pollfd c{fd, POLLIN, 0};
                if (stop_ || ::poll(&c, 1, 20) < 0)
                    break;
                if (c.revents == 0)
                    continue;
                int rc = modbus_receive(ctx_, query);
                if (rc > 0)
                    modbus_reply(ctx_, query, rc, map_);
                else if (rc == -1)
                    break;
            }
            ::close(fd);
        }
    }

    int listenFd_ = -1;
    uint16_t port_ = 0;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* map_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

} // namespace testsupport
