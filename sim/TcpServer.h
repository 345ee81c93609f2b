#pragma once

#include "RequestDispatcher.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <queue>
#include <string>
#include <vector>

struct rTcpServerOptions {
    std::string Host = "127.0.0.1";
    uint16_t Port = 1502; // 0 picks a free port
    int MaxClients = 64;
    int DelayMs = 0;
};

// Modbus/TCP transport: one thread runs a poll() loop over the listening
// socket, the clients and a wake-up pipe. Replies that --delay holds back
// wait in a timer queue inside the loop, so a slow reply never stalls
// another client.
//
// Memory stays bounded: at most MaxClients connections (more are accepted
// and closed at once), an input buffer of one frame per client, and a
// client whose replies pile up (it does not read them, or they wait for
// their delay) is not read from until they are gone.
class TTcpServer {
public:
    // MBAP header (7 bytes, unit id included) plus the largest PDU.
    static constexpr size_t HeaderSize = 7;
    static constexpr size_t MaxPdu = 253;
    static constexpr size_t MaxFrame = HeaderSize + MaxPdu;

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
        std::vector<uint8_t> In;  // the frame being received
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
    void ReadClient(uint64_t id, rClient& c);
    void ProcessFrame(uint64_t id, rClient& c);
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
