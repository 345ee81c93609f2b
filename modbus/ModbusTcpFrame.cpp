#include "ModbusTcpFrame.h"

#include <algorithm>
#include <string>

namespace ModbusTcp {

namespace {

void PutWord(std::vector<uint8_t>& frame, uint16_t word)
{
    frame.push_back(static_cast<uint8_t>(word >> 8));
    frame.push_back(static_cast<uint8_t>(word & 0xFF));
}

uint16_t WordAt(std::span<const uint8_t> bytes, std::size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

// Offset 10 onward of a request, by function.
void EncodeBody(std::vector<uint8_t>& frame, const TRequest& r, const TRegisterData& data)
{
    switch (r.Function) {
    case 1:
    case 2:
        PutWord(frame, std::min(r.BlockLength, MaxReadBits));
        break;
    case 3:
    case 4:
        PutWord(frame, std::min(r.BlockLength, MaxReadRegisters));
        break;
    case 5:
        PutWord(frame, data[0] != 0 ? 0xFF00 : 0x0000);
        break;
    case 6:
        PutWord(frame, data[0]);
        break;
    case 15: {
        uint16_t quantity = std::min(r.BlockLength, MaxReadBits);
        PutWord(frame, quantity);
        std::size_t byteCount = (quantity + 7u) / 8u;
        frame.push_back(static_cast<uint8_t>(byteCount));
        std::size_t first = frame.size();
        frame.resize(first + byteCount, 0);
        for (std::size_t i = 0; i < quantity; ++i)
            if (data[i] != 0)
                frame[first + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        break;
    }
    case 16:
        if (r.BlockLength < 1 || r.BlockLength > MaxWriteRegisters)
            throw EModbusTcpError("Modbus/TCP: a write of several registers takes 1 to 123 registers, not "
                                  + std::to_string(r.BlockLength));
        PutWord(frame, r.BlockLength);
        frame.push_back(static_cast<uint8_t>(2 * r.BlockLength));
        for (std::size_t i = 0; i < r.BlockLength; ++i)
            PutWord(frame, data[i]);
        break;
    default:
        throw EModbusTcpError("Modbus/TCP: function " + std::to_string(r.Function) + " is not supported");
    }
}

} // namespace

std::vector<uint8_t> EncodeRequest(const TRequest& request, const TRegisterData& data)
{
    std::vector<uint8_t> frame;
    frame.reserve(FrameBufferSize);
    PutWord(frame, 0); // transaction identifier
    PutWord(frame, 0); // protocol identifier
    PutWord(frame, 0); // length, filled in below
    frame.push_back(request.UnitID);
    frame.push_back(request.Function);
    PutWord(frame, request.RegNumber);
    EncodeBody(frame, request, data);
    const uint16_t length = static_cast<uint16_t>(frame.size() - 6);
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length & 0xFF);
    return frame;
}

bool IsForeignFunction(uint8_t function, std::span<const uint8_t> received)
{
    if (received.size() < 8)
        return false;
    const uint8_t code = received[7];
    return code != function && code != (function | 0x80);
}

std::size_t ExpectedReplyLength(uint8_t function, std::span<const uint8_t> received)
{
    if (received.size() < ReplyHeadSize || received[7] != function)
        return ReplyHeadSize;
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
        return std::min<std::size_t>(ReplyHeadSize + received[8], FrameBufferSize);
    default:
        return 12; // the echo of a write: address and value or quantity
    }
}

int DecodeReply(uint8_t function, std::span<const uint8_t> reply, TRegisterData& data)
{
    if (reply.empty())
        return -1;
    if (IsForeignFunction(function, reply))
        return -1;
    if (reply.size() < ExpectedReplyLength(function, reply))
        return -2;
    if (reply[7] != function)
        return reply[8] != 0 ? reply[8] : -2;

    const std::size_t byteCount = reply[8];
    switch (function) {
    case 1:
    case 2: {
        std::size_t count = std::min<std::size_t>(byteCount * 8, MaxReadBits);
        for (std::size_t i = 0; i < count; ++i)
            data[i] = (reply[ReplyHeadSize + i / 8] >> (i % 8)) & 1;
        break;
    }
    case 3:
    case 4: {
        std::size_t count = std::min<std::size_t>(byteCount / 2, MaxReadRegisters);
        for (std::size_t i = 0; i < count; ++i)
            data[i] = WordAt(reply, ReplyHeadSize + 2 * i);
        break;
    }
    default:
        break;
    }
    return 0;
}

} // namespace ModbusTcp
