#include "IdModBusClient.h"

#include <algorithm>
#include <chrono>
#include <limits>

TIdModBusClient::TIdModBusClient() = default;

int TIdModBusClient::ReadHoldingRegisters(uint16_t regNumber, uint16_t count, std::span<uint16_t> dest)
{
    ModBusFunction = 3;
    BlockLength = count;
    RegNumber = regNumber;
    registerData_.fill(0);
    const int result = Transact();
    const std::size_t n = std::min<std::size_t>({count, dest.size(), registerData_.size()});
    std::copy_n(registerData_.begin(), n, dest.begin());
    return result;
}

int TIdModBusClient::WriteSingleRegister(uint16_t regNumber, uint16_t value)
{
    ModBusFunction = 6;
    RegNumber = regNumber;
    registerData_[0] = value;
    return Transact();
}

int TIdModBusClient::WriteMultipleRegisters(uint16_t regNumber, std::span<const uint16_t> values)
{
    ModBusFunction = 16;
    BlockLength = static_cast<uint16_t>(std::min<std::size_t>(values.size(), 0xFFFF));
    RegNumber = regNumber;
    std::copy_n(values.begin(), std::min(values.size(), registerData_.size()), registerData_.begin());
    return Transact();
}

int TIdModBusClient::Transact()
{
    lastRequest_.clear();
    lastReply_.clear();
    // The request is built first: a refused one is refused before connecting.
    const auto request = ModbusTcp::EncodeRequest({UnitID, ModBusFunction, RegNumber, BlockLength}, registerData_);
    TTcpSocket socket;
    socket.Connect(Host, Port, ConnectTimeOut);
    if (!socket.Connected())
        return -4;
    return ExchangeRequest(socket, request);
}

int TIdModBusClient::ExchangeRequest(TTcpSocket& socket, const std::vector<uint8_t>& request)
{
    lastRequest_ = request;
    socket.WriteAll(request.data(), request.size());
    uint8_t reply[ModbusTcp::FrameBufferSize];
    const std::size_t received = ReceiveReply(socket, reply);
    lastReply_.assign(reply, reply + received);
    return ModbusTcp::DecodeReply(ModBusFunction, {reply, received}, registerData_);
}

// Collects the reply until the whole frame is in, the function code shows it
// is not ours, or TimeOut runs out. Bytes beyond the frame are never read.
std::size_t TIdModBusClient::ReceiveReply(TTcpSocket& socket, uint8_t* reply)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeOut);
    std::size_t have = 0;
    for (;;) {
        const std::span<const uint8_t> received{reply, have};
        const std::size_t need = ModbusTcp::ExpectedReplyLength(ModBusFunction, received);
        if (have >= need || ModbusTcp::IsForeignFunction(ModBusFunction, received))
            return have;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int wait = static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
        if (TimeOut == 0) {
            if (!socket.WaitReadable(0))
                return have;
        } else if (wait <= 0 || !socket.WaitReadable(wait)) {
            return have;
        }
        const std::size_t got = socket.ReadAvailable(reply + have, need - have);
        if (got == 0 && TimeOut == 0)
            return have;
        have += got;
    }
}
