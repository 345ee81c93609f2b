#pragma once

// Modbus/TCP request and reply frames as pure functions: bytes in, bytes out,
// no socket. The client builds with them and the tests check them by tables.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "KelvaneError.h"

// Raised when a Modbus/TCP exchange is refused before anything is sent.
class EModbusTcpError : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

namespace ModbusTcp {

constexpr std::size_t FrameBufferSize = 266;
constexpr std::size_t ReplyHeadSize = 9; // MBAP header, function, byte count or exception
constexpr std::size_t RegisterDataSize = 256;
constexpr uint16_t MaxReadRegisters = 125;
constexpr uint16_t MaxReadBits = 250;
constexpr uint16_t MaxWriteRegisters = 123;

using TRegisterData = std::array<uint16_t, RegisterDataSize>;

struct TRequest {
    uint8_t UnitID = 1;
    uint8_t Function = 0;
    uint16_t RegNumber = 0;
    uint16_t BlockLength = 0;
};

// The request frame with its MBAP header. Raises EModbusTcpError for a
// function without a request layout and for a function 16 block outside
// 1 ... 123 registers, so that nothing is sent for them.
std::vector<uint8_t> EncodeRequest(const TRequest& request, const TRegisterData& data);

// Total length of the reply to a request of this function, judged from the
// bytes received so far: the 9-byte head until the function code and byte
// count are known, then the whole frame, never more than the reply buffer.
std::size_t ExpectedReplyLength(uint8_t function, std::span<const uint8_t> received);

// True once the received function code is neither the request's nor its
// exception form, so waiting for more bytes is pointless.
bool IsForeignFunction(uint8_t function, std::span<const uint8_t> received);

// The client's result code for a reply, as far as it arrived: 0 with the
// data of functions 1 to 4 parsed into data, the exception code of an
// exception reply, -1 for no reply or a foreign function code, -2 for a
// reply cut short or an exception reply that names no exception.
int DecodeReply(uint8_t function, std::span<const uint8_t> reply, TRegisterData& data);

} // namespace ModbusTcp
