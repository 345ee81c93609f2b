#pragma once

#include "RequestDispatcher.h"
#include "StreamFraming.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <vector>

struct rTcpServerOptions {
    std::string Host = "127.0.0.1";
    uint16_t Port = 1502; // 0 picks a free port
    int MaxClients = 64;
    int DelayMs = 0;
    TFraming Framing = TFraming::Mbap;
    // RTU framing only: the 8N1 line whose silence ends a request that its
    // bytes do not give the length of.
    uint32_t Baud = 19200;
};

// A Modbus server on a TCP port, in MBAP frames (Modbus/TCP) or in RTU
// frames (RTU over TCP), as the options say; each connection has a
// TStreamFraming of that kind. One thread runs a poll() loop over the
// listening socket, the clients and a wake-up pipe. Replies that --delay
// holds back wait in a timer queue inside the loop, so a slow reply never
// stalls another client; the loop also wakes when a silence is to end a
// client's RTU request.
//
// Memory stays bounded: at most MaxClients connections (more are accepted
// and closed at once), a frame's worth of input per client, and a client
// whose replies pile up (it does not read them, or they wait for their
// delay) is not read from until they are gone. Meanwhile its silence is not
// measured either, since its bytes wait unread in the socket.
class TTcpServer {
public:
    TTcpServer(TRequestDispatcher& dispatcher, rTcpServerOptions options);
    ~TTcpServer();
    TTcpServer(const TTcpServer&) = delete;
    TTcpServer& operator=(const TTcpServer&) = delete;

    // Binds and listens; throws std::runtime_error with a message.
    void Listen();
    // The port listened on (the one the system chose for port 0).
    uint16_t Port() const { return BoundPort; }
    // "127.0.0.1:1502", "[::1]:1502".
    std::string Address() const;

    // Serves until Stop(); closes every socket before it returns.
    void Run();
    // Ends Run() from any thread, and from a signal handler.
    void Stop();

private:
    using TClock = std::chrono::steady_clock;

    struct rClient {
        int Fd = -1;
        std::unique_ptr<TStreamFraming> Framing;
        std::vector<uint8_t> Out; // bytes not yet sent
        int Delayed = 0;          // replies waiting in the timer queue
        bool Closing = false;
    };

    struct rDelayedReply {
        TClock::time_point Due;
        uint64_t Seq; // keeps replies of equal due time in order
        uint64_t ClientId;
        std::vector<uint8_t> Frame;
        bool operator>(const rDelayedReply& o) const { return Due != o.Due ? Due > o.Due : Seq > o.Seq; }
    };

    void AcceptClients();
    std::unique_ptr<TStreamFraming> NewFraming();
    void ReadClient(uint64_t id, rClient& c);
    void EndSilentRequests();
    int Answer(uint64_t id, rClient& c, TStreamFraming::rTaken taken);
    void Send(uint64_t id, rClient& c, std::vector<uint8_t> frame);
    void FlushClient(rClient& c);
    void ReleaseDueReplies();
    int PollTimeoutMs() const;
    bool WantsInput(const rClient& c) const;
    void CloseAll();

    TRequestDispatcher& Dispatcher;
    rTcpServerOptions Options;
    int ListenFd = -1;
    int WakeRead = -1;
    int WakeWrite = -1;
    uint16_t BoundPort = 0;
    bool Ipv6 = false;
    std::optional<TClock::time_point> AcceptPausedUntil;
    uint64_t NextClientId = 1;
    uint64_t NextSeq = 0;
    std::map<uint64_t, rClient> Clients;
    std::priority_queue<rDelayedReply, std::vector<rDelayedReply>, std::greater<>> DelayQueue;
};
