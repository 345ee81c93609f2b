#include "ModbusClient.h"

#include "KelvaneError.h"
#include "ModbusConnection.h"
#include "ModbusFunctions.h"
#include "ModbusPdu.h"
#include "ModbusReplyHandlers.h"

#include <algorithm>
#include <string>

namespace {

// The read part of function 23 may fill a whole reply; its write part shares
// the request PDU with five words of addressing.
constexpr uint16_t MaxReadWriteWriteRegisters = 121;
constexpr int AddressSpace = 65536;

// A message with its "%d" replaced by value.
std::string Format(std::string text, int value)
{
    return text.replace(text.find("%d"), 2, std::to_string(value));
}

void CheckCount(int count, int maximum, const char* text)
{
    if (count < 1 || count > maximum)
        throw EModbusError(Format(text, maximum));
}

// The addressed range must end at the last address, 65535, or before it.
void CheckRange(int start, int count, const char* text)
{
    if (start + count > AddressSpace)
        throw EModbusError(Format(text, start));
}

void CheckRegisters(uint16_t start, std::size_t count, int maximum)
{
    CheckCount(static_cast<int>(std::min<std::size_t>(count, AddressSpace)), maximum,
               "Register count must be between 1 and %d");
    CheckRange(start, static_cast<int>(count), "Starting register index is invalid (%d)");
}

void CheckBits(uint16_t start, std::size_t count, int maximum)
{
    CheckCount(static_cast<int>(std::min<std::size_t>(count, AddressSpace)), maximum,
               "Bit count must be between 1 and %d");
    CheckRange(start, static_cast<int>(count), "Starting bit index is invalid (%d)");
}

// The records of functions 20 and 21 as the PDU layer takes them.
std::vector<ModbusPdu::TFileRecordRef> FileRecordRefs(const TModbusFileRecordList& records)
{
    std::vector<ModbusPdu::TFileRecordRef> refs;
    for (int i = 0; i < records.Count(); ++i) {
        const TModbusFileRecord& record = records.Items(i);
        refs.push_back({record.FileNumber(), record.RecordNumber(), static_cast<uint16_t>(record.RecordLength()),
                        record.Values()});
    }
    return refs;
}

// Both the request's data and the data of its reply must fit the byte count
// of one PDU; an empty list reads or writes nothing and is refused too.
void CheckFileRecordBytes(std::size_t bytes)
{
    if (bytes < 1 || bytes > ModbusPdu::MaxFileRecordBytes)
        throw EModbusError(Format("File record data must be between 1 and %d bytes",
                                  static_cast<int>(ModbusPdu::MaxFileRecordBytes)));
}

constexpr std::size_t FileSubRequestSize = 7;

} // namespace

TModbusClient::~TModbusClient()
{
    *alive_ = false;
    SetConnection(nullptr);
}

void TModbusClient::SetConnection(TModbusConnection* connection)
{
    if (connection == connection_)
        return;
    if (connection_) {
        connection_->UnregisterClient(this);
        connection_ = nullptr;
    }
    if (connection) {
        connection->RegisterClient(this);
        connection_ = connection;
    }
}

void TModbusClient::ConnectionDestroyed(TModbusConnection& connection)
{
    if (&connection == connection_)
        connection_ = nullptr;
}

void TModbusClient::SetServerAddress(uint8_t address)
{
    if (address == serverAddress_)
        return;
    if (connection_)
        connection_->CancelClientTransactions(this);
    serverAddress_ = address;
}

void TModbusClient::SetMaxConsecutiveTimeouts(int limit)
{
    limit = std::max(limit, -1);
    if (limit == maxConsecutiveTimeouts_)
        return;
    maxConsecutiveTimeouts_ = limit;
    consecutiveTimeouts_ = 0;
}

void TModbusClient::CheckConnection() const
{
    if (!connection_ || !connection_->Active())
        throw EModbusError("There is no active connection");
}

