#pragma once

// kelvane-sim started as a user starts it to stand in for a serial device
// server in transparent mode: RTU frames over TCP, on a free port of
// 127.0.0.1 that it names in its first line.

#include "SimProcess.h"

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace testsupport {

class TRtuOverTcpSim {
public:
    explicit TRtuOverTcpSim(const std::vector<std::string>& more = {})
        : process_(Arguments(more))
    {
        if (!process_.Started())
            return;
        FirstLine = process_.ReadLine(10000);
        std::smatch match;
        static const std::regex served("kelvane-sim serving Modbus RTU over TCP on 127\\.0\\.0\\.1:(\\d+)\n");
        if (std::regex_match(FirstLine, match, served))
            port_ = static_cast<uint16_t>(std::stoi(match[1]));
    }

    // 0 until the simulator said where it serves.
    uint16_t Port() const { return port_; }
    std::string FirstLine;

private:
    static std::vector<std::string> Arguments(const std::vector<std::string>& more)
    {
        std::vector<std::string> arguments{"--rtu-over-tcp", "0"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }

    simtest::TSimProcess process_;
    uint16_t port_ = 0;
};

} // namespace testsupport
