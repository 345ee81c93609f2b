#pragma once

// Modbus RTU frames carried over TCP unchanged (RTU over TCP), for a master
// that has no such transport of its own: its end of the bridge. The far end
// is the simulator's own RTU over TCP server.

#include "Descriptors.h"
#include "PacedForwarder.h"
#include "PtyLine.h"

#include <cstdint>
#include <string>

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
