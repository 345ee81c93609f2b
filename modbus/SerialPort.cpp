#include "SerialPort.h"

#include "KelvaneError.h"
#include "TtyAttributes.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char* const kOpenFailed = "Could not open serial port";
const char* const kSettingsRefused = "Failed to update device control block";

// Bits a character takes on the line at most (start, 8 data, parity, stop),
// for estimating how long the driver needs to send what it holds.
constexpr uint64_t kBitsPerCharacter = 11;
// Longest pause between two looks at a transmit queue that does not move
// (a handshake holding it).
constexpr int kStalledDrainPollMs = 100;

struct TStandardSpeed {
    uint32_t Rate;
    speed_t Code;
};

constexpr TStandardSpeed kStandardSpeeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// The termios constant of a rate, or 0 for a rate that needs BOTHER.
speed_t StandardSpeed(uint32_t rate)
{
    for (const TStandardSpeed& s : kStandardSpeeds) {
        if (s.Rate == rate)
            return s.Code;
    }
    return 0;
}

// A driver may run a rate a little off the one asked for; more than 3 % off
// and the characters no longer arrive.
bool RateCloseEnough(uint32_t actual, uint32_t wanted)
{
    const uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
    return difference * 100 <= uint64_t(wanted) * 3;
}

// The failures with which the kernel answers on a port that went away.
bool IsLostPortError(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

// How a port without modem lines (a pseudo-terminal) refuses a modem-line
// ioctl.
bool IsNoModemLinesError(int error)
{
    return error == EINVAL || error == ENOTTY;
}

std::string SystemReason(int error)
{
    return std::system_category().message(error);
}

// Calls a system function again for as long as a signal interrupts it.
template <class TCall>
auto RetryOnInterrupt(TCall call)
{
    auto result = call();
    while (result < 0 && errno == EINTR)
        result = call();
    return result;
}

std::string OpenFailure(const std::string& port, const std::string& path, int error)
{
    std::string text = std::string(kOpenFailed) + ": " + port;
    if (path != port)
        text += " (" + path + ")";
    text += ": " + SystemReason(error);
    if (error == EACCES)
        text += ". On Debian the user must be a member of the \"dialout\" group "
                "(sudo adduser $USER dialout, then log in again)";
    else if (error == EBUSY)
        text += "; the port is in use by another program";
    return text;
}

// The number of a Windows-style port name "COMn", n >= 1, in any case.
std::optional<unsigned> ComPortNumber(const std::string& port)
{
    if (port.size() < 4 || ::strncasecmp(port.c_str(), "COM", 3) != 0)
        return std::nullopt;
    unsigned number = 0;
    const char* last = port.data() + port.size();
    const auto [end, error] = std::from_chars(port.data() + 3, last, number);
    if (error != std::errc() || end != last || number == 0)
        return std::nullopt;
    return number;
}

// What a hooked descriptor refers to, for messages: its path where the
// kernel tells it.
std::string DescriptorName(int fd)
{
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path);
    if (n > 0 && std::size_t(n) < sizeof path && path[0] == '/')
        return std::string(path, std::size_t(n));
    return "descriptor " + std::to_string(fd);
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now() + microseconds(999));
    return int(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

int TransmitTimeMs(int characters, uint32_t rate)
{
    const uint64_t bitsPerSecond = std::max(rate, 1u);
    const uint64_t ms = (uint64_t(characters) * kBitsPerCharacter * 1000 + bitsPerSecond - 1) / bitsPerSecond;
    return int(std::clamp<uint64_t>(ms, 1, 1000));
}

// Raw mode as cfmakeraw() makes it, without software flow control, with the
// character format and handshake of the settings.
void MakeRaw(TTtyAttributes& t, const TLineSettings& settings)
{
    t.InputFlags &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                      INPCK | IGNPAR);
    t.OutputFlags &= ~OPOST;
    t.LocalFlags &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.ControlFlags &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.ControlFlags |= CLOCAL | CREAD | (settings.DataBits == TDataBits::db7 ? CS7 : CS8);
    if (settings.Parity != TParityScheme::psNone) {
        t.InputFlags |= INPCK;
        t.ControlFlags |= PARENB | (settings.Parity == TParityScheme::psOdd ? PARODD : 0);
    }
    if (settings.StopBits == TStopBits::sb2)
        t.ControlFlags |= CSTOPB;
    if (settings.FlowControl == TFlowControl::fcRtsCts)
        t.ControlFlags |= CRTSCTS;
    t.ControlChars[VSTART] = 17;
    t.ControlChars[VSTOP] = 19;
    // A read with nothing to give fails with EAGAIN, so one that returns 0
    // means the line hung up.
    t.ControlChars[VMIN] = 1;
    t.ControlChars[VTIME] = 0;
}

} // namespace

std::string SerialDevicePath(const std::string& port)
{
    if (port.empty() || port.find('/') != std::string::npos)
        return port;
    if (const auto number = ComPortNumber(port))
        return "/dev/ttyS" + std::to_string(*number - 1);
    return "/dev/" + port;
}

