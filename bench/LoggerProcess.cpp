#include "LoggerProcess.h"

#include "Descriptors.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

// Between fork and exec the child only makes system calls: the parent has
// threads.
[[noreturn]] void Exec(char* const* argv, int out, int err, const char* directory)
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (directory[0] != '\0' && ::chdir(directory) != 0)
        ::_exit(126);
    ::execv(argv[0], argv);
    ::_exit(127);
}

} // namespace

TLoggerProcess::TLoggerProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::string& stderrFile, const std::string& workingDirectory)
{
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const TUniqueFd err(::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const TUniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (err.Get() < 0 || null.Get() < 0)
        throw std::runtime_error("benchmark step failed: opening the logger's outputs");
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("benchmark step failed: fork");
    if (pid_ == 0)
        Exec(argv.data(), null.Get(), err.Get(), workingDirectory.c_str());
}

bool TLoggerProcess::Running() const
{
    return ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

int TLoggerProcess::Stop()
{
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// utime and stime, the 14th and 15th fields of /proc/PID/stat, in clock
// ticks; the fields are counted after the command's closing parenthesis,
// since the command may hold spaces.
double CpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        throw std::runtime_error("benchmark step failed: reading /proc/PID/stat of the logger");
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int i = 3; i < 14; ++i)
        fields >> field;
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double ResidentMb(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    throw std::runtime_error("benchmark step failed: no VmRSS in /proc/PID/status of the logger");
}
