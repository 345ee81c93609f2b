#include "RawTty.h"

#include <fcntl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

void MakeRaw(int fd, const std::string& name)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        throw std::runtime_error(name + " is not a terminal: " + std::strerror(errno));
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        throw std::runtime_error("cannot set up " + name + ": " + std::strerror(errno));
}

TUniqueFd OpenRawTty(const std::string& path)
{
    TUniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (fd.Get() < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    MakeRaw(fd.Get(), path);
    return fd;
}
