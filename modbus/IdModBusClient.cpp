#include "IdModBusClient.h"

#include <algorithm>

namespace {

// The result code of a socket operation that did not get done, by the step
// of the exchange it broke.
int SocketResult(TSocketOutcome outcome, int32_t failedStep)
{
    switch (outcome) {
    case TSocketOutcome::Aborted:
        return ModbusTcp::NoReply;
    case TSocketOutcome::SystemError:
        return TIdModBusClient::SocketError;
    default:
        return failedStep;
    }
}

} // namespace

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
    const ModbusTcp::TRequest request{UnitID, ModBusFunction, RegNumber, BlockLength};
    const auto frame = ModbusTcp::EncodeRequest(request, registerData_);
    TTcpSocket socket(WaitHook, WaitSliceMs);
    const TSocketOutcome connected = socket.Connect(Host, Port, TTcpSocket::DeadlineAfter(ConnectTimeOut));
    if (connected != TSocketOutcome::Done)
        return SocketResult(connected, SocketNotConnected);
    return ExchangeRequest(socket, request, frame);
}

int TIdModBusClient::ExchangeRequest(TTcpSocket& socket, const ModbusTcp::TRequest& request,
                                     const std::vector<uint8_t>& frame)
{
    lastRequest_ = frame;
    // A request fits an empty send buffer; the write waits only when the
    // peer stalls, and no longer than a connect may take.
    const TSocketOutcome sent = socket.WriteAll(frame.data(), frame.size(), TTcpSocket::DeadlineAfter(ConnectTimeOut));
    if (sent != TSocketOutcome::Done)
        return SocketResult(sent, SocketWriteError);
    uint8_t reply[ModbusTcp::MaxFrameSize];
    std::size_t received = 0;
    const TSocketOutcome outcome = ReceiveReply(socket, reply, received);
    lastReply_.assign(reply, reply + received);
    if (outcome != TSocketOutcome::Done)
        return SocketResult(outcome, SocketReadError);
    return ModbusTcp::DecodeReply(request, {reply, received}, registerData_);
}

// Collects the reply until the whole frame is in or TimeOut runs out; what
// arrived by then is the reply. Bytes beyond the frame are never read.
TSocketOutcome TIdModBusClient::ReceiveReply(TTcpSocket& socket, uint8_t* reply, std::size_t& have) const
{
    const auto deadline = TTcpSocket::DeadlineAfter(TimeOut);
    have = 0;
    for (;;) {
        const std::size_t need = ModbusTcp::ExpectedReplyLength(ModBusFunction, {reply, have});
        if (have >= need)
            return TSocketOutcome::Done;
        const TSocketOutcome waited = socket.WaitReadable(deadline);
        if (waited == TSocketOutcome::TimedOut)
            return TSocketOutcome::Done;
        if (waited != TSocketOutcome::Done)
            return waited;
        std::size_t got = 0;
        if (const TSocketOutcome read = socket.ReadAvailable(reply + have, need - have, got);
            read != TSocketOutcome::Done)
            return read;
        have += got;
    }
}
