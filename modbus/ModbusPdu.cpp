#include "ModbusPdu.h"

#include <algorithm>

namespace ModbusPdu {

namespace {

void PutWord(TPdu& pdu, uint16_t word)
{
    pdu.push_back(static_cast<uint8_t>(word >> 8));
    pdu.push_back(static_cast<uint8_t>(word & 0xFF));
}

uint16_t WordAt(std::span<const uint8_t> pdu, std::size_t offset)
{
    return static_cast<uint16_t>(pdu[offset] << 8 | pdu[offset + 1]);
}

TPdu FunctionWithWords(uint8_t function, std::initializer_list<uint16_t> words)
{
    TPdu pdu{function};
    for (uint16_t w : words)
        PutWord(pdu, w);
    return pdu;
}

void PutRegisterValues(TPdu& pdu, std::span<const uint16_t> values)
{
    pdu.push_back(static_cast<uint8_t>(2 * values.size()));
    for (uint16_t v : values)
        PutWord(pdu, v);
}

// Reply lengths of the functions whose reply has a fixed size.
std::size_t FixedReplyLength(uint8_t function)
{
    switch (function) {
    case 7:
        return 2; // function, status byte
    case 5:
    case 6:
    case 8:
    case 15:
    case 16:
        return 5; // function and two echoed words
    case 22:
        return 7; // function and the three words of the request
    default:
        return 0;
    }
}

// Functions whose reply is the function code, a byte count and that many bytes.
bool HasByteCount(uint8_t function)
{
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 17:
    case 20:
    case 21:
    case 23:
        return true;
    default:
        return false;
    }
}

} // namespace

TPdu ReadRequest(uint8_t function, uint16_t start, uint16_t count)
{
    return FunctionWithWords(function, {start, count});
}

TPdu WriteSingleCoilRequest(uint16_t address, bool on)
{
    return FunctionWithWords(5, {address, static_cast<uint16_t>(on ? 0xFF00 : 0x0000)});
}

TPdu WriteSingleRegisterRequest(uint16_t address, uint16_t value)
{
    return FunctionWithWords(6, {address, value});
}

TPdu WriteMultipleCoilsRequest(uint16_t start, std::span<const bool> values)
{
    TPdu pdu = FunctionWithWords(15, {start, static_cast<uint16_t>(values.size())});
    const std::size_t byteCount = (values.size() + 7) / 8;
    pdu.push_back(static_cast<uint8_t>(byteCount));
    const std::size_t first = pdu.size();
    pdu.resize(first + byteCount, 0);
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i])
            pdu[first + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return pdu;
}

TPdu WriteMultipleRegistersRequest(uint16_t start, std::span<const uint16_t> values)
{
    TPdu pdu = FunctionWithWords(16, {start, static_cast<uint16_t>(values.size())});
    PutRegisterValues(pdu, values);
    return pdu;
}

TPdu ReadExceptionStatusRequest()
{
    return {7};
}

TPdu DiagnosticsRequest(uint16_t subFunction, uint16_t data)
{
    return FunctionWithWords(8, {subFunction, data});
}

TPdu ReportServerIdRequest()
{
    return {17};
}

TPdu MaskWriteRegisterRequest(uint16_t address, uint16_t andMask, uint16_t orMask)
{
    return FunctionWithWords(22, {address, andMask, orMask});
}

TPdu ReadWriteRegistersRequest(uint16_t readStart, uint16_t readCount, uint16_t writeStart,
                               std::span<const uint16_t> values)
{
    TPdu pdu = FunctionWithWords(23, {readStart, readCount, writeStart, static_cast<uint16_t>(values.size())});
    PutRegisterValues(pdu, values);
    return pdu;
}

// A reply whose function code is neither the request's nor its exception
// form is complete as it stands: waiting for more of it cannot make it fit.
// The same holds for a function whose reply layout is unknown.
std::size_t ReplyLength(uint8_t requestFunction, std::span<const uint8_t> received)
{
    if (received.empty())
        return 1;
    const uint8_t function = received[0];
    if (function == (requestFunction | ExceptionFlag))
        return 2;
    std::size_t length = received.size();
    if (function == requestFunction) {
        if (const std::size_t fixed = FixedReplyLength(function))
            length = fixed;
        else if (HasByteCount(function))
            length = received.size() < 2 ? 2 : 2 + std::size_t{received[1]};
    }
    return std::min(length, MaxPduSize);
}

bool IsException(std::span<const uint8_t> pdu)
{
    return pdu.size() == 2 && pdu[0] > ExceptionFlag;
}

bool FunctionMatches(uint8_t requestFunction, std::span<const uint8_t> pdu)
{
    return !pdu.empty() && (pdu[0] & ~ExceptionFlag) == requestFunction;
}

bool ReadRegistersReply(std::span<const uint8_t> pdu, uint16_t count, std::span<uint16_t> dest)
{
    if (pdu.size() < 2 || pdu[1] / 2 != count || pdu.size() < 2 + 2 * std::size_t{count} || dest.size() < count)
        return false;
    for (std::size_t i = 0; i < count; ++i)
        dest[i] = WordAt(pdu, 2 + 2 * i);
    return true;
}

bool EchoMatches(std::span<const uint8_t> pdu, uint16_t first, uint16_t second)
{
    return pdu.size() >= 5 && WordAt(pdu, 1) == first && WordAt(pdu, 3) == second;
}

} // namespace ModbusPdu
