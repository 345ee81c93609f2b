#pragma once

// The Modbus protocol data unit, the same on every transport: request
// layouts, the length of a reply judged from what has arrived, and the
// checks a reply must pass against its request. Pure functions, bytes in and
// bytes out; a PDU starts with its function code. The transports wrap it:
// Modbus/TCP in its 7-byte MBAP header, RTU and ASCII in an address byte and
// a checksum, each with the sizes of its layout below.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct TTransportLayout {
    std::size_t HeaderSize;   // bytes before the PDU
    std::size_t ChecksumSize; // bytes after it
    std::size_t MaxAduSize;   // the largest frame
};
inline constexpr TTransportLayout TcpLayout{7, 0, 260};
inline constexpr TTransportLayout RtuLayout{1, 2, 256};
inline constexpr TTransportLayout AsciiLayout{1, 1, 255};

namespace ModbusPdu {

constexpr std::size_t MaxPduSize = 253;
constexpr uint16_t MaxReadRegisters = 125;
constexpr uint16_t MaxWriteRegisters = 123;
constexpr uint16_t MaxReadBits = 2000;
constexpr uint16_t MaxWriteBits = 1968;
constexpr uint8_t ExceptionFlag = 0x80;

using TPdu = std::vector<uint8_t>;

// Request PDUs. Arguments are taken as given; the callers check their limits.
TPdu ReadRequest(uint8_t function, uint16_t start, uint16_t count); // functions 1 to 4
TPdu WriteSingleCoilRequest(uint16_t address, bool on);
TPdu WriteSingleRegisterRequest(uint16_t address, uint16_t value);
TPdu WriteMultipleCoilsRequest(uint16_t start, std::span<const bool> values);
TPdu WriteMultipleRegistersRequest(uint16_t start, std::span<const uint16_t> values);
TPdu ReadExceptionStatusRequest();
TPdu DiagnosticsRequest(uint16_t subFunction, uint16_t data);
TPdu ReportServerIdRequest();
TPdu MaskWriteRegisterRequest(uint16_t address, uint16_t andMask, uint16_t orMask);
TPdu ReadWriteRegistersRequest(uint16_t readStart, uint16_t readCount, uint16_t writeStart,
                               std::span<const uint16_t> values);

// File record access (functions 20 and 21): each record is a range of
// RecordLength registers from RecordNumber on in file FileNumber; a write
// carries Values, one per register (RecordLength is then Values.size()).
// A request's data, like a reply's, is at most MaxFileRecordBytes bytes.
constexpr uint8_t FileRecordReference = 6;
constexpr std::size_t MaxFileRecordBytes = 245;
struct TFileRecordRef {
    uint16_t FileNumber = 0;
    uint16_t RecordNumber = 0;
    uint16_t RecordLength = 0;
    std::span<const uint16_t> Values;
};
TPdu ReadFileRecordRequest(std::span<const TFileRecordRef> records);
TPdu WriteFileRecordRequest(std::span<const TFileRecordRef> records);

// The length of the whole reply PDU to a request of this function, judged
// from the bytes received so far (function code first): what is needed to
// learn it until then, the exact length once known, never more than
// MaxPduSize. An exception reply is 2 bytes. A reply whose function code is
// foreign to the request, or whose layout is unknown, is taken as complete
// with what has arrived.
std::size_t ReplyLength(uint8_t requestFunction, std::span<const uint8_t> received);

// An exception reply: two bytes, the function code with bit 7 set (0x80
// itself is none) and the exception code.
bool IsException(std::span<const uint8_t> pdu);
// The reply's function code is the request's, plain or as an exception.
bool FunctionMatches(uint8_t requestFunction, std::span<const uint8_t> pdu);

// Register values of a reply to functions 3, 4 and 23: true when its byte
// count, halved, is count and the data is there; the values go to dest.
bool ReadRegistersReply(std::span<const uint8_t> pdu, uint16_t count, std::span<uint16_t> dest);
// A write reply that repeats the two words it must (functions 5, 6, 15, 16).
bool EchoMatches(std::span<const uint8_t> pdu, uint16_t first, uint16_t second);

} // namespace ModbusPdu
