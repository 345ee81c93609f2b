#pragma once

// kelvane-sim as a child process of a test, with its output on pipes.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace simtest {

// The executable: $KELVANE_SIM, else the path it was built at.
inline std::string SimPath()
{
    const char* env = std::getenv("KELVANE_SIM");
    return env && *env ? env : KELVANE_SIM_BUILT;
}

// kelvane-sim started with `args`, its stdout and stderr on pipes.
class TSimProcess {
public:
    explicit TSimProcess(const std::vector<std::string>& args)
    {
        const std::string path = SimPath();
        if (access(path.c_str(), X_OK) != 0)
            return;
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        Pid = fork();
        if (Pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(path.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        Out = out[0];
        Err = err[0];
    }
    ~TSimProcess()
    {
        if (Pid > 0 && !Reaped) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0)
            close(Out);
        if (Err >= 0)
            close(Err);
    }
    bool Started() const { return Pid > 0; }

    // Text from stdout up to the first newline, or all there is by then.
    std::string ReadLine(int timeoutMs) { return Read(Out, timeoutMs, true); }
    std::string ReadAll(int fd, int timeoutMs) { return Read(fd, timeoutMs, false); }

    // The exit status, or -1 when the process did not end in time.
    int Wait(int timeoutMs)
    {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(Pid, &status, WNOHANG) == Pid) {
                Reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }

    pid_t Pid = -1;
    int Out = -1;
    int Err = -1;

private:
    static std::string Read(int fd, int timeoutMs, bool oneLine)
    {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!(oneLine && text.find('\n') != std::string::npos)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char c[256];
            const ssize_t n = read(fd, c, oneLine ? 1 : sizeof c);
            if (n <= 0)
                break;
            text.append(c, static_cast<size_t>(n));
        }
        return text;
    }

    bool Reaped = false;
};

} // namespace simtest

#define REQUIRE_SIM_EXECUTABLE()                                                                    \
    ASSERT_EQ(access(simtest::SimPath().c_str(), X_OK), 0) << "no executable " << simtest::SimPath()