TSerialPort::~TSerialPort()
{
    Close();
}

void TSerialPort::Open(const std::string& port, const TLineSettings& settings)
{
    Close();
    if (port.empty())
        throw EModbusError(std::string(kOpenFailed) + ": no port name given");
    const std::string path = SerialDevicePath(port);
    abortFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (abortFd_ >= 0)
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        Close();
        throw EModbusError(OpenFailure(port, path, error));
    }
    name_ = path;
    try {
        TakeExclusively(port, path);
        Configure(settings);
    } catch (...) {
        Close();
        throw;
    }
}

void TSerialPort::Hook(int fd, const TLineSettings& settings)
{
    Close();
    const std::string name = "descriptor " + std::to_string(fd);
    const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
    if (flags < 0)
        throw EModbusError(OpenFailure(name, name, EBADF));
    if (!::isatty(fd) || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        throw EModbusError(OpenFailure(name, name, errno));
    fd_ = fd;
    hooked_ = true;
    hookedFlags_ = flags;
    name_ = DescriptorName(fd);
    try {
        abortFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (abortFd_ < 0)
            throw EModbusError(OpenFailure(name, name, errno));
        Configure(settings);
    } catch (...) {
        Close();
        throw;
    }
}

void TSerialPort::Close()
{
    if (fd_ >= 0) {
        // Exclusive use outlives this descriptor while another one of the
        // tty stays open.
        if (exclusive_)
            ::ioctl(fd_, TIOCNXCL);
        if (hooked_)
            ::fcntl(fd_, F_SETFL, hookedFlags_);
        else
            ::close(fd_);
    }
    if (abortFd_ >= 0)
        ::close(abortFd_);
    fd_ = -1;
    abortFd_ = -1;
    hooked_ = false;
    exclusive_ = false;
}

// TIOCEXCL keeps other users out, but root passes it: so a port another
// program holds exclusively is refused here too, and an flock on the device
// keeps out every program that locks it as well, this one included.
void TSerialPort::TakeExclusively(const std::string& port, const std::string& path)
{
    int heldExclusively = 0;
    if (::ioctl(fd_, TIOCGEXCL, &heldExclusively) == 0 && heldExclusively)
        throw EModbusError(OpenFailure(port, path, EBUSY));
    if (::ioctl(fd_, TIOCEXCL) < 0)
        throw EModbusError(OpenFailure(port, path, errno));
    exclusive_ = true;
    if (::flock(fd_, LOCK_EX | LOCK_NB) < 0)
        throw EModbusError(OpenFailure(port, path, errno == EWOULDBLOCK ? EBUSY : errno));
}

void TSerialPort::Configure(const TLineSettings& settings)
{
    flowControl_ = settings.FlowControl;
    RequestLowLatency();
    ApplyLineSettings(settings);
    if (flowControl_ == TFlowControl::fcRtsToggle)
        SetModemLine(TIOCM_RTS, false);
}

// Low latency makes USB adapters hand over each character at once instead of
// collecting them for several milliseconds, which would blur the silence that
// ends an RTU frame. Drivers without the setting (pseudo-terminals) refuse it.
void TSerialPort::RequestLowLatency()
{
    serial_struct info{};
    if (::ioctl(fd_, TIOCGSERIAL, &info) < 0)
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd_, TIOCSSERIAL, &info);
}

void TSerialPort::ApplyLineSettings(const TLineSettings& settings)
{
    if (!IsOpen())
        return;
    // Linux has no DSR/DTR handshake, and a rate of 0 would hang up the line.
    if (settings.FlowControl == TFlowControl::fcDtrDsr || settings.Baud == 0)
        throw EModbusError(kSettingsRefused);
    TTtyAttributes t;
    if (const int error = GetTtyAttributes(fd_, t))
        RaiseSettingsFailure(error);
    MakeRaw(t, settings);
    SetTtyRate(t, settings.Baud, StandardSpeed(settings.Baud));
    if (const int error = SetTtyAttributes(fd_, t))
        RaiseSettingsFailure(error);
    // The kernel accepts the settings when it could carry out any part of
    // them; a driver that cannot do a rate keeps another one.
    if (const int error = GetTtyAttributes(fd_, t))
        RaiseSettingsFailure(error);
    if (!RateCloseEnough(t.OutputSpeed, settings.Baud))
        throw EModbusError(kSettingsRefused);
    if (settings.FlowControl == TFlowControl::fcNone)
        SetModemLine(TIOCM_RTS, settings.RTSEnabled);
    SetModemLine(TIOCM_DTR, settings.DTREnabled);
}

// A port without modem lines has nothing to set: it still carries data.
void TSerialPort::SetModemLine(int line, bool on)
{
    if (RetryOnInterrupt([&] { return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line); }) == 0)
        return;
    const int error = errno;
    if (!IsNoModemLinesError(error))
        RaiseSystemError("modem line change", error);
}

