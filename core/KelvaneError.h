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
