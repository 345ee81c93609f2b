#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// What the endpoint allows its clients.
struct TEndpointLimits {
    // Connections open at once; one more is closed as soon as it is taken.
    int MaxConnections = 256;
    // From connecting to the end of the request's head.
    std::chrono::milliseconds RequestTime{5000};
    // From the request to the last byte of the reply taken by the client.
    std::chrono::milliseconds ReplyTime{10000};
};

// A small HTTP/1.1 server of one page, /metrics, on a thread of its own:
// one poll() loop over the listening socket and every connection, all of
// them non-blocking, so that a client that sends nothing, half a request, or
// takes its reply slowly delays no other. Each connection carries one
// request; the reply closes it. A connection that keeps to no limit is
// closed.
class TMetricsEndpoint {
public:
    // The page's text, made afresh for each request, in the endpoint's thread.
    using TPage = std::function<std::string()>;

    // The endpoint listening on address:port, or null with the system's
    // reason in error.
    static std::unique_ptr<TMetricsEndpoint> Listen(const QString& address, uint16_t port, TPage page,
                                                    const TEndpointLimits& limits, QString& error);
    // Stops at once, closing every connection.
    ~TMetricsEndpoint();

    TMetricsEndpoint(const TMetricsEndpoint&) = delete;
    TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    struct TConnection {
        int Fd = -1;
        Clock::time_point Deadline;
        std::string Request;
        std::string Reply; // empty while the request is read
        std::size_t Sent = 0;
    };

    TMetricsEndpoint(int listenFd, int wakeFd, TPage page, const TEndpointLimits& limits);
    void Run();
    int PollTimeout() const;
    // Takes the connections waiting, within the bound.
    void Accept();
    // False when the connection is done with.
    bool Serve(TConnection& connection);
    bool Read(TConnection& connection);
    bool Write(TConnection& connection);
    std::string Answer(const std::string& head) const;

    const int listenFd_;
    const int wakeFd_; // an eventfd the destructor writes to end the loop
    const TPage page_;
    const TEndpointLimits limits_;
    std::vector<TConnection> connections_;
    Clock::time_point acceptAgain_{}; // accepting pauses until then
    std::thread thread_;
};
