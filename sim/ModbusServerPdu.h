#pragma once

#include <cstdint>
#include <span>
#include <vector>

class TMeterModel;

// The server side of a Modbus exchange at the PDU level: a request PDU in,
// the reply PDU out, whatever the transport. Pure apart from the meter it
// reads and writes.
namespace ModbusServerPdu {

enum : uint8_t {
    FnReadHolding = 3,
    FnReadInput = 4,
    FnWriteSingle = 6,
    FnWriteMultiple = 16,
    FnReportServerId = 17,
};

enum : uint8_t {
    ExIllegalFunction = 1,
    ExIllegalAddress = 2,
    ExIllegalValue = 3,
    ExServerFailure = 4,
    ExGatewayTargetFailed = 11,
};

// The ID byte of the identification report.
constexpr uint8_t ServerId = 0x4B;
constexpr uint8_t RunStatusOn = 0xFF;

// Largest request a server reads (FC 3/4) or writes (FC 16) at once.
constexpr uint16_t MaxReadCount = 125;
constexpr uint16_t MaxWriteCount = 123;

// The reply to `request` (function code first). Input registers mirror the
// holding registers. An unknown function gives exception 1, a quantity or
// length out of range exception 3 (checked before the address), an address
// the meter refuses exception 2.
std::vector<uint8_t> Handle(TMeterModel& meter, std::span<const uint8_t> request);

// A request that changes registers (functions 6 and 16), the kind a
// broadcast may carry.
bool IsWrite(std::span<const uint8_t> request);

// An exception reply for `function`.
std::vector<uint8_t> Exception(uint8_t function, uint8_t code);

} // namespace ModbusServerPdu
