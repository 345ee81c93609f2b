#pragma once

#include "RequestDispatcher.h"

#include <cstdint>
#include <string>
#include <vector>

struct rSimOptions {
    std::string Host = "127.0.0.1";
    uint16_t Port = 1502;
    std::vector<uint8_t> Units{1};
    int DelayMs = 0;
    int MaxClients = 64;
    rFaultOptions Faults;
    bool Help = false;
};

struct rSimOptionsResult {
    rSimOptions Options;
    std::string Error; // empty when the command line was understood
};

// Reads the switches after the program name. Both "--port 1502" and
// "--port=1502" are understood.
rSimOptionsResult ParseSimOptions(const std::vector<std::string>& args);

// The --help text.
std::string SimUsage();
