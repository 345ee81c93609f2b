#pragma once

// Modbus/TCP frames as pure functions, bytes in and bytes out, no socket: the
// MBAP header around a PDU of the layer both transports share. The client
// builds with them and the tests check them by tables.

#include "KelvaneError.h"
#include "ModbusPdu.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Raised when a Modbus/TCP exchange is refused before anything is sent.
class EModbusTcpError : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

namespace ModbusTcp {

// Transaction identifier, protocol identifier, length and unit identifier.
constexpr std::size_t HeaderSize = TcpLayout.HeaderSize;
constexpr std::size_t MaxFrameSize = TcpLayout.MaxAduSize;
constexpr std::size_t RegisterDataSize = 256;
// The client sends at most this many coils or inputs in one request.
constexpr uint16_t MaxBitQuantity = 250;

// Result codes of an exchange, besides 0 and the exception codes 1 ... 255.
constexpr int NoReply = -1;        // nothing in time, or a foreign function code
constexpr int InvalidReply = -2;   // cut short, or data that is not what was asked
constexpr int UnmatchedReply = -4; // a write echo that does not repeat the request

using TRegisterData = std::array<uint16_t, RegisterDataSize>;

struct TRequest {
    uint8_t UnitID = 1;
    uint8_t Function = 0;
    uint16_t RegNumber = 0;
    uint16_t BlockLength = 0;
};

// The PDU of a request as the client lays it out from its fields and data:
// read quantities capped at 125 registers or 250 bits, a coil written on
// when its word is not 0. Raises EModbusTcpError for a function without a
// request layout and for a function 16 block outside 1 ... 123 registers,
// so that nothing is sent for them.
ModbusPdu::TPdu RequestPdu(const TRequest& request, const TRegisterData& data);

// The MBAP header (the transaction identifier, protocol identifier 0, the
// length of what follows, the unit identifier) and the PDU.
std::vector<uint8_t> EncodeFrame(uint8_t unitId, std::span<const uint8_t> pdu, uint16_t transactionId = 0);

std::vector<uint8_t> EncodeRequest(const TRequest& request, const TRegisterData& data, uint16_t transactionId = 0);

// The fields of a frame's MBAP header (the frame holds at least HeaderSize bytes).
struct THeader {
    uint16_t TransactionId;
    uint16_t ProtocolId;
    uint16_t Length; // of the unit identifier and the PDU
    uint8_t UnitId;
};
THeader ReadHeader(std::span<const uint8_t> frame);
// A header a Modbus/TCP stream can be read on by: protocol identifier 0 and
// a length that holds a unit identifier and a PDU of one to 253 bytes. After
// any other, where the next frame starts cannot be known.
bool HeaderSound(const THeader& header);

// The PDU of a frame: what follows the header (empty while it is incomplete).
std::span<const uint8_t> FramePdu(std::span<const uint8_t> frame);

// Total length of the reply to a request of this function, judged from the
// bytes received so far: the header and function code until more is known,
// then the whole frame, never more than MaxFrameSize.
std::size_t ExpectedReplyLength(uint8_t function, std::span<const uint8_t> received);

// The result code of a reply, as far as it arrived. data holds the values
// of the request on entry (the echo of a write is checked against them);
// the values of a read are parsed into it when the reply is sound, and it is
// left alone otherwise. A read must bring the count asked, a write must
// echo the address and value or quantity sent.
int DecodeReply(const TRequest& request, std::span<const uint8_t> reply, TRegisterData& data);

} // namespace ModbusTcp
