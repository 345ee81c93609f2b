#pragma once

// One open serial port on termios: exclusive, raw, non-blocking. The worker
// thread does all its I/O through it; the GUI thread only reapplies the line
// settings. Every wait is poll() on the port and an eventfd, so Abort() (from
// any thread) ends a wait at once and nothing ever spins.
//
// A port that goes away (an adapter unplugged: POLLHUP or POLLERR, a read
// that returns 0 or fails with EIO, an ioctl that fails with EIO, ENXIO or
// ENODEV) raises EPortLost naming the port and the system's reason; other
// failures raise EOSError with the system's reason.

#include "SerialFrame.h"

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
// /dev, a Windows-style COMn as /dev/ttyS(n-1).
std::string SerialDevicePath(const std::string& port);

class TSerialPort : public TSerialInput {
public:
    TSerialPort() = default;
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;
    ~TSerialPort() override;

    // Opens the port for exclusive use and applies the line settings; asks the
    // driver for low latency and goes on where it refuses. Raises
    // EModbusError "Could not open serial port" (with the system's reason and,
    // for EACCES, the dialout remedy appended after a colon) or "Failed to
    // update device control block" (settings Linux cannot do, DTR/DSR among
    // them); nothing stays open after a failure.
    void Open(const std::string& port, const TLineSettings& settings);
    // Takes an already open descriptor (not closed by Close).
    void Hook(int fd, const TLineSettings& settings);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Handle() const { return fd_; }
    const std::string& Name() const { return name_; }

    // Raises "Failed to update device control block" when refused.
    void ApplyLineSettings(const TLineSettings& settings);

    // Writes the whole frame and waits until the driver has sent it; with
    // fcRtsToggle raises RTS around it and keeps it up rtsHoldDelay ms after.
    // True when all len bytes were written.
    bool WriteFrame(const uint8_t* data, std::size_t len, uint32_t rtsHoldDelay);
    bool WaitForData(int timeoutMs) override;
    std::size_t ReadAvailable(uint8_t* dest, std::size_t n) override;
    // Drops what the driver holds in both directions.
    void Discard();
    // Ends the current and the next WaitForData at once (any thread).
    void Abort();

private:
    [[noreturn]] void RaiseSystemError(const std::string& what, int error) const;

    int fd_ = -1;
    int abortFd_ = -1;
    bool hooked_ = false;
    TFlowControl flowControl_ = TFlowControl::fcNone;
    std::string name_;
};
