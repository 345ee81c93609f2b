#pragma once

// The simulator, kelvane-sim, as a child process of a benchmark: started
// with the given switches, ready once it has announced its server, and
// stopped with SIGTERM when the object goes.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class TSimProcess {
public:
    // Throws std::runtime_error when the simulator announces nothing.
    TSimProcess(const std::string& program, const std::vector<std::string>& args);
    ~TSimProcess();
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    // From "kelvane-sim listening on 127.0.0.1:PORT".
    uint16_t TcpPort() const;
    // From "kelvane-sim serving Modbus RTU on /dev/pts/N".
    std::string RtuPath() const;
    // From "kelvane-sim serving Modbus RTU over TCP on 127.0.0.1:PORT".
    uint16_t RtuOverTcpPort() const;

private:
    void Stop();
    std::string AnnouncedAfter(const std::string& words) const;

    pid_t pid_ = -1;
    std::string announcement_; // the first line it printed
};
