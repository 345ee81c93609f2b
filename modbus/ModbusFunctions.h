#pragma once

#include <cstdint>

// The Modbus function codes the serial client speaks, and the value word of
// a coil switched on.
namespace ModbusFunctions {

constexpr uint8_t ReadCoils = 1;
constexpr uint8_t ReadDiscreteInputs = 2;
constexpr uint8_t ReadHoldingRegisters = 3;
constexpr uint8_t ReadInputRegisters = 4;
constexpr uint8_t WriteSingleCoil = 5;
constexpr uint8_t WriteSingleRegister = 6;
constexpr uint8_t ReadExceptionStatus = 7;
constexpr uint8_t Diagnostics = 8;
constexpr uint8_t WriteMultipleCoils = 15;
constexpr uint8_t WriteMultipleRegisters = 16;
constexpr uint8_t ReportServerIdentification = 17;
constexpr uint8_t ReadFileRecord = 20;
constexpr uint8_t WriteFileRecord = 21;
constexpr uint8_t MaskWriteSingleRegister = 22;
constexpr uint8_t ReadWriteMultipleRegisters = 23;

constexpr uint16_t CoilOn = 0xFF00;

} // namespace ModbusFunctions