uint32_t TModbusClient::Queue(const std::vector<uint8_t>& pdu, int32_t userData)
{
    auto transaction = std::make_unique<TModbusTransaction>(connection_->BufferCapacity());
    const uint32_t id = connection_->NextTransactionID();
    transaction->Info = TTransactionInfo{};
    transaction->Info.ID = id;
    transaction->Info.ServerAddress = serverAddress_;
    transaction->Info.UserData = userData;
    TModbusBuffer& request = transaction->RequestBuffer;
    connection_->WriteServerAddress(this, request);
    for (uint8_t b : pdu)
        request.WriteByte(b);
    connection_->AppendChecksum(request);
    connection_->EnqueueTransaction(std::move(transaction), this);
    return id;
}

uint32_t TModbusClient::SendPdu(const std::vector<uint8_t>& pdu, int32_t userData)
{
    CheckConnection();
    if (pdu.empty() || pdu.size() > ModbusPdu::MaxPduSize)
        throw EModbusError("A request PDU is 1 to 253 bytes");
    return Queue(pdu, userData);
}

uint32_t TModbusClient::ReadBits(uint8_t function, uint16_t startBit, uint16_t bitCount, int32_t userData)
{
    CheckConnection();
    CheckBits(startBit, bitCount, ModbusPdu::MaxReadBits);
    return Queue(ModbusPdu::ReadRequest(function, startBit, bitCount), userData);
}

uint32_t TModbusClient::ReadRegisters(uint8_t function, uint16_t startReg, uint16_t regCount, int32_t userData)
{
    CheckConnection();
    CheckRegisters(startReg, regCount, ModbusPdu::MaxReadRegisters);
    return Queue(ModbusPdu::ReadRequest(function, startReg, regCount), userData);
}

uint32_t TModbusClient::ReadCoils(uint16_t startBit, uint16_t bitCount, int32_t userData)
{
    return ReadBits(ModbusFunctions::ReadCoils, startBit, bitCount, userData);
}

uint32_t TModbusClient::ReadDiscreteInputs(uint16_t startBit, uint16_t bitCount, int32_t userData)
{
    return ReadBits(ModbusFunctions::ReadDiscreteInputs, startBit, bitCount, userData);
}

uint32_t TModbusClient::ReadHoldingRegisters(uint16_t startReg, uint16_t regCount, int32_t userData)
{
    return ReadRegisters(ModbusFunctions::ReadHoldingRegisters, startReg, regCount, userData);
}

uint32_t TModbusClient::ReadInputRegisters(uint16_t startReg, uint16_t regCount, int32_t userData)
{
    return ReadRegisters(ModbusFunctions::ReadInputRegisters, startReg, regCount, userData);
}

uint32_t TModbusClient::WriteSingleCoil(uint16_t bitAddr, bool bitValue, int32_t userData)
{
    CheckConnection();
    return Queue(ModbusPdu::WriteSingleCoilRequest(bitAddr, bitValue), userData);
}

uint32_t TModbusClient::WriteSingleRegister(uint16_t regAddr, uint16_t regValue, int32_t userData)
{
    CheckConnection();
    return Queue(ModbusPdu::WriteSingleRegisterRequest(regAddr, regValue), userData);
}

uint32_t TModbusClient::ReadExceptionStatus(int32_t userData)
{
    CheckConnection();
    return Queue(ModbusPdu::ReadExceptionStatusRequest(), userData);
}

uint32_t TModbusClient::Diagnostics(TDiagnosticAction action, uint16_t queryData, int32_t userData)
{
    CheckConnection();
    return Queue(ModbusPdu::DiagnosticsRequest(DiagnosticSubFunction(action),
                                               DiagnosticRequestData(action, queryData)),
                 userData);
}

uint32_t TModbusClient::WriteMultipleCoils(uint16_t startBit, const TBitValues& bitValues, int32_t userData)
{
    CheckConnection();
    CheckBits(startBit, bitValues.size(), ModbusPdu::MaxWriteBits);
    // The PDU layer takes a span, which a vector of bool cannot give.
    const auto flags = std::make_unique<bool[]>(bitValues.size());
    std::copy(bitValues.begin(), bitValues.end(), flags.get());
    return Queue(ModbusPdu::WriteMultipleCoilsRequest(startBit, {flags.get(), bitValues.size()}), userData);
}

uint32_t TModbusClient::WriteMultipleRegisters(uint16_t startReg, std::span<const uint16_t> regValues,
                                               int32_t userData)
{
    CheckConnection();
    CheckRegisters(startReg, regValues.size(), ModbusPdu::MaxWriteRegisters);
    return Queue(ModbusPdu::WriteMultipleRegistersRequest(startReg, regValues), userData);
}

