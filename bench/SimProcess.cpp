#include "SimProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace {

std::string FirstLine(int fd)
{
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// A benchmark that is killed takes its simulator with it. Between fork and
// exec the child only makes system calls: the parent has threads.
[[noreturn]] void Exec(char* const* argv, int out)
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(out, STDOUT_FILENO);
    ::execv(argv[0], argv);
    ::_exit(127);
}

} // namespace

TSimProcess::TSimProcess(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0)
        Exec(argv.data(), out[1]);
    ::close(out[1]);
    announcement_ = FirstLine(out[0]);
    ::close(out[0]);
    if (pid_ < 0 || announcement_.rfind("kelvane-sim ", 0) != 0) {
        Stop();
        throw std::runtime_error("the simulator did not start: '" + announcement_ + "'");
    }
}

TSimProcess::~TSimProcess()
{
    Stop();
}

void TSimProcess::Stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string TSimProcess::AnnouncedAfter(const std::string& words) const
{
    const auto at = announcement_.find(words);
    if (at == std::string::npos)
        throw std::runtime_error("the simulator announced '" + announcement_ + "', not '" + words + "'");
    return announcement_.substr(at + words.size());
}

namespace {

uint16_t PortOf(const std::string& address)
{
    return static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
}

} // namespace

uint16_t TSimProcess::TcpPort() const
{
    return PortOf(AnnouncedAfter("listening on "));
}

uint16_t TSimProcess::RtuOverTcpPort() const
{
    return PortOf(AnnouncedAfter("serving Modbus RTU over TCP on "));
}

std::string TSimProcess::RtuPath() const
{
    return AnnouncedAfter("serving Modbus RTU on ");
}
