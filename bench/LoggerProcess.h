#pragma once

// kelvane-log as a child process of a benchmark, and what /proc says of it.

#include <sys/types.h>

#include <string>
#include <vector>

// stdout dropped, stderr into a file, in the working directory given (the
// benchmark's own when empty). SIGTERM ends it, as it ends a service; a
// benchmark that is killed takes it along. Throws std::runtime_error when
// it cannot be started.
class TLoggerProcess {
public:
    TLoggerProcess(const std::string& program, const std::vector<std::string>& args, const std::string& stderrFile,
                   const std::string& workingDirectory = {});
    ~TLoggerProcess() { Stop(); }
    TLoggerProcess(const TLoggerProcess&) = delete;
    TLoggerProcess& operator=(const TLoggerProcess&) = delete;

    pid_t Pid() const { return pid_; }
    bool Running() const;
    // Its exit status, or -1 when it did not exit by itself.
    int Stop();

private:
    pid_t pid_ = -1;
};

// User and system time of a process so far, in seconds.
double CpuSeconds(pid_t pid);
// Its resident memory (VmRSS), in MB.
double ResidentMb(pid_t pid);