uint32_t TModbusClient::ReportServerIdentification(int32_t userData)
{
    CheckConnection();
    return Queue(ModbusPdu::ReportServerIdRequest(), userData);
}

uint32_t TModbusClient::ReadFileRecord(const TModbusFileRecordList& records, int32_t userData)
{
    CheckConnection();
    std::size_t replyBytes = 0;
    for (int i = 0; i < records.Count(); ++i)
        replyBytes += 2u + 2u * records.Items(i).RecordLength();
    CheckFileRecordBytes(std::max(FileSubRequestSize * records.Count(), replyBytes));
    return Queue(ModbusPdu::ReadFileRecordRequest(FileRecordRefs(records)), userData);
}

uint32_t TModbusClient::WriteFileRecord(const TModbusFileRecordList& records, int32_t userData)
{
    CheckConnection();
    std::size_t requestBytes = 0;
    for (int i = 0; i < records.Count(); ++i)
        requestBytes += FileSubRequestSize + 2u * records.Items(i).RecordLength();
    CheckFileRecordBytes(requestBytes);
    return Queue(ModbusPdu::WriteFileRecordRequest(FileRecordRefs(records)), userData);
}

uint32_t TModbusClient::MaskWriteSingleRegister(uint16_t regAddr, uint16_t andMask, uint16_t orMask,
                                                int32_t userData)
{
    CheckConnection();
    return Queue(ModbusPdu::MaskWriteRegisterRequest(regAddr, andMask, orMask), userData);
}

uint32_t TModbusClient::ReadWriteMultipleRegisters(uint16_t startRegToRead, uint16_t regCountToRead,
                                                   uint16_t startRegToWrite,
                                                   std::span<const uint16_t> regValuesToWrite, int32_t userData)
{
    CheckConnection();
    CheckRegisters(startRegToRead, regCountToRead, ModbusPdu::MaxReadRegisters);
    CheckRegisters(startRegToWrite, regValuesToWrite.size(), MaxReadWriteWriteRegisters);
    return Queue(ModbusPdu::ReadWriteRegistersRequest(startRegToRead, regCountToRead, startRegToWrite,
                                                      regValuesToWrite),
                 userData);
}

void TModbusClient::ProcessTransaction(TModbusTransaction& transaction)
{
    CheckConnection();
    const int checksumSize = SerialLayout(connection_->TransmissionMode()).ChecksumSize;
    const uint8_t command = FunctionCodeOf(transaction.RequestBuffer);
    // An event handler may destroy this client; nothing of it is touched then.
    const std::shared_ptr<bool> alive = alive_;
    TTransactionInfo& info = transaction.Info;
    if (transaction.Custom) {
        if (transaction.AnyServerAddress && info.Reply >= TTransactionReply::trUnmatchedReply)
            info.ServerAddress = ServerAddressOf(transaction.ReplyBuffer);
        if (auto handler = OnCustomTransactionComplete)
            handler(this, transaction, command);
    } else {
        ::HandleReply(*this, command, transaction, checksumSize);
    }
    if (!*alive)
        return;
    if (auto handler = OnTransactionProcessed)
        handler(this, info, command, transaction.Custom);
    if (*alive)
        CountTimeouts(info);
}

void TModbusClient::CountTimeouts(const TTransactionInfo& info)
{
    if (maxConsecutiveTimeouts_ < 0)
        return;
    switch (info.Reply) {
    case TTransactionReply::trNoReply:
    case TTransactionReply::trInvalidFrame:
    case TTransactionReply::trUnexpectedReply: {
        const uint64_t count = uint64_t{consecutiveTimeouts_} + info.Attempts;
        if (count <= static_cast<uint64_t>(maxConsecutiveTimeouts_)) {
            consecutiveTimeouts_ = static_cast<uint32_t>(count);
            return;
        }
        consecutiveTimeouts_ = 0;
        if (auto handler = OnConsecutiveTimeoutLimitExceed)
            handler(this);
        return;
    }
    default:
        consecutiveTimeouts_ = 0;
    }
}
