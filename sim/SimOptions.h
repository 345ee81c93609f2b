#pragma once

#include "MeterLoad.h"
#include "RequestDispatcher.h"

#include <cstdint>
#include <string>
#include <vector>

struct rSimOptions {
    // Which transports to serve: Modbus/TCP unless only RTU was asked for.
    bool Tcp = true;
    bool Rtu = false;
    std::string Host = "127.0.0.1";
    uint16_t Port = 1502;
    std::vector<uint8_t> Units{1};
    int DelayMs = 0;
    int MaxClients = 64;
    std::string Link; // a symbolic link to the RTU slave, when not empty
    int Baud = 19200; // the RTU line the server assumes (8N1)
    rFaultOptions Faults;
    TWiring Wiring = TWiring::Healthy; // how every meter is connected
    bool Help = false;
};

struct rSimOptionsResult {
    rSimOptions Options;
    std::string Error; // empty when the command line was understood
};

// Reads the switches after the program name. Both "--port 1502" and
// "--port=1502" are understood. --rtu serves RTU only unless a Modbus/TCP
// switch (--tcp, --host, --port, --max-clients) asks for both; --link and
// --baud need --rtu.
rSimOptionsResult ParseSimOptions(const std::vector<std::string>& args);

// The --help text.
std::string SimUsage();
