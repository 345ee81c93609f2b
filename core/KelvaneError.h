#pragma once

#include <stdexcept>
#include <string>

// Base of every exception this system raises. It carries only its message
// text, which the application's handler shows after "ERROR: ".
class EKelvaneError : public std::runtime_error {
public:
    explicit EKelvaneError(const std::string& message) : std::runtime_error(message) {}
};

// Raised by the serial Modbus layers for refused arguments and closed ports.
class EModbusError : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

// An operating-system call failed: the message carries the system's reason
// (strerror of Code), the way the platform's own error exception does.
class EOSError : public EKelvaneError {
public:
    EOSError(const std::string& message, int code) : EKelvaneError(message), Code(code) {}
    int Code;
};

// A serial port went away under its connection (an adapter unplugged): the
// port reported a hang-up or an error, or a read, write or ioctl failed with
// EIO, ENXIO or ENODEV. The message names the port and the system's reason.
class EPortLost : public EOSError {
public:
    using EOSError::EOSError;
};
