#pragma once

#include "MeterLoad.h"
#include "ReplyTiming.h"
#include "RequestDispatcher.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct rSimOptions {
    // Which transports to serve: Modbus/TCP unless only others were asked for.
    bool Tcp = true;
    bool Rtu = false;
    std::optional<uint16_t> RtuOverTcpPort; // RTU over TCP on this port, when set
    std::string Host = "127.0.0.1";
    uint16_t Port = 1502;
    std::vector<uint8_t> Units{1};
    int DelayMs = 0;
    rLateReplies Late; // the RTU line's
    int MaxClients = 64; // for each TCP port
    std::string Link; // a symbolic link to the RTU slave, when not empty
    int Baud = 19200; // the RTU line the servers assume (8N1)
    rFaultOptions Faults;
    TWiring Wiring = TWiring::Healthy; // how every meter is connected
    bool Help = false;
};

struct rSimOptionsResult {
    rSimOptions Options;
    std::string Error; // empty when the command line was understood
};

// Reads the switches after the program name. Both "--port 1502" and
// "--port=1502" are understood. --rtu and --rtu-over-tcp serve only what
// they name unless a Modbus/TCP switch asks for it too: --tcp and --port
// always do; --host and --max-clients do only without --rtu-over-tcp, whose
// port they apply to as well. --link needs --rtu; --baud needs --rtu or
// --rtu-over-tcp.
rSimOptionsResult ParseSimOptions(const std::vector<std::string>& args);

// The --help text.
std::string SimUsage();
