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

uint16_t ReadQuantity(const TRequest& r)
{
    return std::min(r.BlockLength, r.Function <= 2 ? MaxBitQuantity : ModbusPdu::MaxReadRegisters);
}

uint16_t CoilWord(uint16_t data)
{
    return data != 0 ? 0xFF00 : 0x0000;
}

ModbusPdu::TPdu WriteCoilsPdu(const TRequest& r, const TRegisterData& data)
{
    const uint16_t quantity = std::min(r.BlockLength, MaxBitQuantity);
    std::array<bool, MaxBitQuantity> bits{};
    std::transform(data.begin(), data.begin() + quantity, bits.begin(), [](uint16_t w) { return w != 0; });
    return ModbusPdu::WriteMultipleCoilsRequest(r.RegNumber, std::span<const bool>(bits).first(quantity));
}

ModbusPdu::TPdu WriteRegistersPdu(const TRequest& r, const TRegisterData& data)
{
    if (r.BlockLength < 1 || r.BlockLength > ModbusPdu::MaxWriteRegisters)
        throw EModbusTcpError("Modbus/TCP: a write of several registers takes 1 to 123 registers, not "
                              + std::to_string(r.BlockLength));
    return ModbusPdu::WriteMultipleRegistersRequest(r.RegNumber, std::span(data).first(r.BlockLength));
}

// Bits of a reply to functions 1 and 2, least significant bit first, one
// word (0 or 1) each.
int DecodeBits(std::span<const uint8_t> pdu, uint16_t count, TRegisterData& data)
{
    const std::size_t byteCount = (count + 7u) / 8u;
    if (pdu[1] != byteCount || pdu.size() < 2 + byteCount)
        return InvalidReply;
    for (std::size_t i = 0; i < count; ++i)
        data[i] = (pdu[2 + i / 8] >> (i % 8)) & 1;
    return 0;
}

int EchoResult(std::span<const uint8_t> pdu, uint16_t first, uint16_t second)
{
    return ModbusPdu::EchoMatches(pdu, first, second) ? 0 : UnmatchedReply;
}

// A whole normal reply PDU, its function code the request's.
int DecodeData(const TRequest& r, std::span<const uint8_t> pdu, TRegisterData& data)
{
    switch (r.Function) {
    case 1:
    case 2:
        return DecodeBits(pdu, ReadQuantity(r), data);
    case 3:
    case 4:
        return ModbusPdu::ReadRegistersReply(pdu, ReadQuantity(r), data) ? 0 : InvalidReply;
    case 5:
        return EchoResult(pdu, r.RegNumber, CoilWord(data[0]));
    case 6:
        return EchoResult(pdu, r.RegNumber, data[0]);
    case 15:
        return EchoResult(pdu, r.RegNumber, std::min(r.BlockLength, MaxBitQuantity));
    case 16:
        return EchoResult(pdu, r.RegNumber, r.BlockLength);
    default:
        return 0;
    }
}

} // namespace

ModbusPdu::TPdu RequestPdu(const TRequest& r, const TRegisterData& data)
{
    switch (r.Function) {
    case 1:
    case 2:
    case 3:
    case 4:
        return ModbusPdu::ReadRequest(r.Function, r.RegNumber, ReadQuantity(r));
    case 5:
        return ModbusPdu::WriteSingleCoilRequest(r.RegNumber, data[0] != 0);
    case 6:
        return ModbusPdu::WriteSingleRegisterRequest(r.RegNumber, data[0]);
    case 15:
        return WriteCoilsPdu(r, data);
    case 16:
        return WriteRegistersPdu(r, data);
    default:
        throw EModbusTcpError("Modbus/TCP: function " + std::to_string(r.Function) + " is not supported");
    }
}

std::vector<uint8_t> EncodeFrame(uint8_t unitId, std::span<const uint8_t> pdu, uint16_t transactionId)
{
    std::vector<uint8_t> frame;
    frame.reserve(HeaderSize + pdu.size());
    PutWord(frame, transactionId);
    PutWord(frame, 0); // protocol identifier
    PutWord(frame, static_cast<uint16_t>(pdu.size() + 1)); // the unit identifier and the PDU follow
    frame.push_back(unitId);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

std::vector<uint8_t> EncodeRequest(const TRequest& request, const TRegisterData& data, uint16_t transactionId)
{
    return EncodeFrame(request.UnitID, RequestPdu(request, data), transactionId);
}

THeader ReadHeader(std::span<const uint8_t> frame)
{
    auto word = [&](std::size_t at) { return static_cast<uint16_t>(frame[at] << 8 | frame[at + 1]); };
    return {word(0), word(2), word(4), frame[6]};
}

bool HeaderSound(const THeader& header)
{
    return header.ProtocolId == 0 && header.Length >= 2 && header.Length <= MaxFrameSize - HeaderSize + 1;
}

std::span<const uint8_t> FramePdu(std::span<const uint8_t> frame)
{
    return frame.size() > HeaderSize ? frame.subspan(HeaderSize) : std::span<const uint8_t>{};
}

std::size_t ExpectedReplyLength(uint8_t function, std::span<const uint8_t> received)
{
    return HeaderSize + ModbusPdu::ReplyLength(function, FramePdu(received));
}

int DecodeReply(const TRequest& request, std::span<const uint8_t> reply, TRegisterData& data)
{
    if (reply.empty())
        return NoReply;
    const std::span<const uint8_t> pdu = FramePdu(reply);
    if (pdu.empty())
        return InvalidReply;
    if (!ModbusPdu::FunctionMatches(request.Function, pdu))
        return NoReply;
    const std::size_t length = ModbusPdu::ReplyLength(request.Function, pdu);
    if (pdu.size() < length)
        return InvalidReply;
    const std::span<const uint8_t> whole = pdu.first(length);
    if (ModbusPdu::IsException(whole))
        return whole[1] != 0 ? whole[1] : InvalidReply;
    return DecodeData(request, whole, data);
}

} // namespace ModbusTcp
