#include "PseudoTerminal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& what, int error)
{
    throw std::runtime_error(what + ": " + std::strerror(error));
}

bool MakeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

TPseudoTerminal::TPseudoTerminal()
{
    MasterFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (MasterFd < 0)
        Fail("cannot create a pseudo-terminal", errno);
    char name[PATH_MAX];
    const bool ready = grantpt(MasterFd) == 0 && unlockpt(MasterFd) == 0
                       && ptsname_r(MasterFd, name, sizeof name) == 0
                       && fcntl(MasterFd, F_SETFL, fcntl(MasterFd, F_GETFL) | O_NONBLOCK) == 0
                       && (SlaveFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0 && MakeRaw(SlaveFd);
    if (!ready) {
        const int error = errno;
        if (SlaveFd >= 0)
            close(SlaveFd);
        close(MasterFd);
        Fail("cannot set up the pseudo-terminal", error);
    }
    Path = name;
    // After the slave is ours, so that our own open is not reported.
    WatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (WatchFd >= 0 && inotify_add_watch(WatchFd, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        close(WatchFd);
        WatchFd = -1;
    }
}

TPseudoTerminal::~TPseudoTerminal()
{
    if (WatchFd >= 0)
        close(WatchFd);
    close(SlaveFd);
    close(MasterFd);
}

bool TPseudoTerminal::PortOpenedOrClosed()
{
    // Every event of the watch is an open or a close; their details do not
    // matter.
    alignas(inotify_event) char events[4096];
    bool any = false;
    while (WatchFd >= 0) {
        const ssize_t n = read(WatchFd, events, sizeof events);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        any = true;
    }
    return any;
}

void TPseudoTerminal::DropUnread()
{
    tcflush(SlaveFd, TCIFLUSH);
}

TSlaveLink::TSlaveLink(std::string link, std::string target)
    : Link(std::move(link))
    , Target(std::move(target))
{
    struct stat st {};
    if (lstat(Link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error("cannot link " + Link + ": it exists and is not a symbolic link");
        if (unlink(Link.c_str()) != 0)
            Fail("cannot link " + Link, errno);
    }
    if (symlink(Target.c_str(), Link.c_str()) != 0)
        Fail("cannot link " + Link, errno);
}

TSlaveLink::~TSlaveLink()
{
    char points[PATH_MAX];
    const ssize_t n = readlink(Link.c_str(), points, sizeof points);
    if (n >= 0 && std::string(points, static_cast<size_t>(n)) == Target)
        unlink(Link.c_str());
}
