#pragma once

// One open serial port on termios: exclusive, raw, non-blocking. The worker
// thread does all its I/O through it; the GUI thread only reapplies the line
// settings. Every wait is poll() on the port and an eventfd, so Abort() (from
// any thread) ends a wait at once and nothing ever spins.
//
// A port that goes away (an adapter unplugged: POLLHUP or POLLERR, a read
// that returns 0 or fails with EIO, an ioctl that fails with EIO, ENXIO or
// ENODEV) raises EPortLost "Serial port NAME was lost: REASON"; other system
// failures raise EOSError "Serial port NAME: OPERATION failed: REASON". NAME
// is the device path. Port operations on a closed port raise EModbusError
// "Serial port is not open".

#include "ByteChannel.h"

#include <cstdint>
#include <string>

enum class TFlowControl { fcNone, fcRtsToggle, fcRtsCts, fcDtrDsr };

struct TLineSettings {
    uint32_t Baud = 19200; // any rate; one termios has no constant for goes through BOTHER
    TDataBits DataBits = TDataBits::db8;
    TParityScheme Parity = TParityScheme::psEven;
    TStopBits StopBits = TStopBits::sb1;
    TFlowControl FlowControl = TFlowControl::fcNone;
    bool RTSEnabled = true;
    bool DTREnabled = true;
};

// Linux's device path for a port name: a path as it is, a bare name under
// /dev, a Windows-style COMn (any case, n >= 1) as /dev/ttyS(n-1).
std::string SerialDevicePath(const std::string& port);

class TSerialPort final : public TByteChannel {
public:
    TSerialPort() = default;
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;
    ~TSerialPort() override;

    // Opens the port for exclusive use (TIOCEXCL; a port another program
    // holds with TIOCEXCL or an flock is refused even to root) and applies
    // the line settings; asks the driver for low latency and goes on where
    // it refuses. Raises EModbusError "Could not open serial port: NAME:
    // REASON" (NAME is the name given, followed by the device path in
    // brackets when that differs; EACCES adds the dialout remedy, a port in
    // use says so) or "Failed to update device control block" (settings
    // Linux cannot do, DTR/DSR among them); nothing stays open after a
    // failure. An open port is closed first.
    void Open(const std::string& port, const TLineSettings& settings);
    // Takes an already open tty descriptor and makes it non-blocking; Close
    // gives it back with its old file status flags and never closes it. An
    // invalid descriptor raises "Could not open serial port".
    void Hook(int fd, const TLineSettings& settings);
    // Idempotent; also clears an abort.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Handle() const override { return fd_; }
    const std::string& Name() const { return name_; }

    // Raises "Failed to update device control block" when refused, also when
    // the driver runs the line more than 3 % off the rate asked for. A no-op
    // without a port. RTS and DTR follow RTSEnabled and DTREnabled, except
    // that RTS belongs to the driver with fcRtsCts and to WriteFrame with
    // fcRtsToggle (lowered at open). The flow control must stay the one the
    // port was opened with.
    void ApplyLineSettings(const TLineSettings& settings);

    // Writes the whole frame and waits until the driver has sent it; with
    // fcRtsToggle raises RTS around it and keeps it up rtsHoldDelay ms after.
    // True when the driver took all len bytes; false when an abort ended the
    // wait for room first. An abort also ends the drain and the RTS hold.
    bool WriteFrame(const uint8_t* data, std::size_t len, uint32_t rtsHoldDelay) override;
    bool WaitForData(int timeoutMs) override;
    std::size_t ReadAvailable(uint8_t* dest, std::size_t n) override;
    // Drops what the driver holds in both directions.
    void Discard() override;
    // Ends the current WaitForData and every later wait at once (any thread,
    // but not during Open or Close): the abort stays set until the port is
    // closed, since after an abort its worker is terminating.
    void Abort() override;

private:
    enum class TWaitResult { wrReady, wrTimedOut, wrAborted };

    void Configure(const TLineSettings& settings);
    void TakeExclusively(const std::string& port, const std::string& path);
    void RequestLowLatency();
    void SetModemLine(int line, bool on);
    void RequireOpen() const;
    TWaitResult WaitForPort(short events, int timeoutMs);
    bool Send(const uint8_t* data, std::size_t len);
    bool WriteAll(const uint8_t* data, std::size_t len);
    void WaitUntilSent();
    [[noreturn]] void RaiseSettingsFailure(int error) const;
    [[noreturn]] void RaiseSystemError(const std::string& what, int error) const;

    int fd_ = -1;
    int abortFd_ = -1;
    bool hooked_ = false;
    bool exclusive_ = false; // TIOCEXCL is ours to clear
    int hookedFlags_ = 0;
    TFlowControl flowControl_ = TFlowControl::fcNone;
    std::string name_;
};
