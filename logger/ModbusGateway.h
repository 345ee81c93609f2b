#pragma once

#include "GatewayLink.h"
#include "LoggerOptions.h"
#include "SiteFile.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A unit of the gateway: the meter it reaches, on its link.
struct TGatewayUnit {
    uint8_t Unit = 0;
    std::shared_ptr<TGatewayLink> Link;
    std::size_t Meter = 0; // among the link's meters
};

// The gateway's units for the meters of the site, each link given what it
// shares with the gateway (TSiteLink::Gateway). A meter without a unit is
// said once: it is not served.
std::vector<TGatewayUnit> GatewayUnits(std::vector<TSiteLink>& links);

// What the gateway allows its clients.
struct TGatewayLimits {
    // Connections open at once; one more is closed as soon as it is taken.
    int MaxConnections = 64;
    // From a frame's first byte to its last.
    std::chrono::milliseconds FrameTime{2000};
    // A connection that asks nothing and waits for no reply this long is closed.
    std::chrono::milliseconds IdleTime{60000};
    // Replies a client has not taken, in bytes, and how long it may leave
    // one untaken; beyond either it is closed.
    std::size_t UnsentBytes = 16 * 1024;
    std::chrono::milliseconds ReplyTime{10000};
};

// The logger's Modbus/TCP server, on a thread of its own: one poll() loop
// over the listening socket and every connection, all non-blocking, so a
// client that sends half a frame, junk, or takes no replies delays no
// other. A request goes to its unit's link queue, or is answered at once
// by the gateway itself: exception 0x0A for a unit no meter has, 1 for a
// function other than 3, 4, 6, 16 and 17 and for a write without
// --serve-writes, 3 for a request whose length does not fit its function,
// 6 when the link's queue is full. Each reply carries its request's
// transaction id and unit. A frame with a protocol id other than 0 or a
// length outside 2 to 254 closes its connection, as does one that stays
// unfinished.
class TModbusGateway {
public:
    // The gateway listening on options' address and port, or null with the
    // system's reason in error.
    static std::unique_ptr<TModbusGateway> Listen(const TGatewayOptions& options, std::vector<TGatewayUnit> units,
                                                  const TGatewayLimits& limits, QString& error);
    // Stops at once, closing every connection; requests still queued are
    // answered to nobody.
    ~TModbusGateway();

    TModbusGateway(const TModbusGateway&) = delete;
    TModbusGateway& operator=(const TModbusGateway&) = delete;

private:
    struct TState;
    explicit TModbusGateway(std::unique_ptr<TState> state);
    std::unique_ptr<TState> d_;
};
