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
    discards_.clear();
    invalidReason_.clear();
    // The request is built first: a refused one is refused before connecting.
    const ModbusTcp::TRequest request{UnitID, ModBusFunction, RegNumber, BlockLength};
    const uint16_t transactionId = ++transactionId_;
    const auto frame = ModbusTcp::EncodeRequest(request, registerData_, transactionId);
    TTcpSocket socket(WaitHook, WaitSliceMs);
    const TSocketOutcome connected = socket.Connect(Host, Port, TTcpSocket::DeadlineAfter(ConnectTimeOut));
    if (connected != TSocketOutcome::Done)
        return SocketResult(connected, SocketNotConnected);
    lastRequest_ = frame;
    // A request fits an empty send buffer; the write waits only when the
    // peer stalls, and no longer than a connect may take.
    const TSocketOutcome sent = socket.WriteAll(frame.data(), frame.size(), TTcpSocket::DeadlineAfter(ConnectTimeOut));
    if (sent != TSocketOutcome::Done)
        return SocketResult(sent, SocketWriteError);
    return ReceiveReply(socket, request, transactionId);
}

int TIdModBusClient::Invalid(std::string reason)
{
    invalidReason_ = std::move(reason);
    return ModbusTcp::InvalidReply;
}

// Reads frames until the one that answers this request, or until TimeOut
// runs out. Frames of other transactions or units are set aside; after an
// unsound header nothing more can be read from the stream.
int TIdModBusClient::ReceiveReply(TTcpSocket& socket, const ModbusTcp::TRequest& request, uint16_t transactionId)
{
    const auto deadline = TTcpSocket::DeadlineAfter(TimeOut);
    for (;;) {
        lastReply_.clear();
        const TSocketOutcome outcome = ReadFrame(socket, deadline);
        if (outcome != TSocketOutcome::Done && outcome != TSocketOutcome::TimedOut)
            return SocketResult(outcome, SocketReadError);
        if (lastReply_.empty())
            return ModbusTcp::NoReply;
        if (lastReply_.size() < ModbusTcp::HeaderSize)
            return Invalid("cut short");
        const ModbusTcp::THeader header = ModbusTcp::ReadHeader(lastReply_);
        if (!ModbusTcp::HeaderSound(header))
            return Invalid(header.ProtocolId != 0 ? "protocol identifier " + std::to_string(header.ProtocolId)
                                                  : "MBAP length " + std::to_string(header.Length));
        if (lastReply_.size() < ModbusTcp::HeaderSize - 1 + header.Length)
            return Invalid("cut short");
        if (header.TransactionId != transactionId) {
            discards_.push_back({lastReply_, "Reply to transaction " + std::to_string(header.TransactionId) +
                                                 " discarded"});
            continue;
        }
        if (header.UnitId != request.UnitID) {
            discards_.push_back({lastReply_, "Reply from unit " + std::to_string(header.UnitId) + " discarded"});
            continue;
        }
        const std::span<const uint8_t> pdu = ModbusTcp::FramePdu(lastReply_);
        if (ModbusPdu::ReplyLength(request.Function, pdu) != pdu.size())
            return Invalid("MBAP length " + std::to_string(header.Length) + " disagrees with the PDU");
        return ModbusTcp::DecodeReply(request, lastReply_, registerData_);
    }
}

// One frame into lastReply_: the header, then as many bytes as its length
// says when it is sound. Bytes beyond the frame are left in the stream.
TSocketOutcome TIdModBusClient::ReadFrame(TTcpSocket& socket, TTcpSocket::TClock::time_point deadline)
{
    const TSocketOutcome header = ReadUpTo(socket, ModbusTcp::HeaderSize, deadline);
    if (header != TSocketOutcome::Done)
        return header;
    const ModbusTcp::THeader fields = ModbusTcp::ReadHeader(lastReply_);
    if (!ModbusTcp::HeaderSound(fields))
        return TSocketOutcome::Done;
    return ReadUpTo(socket, ModbusTcp::HeaderSize - 1 + fields.Length, deadline);
}

TSocketOutcome TIdModBusClient::ReadUpTo(TTcpSocket& socket, std::size_t size, TTcpSocket::TClock::time_point deadline)
{
    while (lastReply_.size() < size) {
        const TSocketOutcome waited = socket.WaitReadable(deadline);
        if (waited != TSocketOutcome::Done)
            return waited;
        const std::size_t have = lastReply_.size();
        lastReply_.resize(size);
        std::size_t got = 0;
        const TSocketOutcome read = socket.ReadAvailable(lastReply_.data() + have, size - have, got);
        lastReply_.resize(have + got);
        if (read != TSocketOutcome::Done)
            return read;
    }
    return TSocketOutcome::Done;
}
