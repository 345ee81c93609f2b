#pragma once

// Modbus RTU frames carried over TCP unchanged (RTU over TCP), for a master
// that has no such transport of its own: the two ends of the bridge.

#include "Descriptors.h"
#include "PacedForwarder.h"
#include "PtyLine.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// A serial port whose line is a TCP connection: an RTU master opens Path()
// as its port; what it writes goes over one connection to 127.0.0.1:port
// as it comes, and what comes back goes to the port at once.
class TRtuOverTcpPort {
public:
    // Throws std::runtime_error when the connection fails.
    explicit TRtuOverTcpPort(uint16_t port);
    const std::string& Path() const { return line_.SlavePath(); }

private:
    TPtyLine line_;
    TUniqueFd socket_;
    TPacedForwarder out_;
    TPacedForwarder in_;
};

// An RTU over TCP server in front of a serial line (the simulator's RTU
// port): it accepts connections on 127.0.0.1, passes what each sends to the
// line unchanged, and what the line answers to the connection that sent
// last, as a gateway that serves several masters one request at a time.
class TRtuOverTcpGateway {
public:
    // Throws std::runtime_error when the line does not open.
    explicit TRtuOverTcpGateway(const std::string& linePath);
    ~TRtuOverTcpGateway();
    TRtuOverTcpGateway(const TRtuOverTcpGateway&) = delete;
    TRtuOverTcpGateway& operator=(const TRtuOverTcpGateway&) = delete;

    uint16_t Port() const { return port_; }

private:
    void Run();
    void Accept();
    void FromLine();
    void FromClient(std::size_t index);

    TUniqueFd line_;
    TUniqueFd listener_;
    uint16_t port_;
    std::vector<TUniqueFd> clients_;
    int answerTo_ = -1; // the client that sent last
    TWakeFd stop_;
    std::thread thread_;
};
