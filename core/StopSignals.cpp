#include "StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
// The handler writes a byte here so that the event loop learns of the
// request at once.
int wakeRead = -1;
int wakeWrite = -1;

void NoteStop(int)
{
    const int savedErrno = errno;
    stopRequested.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite, &byte, 1);
    errno = savedErrno;
}

} // namespace

TStopSignals::TStopSignals()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("no pipe for the stop signals");
    wakeRead = fds[0];
    wakeWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    if (QCoreApplication::instance()) {
        notifier_ = std::make_unique<QSocketNotifier>(wakeRead, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char bytes[16];
            while (::read(wakeRead, bytes, sizeof bytes) > 0) {
            }
            abort_ = StopRequested();
            if (abort_ && onStop_)
                onStop_();
        });
    }
}

TStopSignals::~TStopSignals()
{
    notifier_.reset();
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    ::close(wakeRead);
    ::close(wakeWrite);
}

bool TStopSignals::StopRequested() const
{
    return stopRequested.load();
}