bool TSerialPort::WriteFrame(const uint8_t* data, std::size_t len, uint32_t rtsHoldDelay)
{
    RequireOpen();
    if (flowControl_ != TFlowControl::fcRtsToggle)
        return Send(data, len);
    SetModemLine(TIOCM_RTS, true);
    bool written = false;
    try {
        written = Send(data, len);
        // An abort ends the hold early; RTS falls all the same.
        if (written)
            WaitForPort(0, int(std::min<uint32_t>(rtsHoldDelay, INT_MAX)));
    } catch (...) {
        // The failure is what the caller must see, not a second one of RTS.
        try {
            SetModemLine(TIOCM_RTS, false);
        } catch (const EKelvaneError&) {
        }
        throw;
    }
    SetModemLine(TIOCM_RTS, false);
    return written;
}

bool TSerialPort::Send(const uint8_t* data, std::size_t len)
{
    const bool written = WriteAll(data, len);
    if (written)
        WaitUntilSent();
    return written;
}

bool TSerialPort::WriteAll(const uint8_t* data, std::size_t len)
{
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = RetryOnInterrupt([&] { return ::write(fd_, data + done, len - done); });
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            RaiseSystemError("write", errno);
        if (WaitForPort(POLLOUT, -1) == TWaitResult::wrAborted)
            return false;
    }
    return true;
}

// tcdrain() cannot be aborted and never returns while a handshake holds the
// queue, so the queue is watched until it is empty, waking about when the
// driver should have sent it and less often while it does not move; tcdrain()
// then only waits for the last characters in the hardware.
void TSerialPort::WaitUntilSent()
{
    TTtyAttributes line;
    int lastPending = INT_MAX;
    int waitMs = 1;
    for (;;) {
        int pending = 0;
        if (::ioctl(fd_, TIOCOUTQ, &pending) < 0)
            RaiseSystemError("drain", errno);
        if (pending <= 0)
            break;
        if (line.OutputSpeed == 0) {
            if (const int error = GetTtyAttributes(fd_, line))
                RaiseSystemError("drain", error);
        }
        waitMs = pending < lastPending ? TransmitTimeMs(pending, line.OutputSpeed)
                                       : std::min(waitMs * 2, kStalledDrainPollMs);
        lastPending = pending;
        if (WaitForPort(0, waitMs) == TWaitResult::wrAborted)
            return;
    }
    if (RetryOnInterrupt([&] { return ::tcdrain(fd_); }) < 0)
        RaiseSystemError("drain", errno);
}

bool TSerialPort::WaitForData(int timeoutMs)
{
    RequireOpen();
    return WaitForPort(POLLIN, timeoutMs) == TWaitResult::wrReady;
}

// Waits for events on the port (0: only for a hang-up), an abort or the time
// limit (negative: none). A signal does not restart the wait: it goes on for
// what is left of the limit. A hang-up is final, so it raises EPortLost even
// when characters are reported with it.
TSerialPort::TWaitResult TSerialPort::WaitForPort(short events, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        pollfd fds[2] = {{fd_, events, 0}, {abortFd_, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeoutMs < 0 ? -1 : MillisecondsUntil(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            RaiseSystemError("wait", errno);
        if (n == 0)
            return TWaitResult::wrTimedOut;
        if (fds[1].revents != 0)
            return TWaitResult::wrAborted;
        if (fds[0].revents & POLLNVAL)
            RaiseSystemError("wait", EBADF);
        if (fds[0].revents & (POLLHUP | POLLERR))
            RaiseSystemError("wait", EIO);
        return TWaitResult::wrReady;
    }
}

std::size_t TSerialPort::ReadAvailable(uint8_t* dest, std::size_t n)
{
    RequireOpen();
    std::size_t total = 0;
    while (total < n) {
        const ssize_t got = RetryOnInterrupt([&] { return ::read(fd_, dest + total, n - total); });
        if (got > 0) {
            total += std::size_t(got);
            continue;
        }
        // With VMIN 1 only a hung-up line reads end of file.
        if (got == 0)
            RaiseSystemError("read", EIO);
        if (errno == EAGAIN)
            break;
        RaiseSystemError("read", errno);
    }
    return total;
}

void TSerialPort::Discard()
{
    RequireOpen();
    if (::tcflush(fd_, TCIOFLUSH) < 0)
        RaiseSystemError("discard", errno);
}

void TSerialPort::Abort()
{
    if (abortFd_ < 0)
        return;
    // The counter is never read, so the eventfd stays readable until Close.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(abortFd_, &one, sizeof one);
}

void TSerialPort::RequireOpen() const
{
    if (!IsOpen())
        throw EModbusError("Serial port is not open");
}

void TSerialPort::RaiseSettingsFailure(int error) const
{
    if (IsLostPortError(error))
        RaiseSystemError("settings", error);
    throw EModbusError(kSettingsRefused);
}

void TSerialPort::RaiseSystemError(const std::string& what, int error) const
{
    if (IsLostPortError(error))
        throw EPortLost("Serial port " + name_ + " was lost: " + SystemReason(error), error);
    throw EOSError("Serial port " + name_ + ": " + what + " failed: " + SystemReason(error), error);
}
