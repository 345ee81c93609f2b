#include "ModbusReplyHandlers.h"

#include "KelvaneError.h"
#include "ModbusBits.h"
#include "ModbusFunctions.h"
#include "ModbusPdu.h"

#include <algorithm>
#include <span>
#include <utility>

namespace {

// Raised by every reply check that fails; the handler turns it into
// trUnmatchedReply.
void Require(bool ok)
{
    if (!ok)
        throw EModbusError("Internal error");
}

// The ADU of a buffer without its checksum, read at the offsets of the
// frame (0 address, 1 function code, data from 2). Reading past the end
// raises "Internal error", so nothing beyond the received frame is taken
// for reply data.
class TAduView {
public:
    TAduView(const TModbusBuffer& buffer, int checksumSize)
        : bytes_(buffer.Data(), static_cast<std::size_t>(std::max(0, buffer.Size() - checksumSize)))
    {
    }

    std::size_t Size() const { return bytes_.size(); }
    uint8_t Byte(std::size_t offset) const
    {
        Require(offset < bytes_.size());
        return bytes_[offset];
    }
    uint16_t Word(std::size_t offset) const { return static_cast<uint16_t>(Byte(offset) << 8 | Byte(offset + 1)); }
    // From the function code on.
    std::span<const uint8_t> Pdu() const { return bytes_.subspan(std::min<std::size_t>(1, bytes_.size())); }
    bool operator==(const TAduView& other) const { return std::ranges::equal(bytes_, other.bytes_); }

private:
    std::span<const uint8_t> bytes_;
};

// What a handler works with: the transaction and views of both ADUs.
struct TExchange {
    TModbusTransaction& Transaction;
    TAduView Request;
    TAduView Reply;

    TTransactionInfo& Info() { return Transaction.Info; }
};

// Runs parse on a successful reply whose function code is the request's;
// a failed check, or any other EModbusError while parsing, makes the
// outcome trUnmatchedReply. parse stores its results only when it passes.
template <class Parse> void ParseReply(TExchange& x, Parse&& parse)
{
    if (x.Info().Reply != TTransactionReply::trSuccess)
        return;
    try {
        Require(x.Reply.Byte(1) == x.Request.Byte(1));
        parse();
    } catch (const EModbusError&) {
        x.Info().Reply = TTransactionReply::trUnmatchedReply;
    }
}

// Copies the event first, so a handler that reassigns it (or destroys the
// client) does not pull the running function from under itself.
template <class Event, class... Args> void Raise(const Event& event, Args&&... args)
{
    if (Event handler = event)
        handler(std::forward<Args>(args)...);
}

TBitValues UnpackBitsAt(TModbusBuffer& buffer, int offset, int count)
{
    TBitValues values(static_cast<std::size_t>(count), false);
    buffer.SetPosition(offset);
    UnpackBits(buffer, values);
    return values;
}

TRegValues WordsAt(const TAduView& adu, std::size_t offset, int count)
{
    TRegValues values(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = adu.Word(offset + 2 * i);
    return values;
}

void HandleReadBits(TModbusClient& client, TExchange& x, const TMultipleBitsAccessEvent& event)
{
    const uint16_t startBit = x.Request.Word(2);
    const uint16_t bitCount = x.Request.Word(4);
    TBitValues values(bitCount, false);
    ParseReply(x, [&] {
        const int byteCount = x.Reply.Byte(2);
        Require(byteCount == BitBytes(bitCount) && x.Reply.Size() >= 3u + byteCount);
        values = UnpackBitsAt(x.Transaction.ReplyBuffer, 3, bitCount);
    });
    Raise(event, &client, x.Info(), startBit, bitCount, values);
}

void HandleReadRegisters(TModbusClient& client, TExchange& x, const TMultipleRegistersAccessEvent& event)
{
    const uint16_t startReg = x.Request.Word(2);
    const uint16_t regCount = x.Request.Word(4);
    TRegValues values(regCount, 0);
    ParseReply(x, [&] {
        TRegValues read(regCount, 0);
        Require(ModbusPdu::ReadRegistersReply(x.Reply.Pdu(), regCount, read));
        values = std::move(read);
    });
    Raise(event, &client, x.Info(), startReg, regCount, values);
}

void HandleSingleCoilWrite(TModbusClient& client, TExchange& x)
{
    const uint16_t bitAddr = x.Request.Word(2);
    const uint16_t valueWord = x.Request.Word(4);
    ParseReply(x, [&] { Require(ModbusPdu::EchoMatches(x.Reply.Pdu(), bitAddr, valueWord)); });
    Raise(client.OnSingleCoilWrite, &client, x.Info(), bitAddr, valueWord == ModbusFunctions::CoilOn);
}

void HandleSingleRegisterWrite(TModbusClient& client, TExchange& x)
{
    const uint16_t regAddr = x.Request.Word(2);
    const uint16_t regValue = x.Request.Word(4);
    ParseReply(x, [&] { Require(ModbusPdu::EchoMatches(x.Reply.Pdu(), regAddr, regValue)); });
    Raise(client.OnSingleRegisterWrite, &client, x.Info(), regAddr, regValue);
}

void HandleExceptionStatusRead(TModbusClient& client, TExchange& x)
{
    constexpr int StatusBits = 8;
    TExceptionStatusValues values(StatusBits, false);
    ParseReply(x, [&] {
        Require(x.Reply.Size() >= 3);
        values = UnpackBitsAt(x.Transaction.ReplyBuffer, 2, StatusBits);
    });
    Raise(client.OnExceptionStatusRead, &client, x.Info(), values);
}

void HandleDiagnostics(TModbusClient& client, TExchange& x)
{
    const uint16_t subFunction = x.Request.Word(2);
    const uint16_t data = x.Request.Word(4);
    const TDiagnosticAction action = DiagnosticActionOf(subFunction, data);
    uint16_t result = 0;
    ParseReply(x, [&] {
        Require(x.Reply.Word(2) == subFunction);
        const uint16_t replyData = x.Reply.Word(4);
        if (DiagnosticDataEchoed(action))
            Require(replyData == data);
        else
            result = replyData;
    });
    Raise(client.OnDiagnostics, &client, x.Info(), action, result);
}

void HandleMultipleCoilsWrite(TModbusClient& client, TExchange& x)
{
    const uint16_t startBit = x.Request.Word(2);
    const uint16_t bitCount = x.Request.Word(4);
    const TBitValues values = UnpackBitsAt(x.Transaction.RequestBuffer, 7, bitCount);
    ParseReply(x, [&] { Require(ModbusPdu::EchoMatches(x.Reply.Pdu(), startBit, bitCount)); });
    Raise(client.OnMultipleCoilsWrite, &client, x.Info(), startBit, bitCount, values);
}

void HandleMultipleRegistersWrite(TModbusClient& client, TExchange& x)
{
    const uint16_t startReg = x.Request.Word(2);
    const uint16_t regCount = x.Request.Word(4);
    const TRegValues values = WordsAt(x.Request, 7, regCount);
    ParseReply(x, [&] { Require(ModbusPdu::EchoMatches(x.Reply.Pdu(), startReg, regCount)); });
    Raise(client.OnMultipleRegistersWrite, &client, x.Info(), startReg, regCount, values);
}

void HandleServerIdentificationReport(TModbusClient& client, TExchange& x)
{
    TServerIdentificationData data;
    ParseReply(x, [&] {
        const int count = x.Reply.Byte(2);
        Require(x.Reply.Size() >= 3u + count);
        const auto bytes = x.Reply.Pdu().subspan(2, static_cast<std::size_t>(count));
        data.assign(bytes.begin(), bytes.end());
    });
    Raise(client.OnServerIdentificationReport, &client, x.Info(), static_cast<int>(data.size()), data);
}

// The records named by a request of function 20 or 21, read from the byte
// count at offset 2 on; a write's records carry its values.
TModbusFileRecordList FileRecordsOfRequest(const TAduView& request, bool withValues)
{
    TModbusFileRecordList records;
    const std::size_t end = 3u + request.Byte(2);
    constexpr std::size_t SubRequestSize = 7;
    for (std::size_t at = 3; at + SubRequestSize <= end;) {
        const uint16_t length = request.Word(at + 5);
        TModbusFileRecord& record = records.Add(request.Word(at + 1), request.Word(at + 3), length);
        at += SubRequestSize;
        if (withValues) {
            for (int i = 0; i < length; ++i, at += 2)
                record.SetValue(i, request.Word(at));
        }
    }
    return records;
}

void HandleFileRecordRead(TModbusClient& client, TExchange& x)
{
    TModbusFileRecordList records = FileRecordsOfRequest(x.Request, false);
    ParseReply(x, [&] {
        std::size_t total = 0;
        for (int r = 0; r < records.Count(); ++r)
            total += 2u * records.Items(r).RecordLength() + 2;
        Require(x.Reply.Byte(2) == total);
        std::vector<TRegValues> read;
        std::size_t at = 3;
        for (int r = 0; r < records.Count(); ++r) {
            const int length = records.Items(r).RecordLength();
            Require(x.Reply.Byte(at) == 2u * length + 1 && x.Reply.Byte(at + 1) == ModbusPdu::FileRecordReference);
            read.push_back(WordsAt(x.Reply, at + 2, length));
            at += 2u + 2u * length;
        }
        for (int r = 0; r < records.Count(); ++r)
            for (int i = 0; i < records.Items(r).RecordLength(); ++i)
                records.Items(r).SetValue(i, read[static_cast<std::size_t>(r)][static_cast<std::size_t>(i)]);
    });
    Raise(client.OnFileRecordRead, &client, x.Info(), records);
}

void HandleFileRecordWrite(TModbusClient& client, TExchange& x)
{
    TModbusFileRecordList records = FileRecordsOfRequest(x.Request, true);
    ParseReply(x, [&] { Require(x.Reply == x.Request); });
    Raise(client.OnFileRecordWrite, &client, x.Info(), records);
}

void HandleSingleRegisterMaskWrite(TModbusClient& client, TExchange& x)
{
    const uint16_t regAddr = x.Request.Word(2);
    const uint16_t andMask = x.Request.Word(4);
    const uint16_t orMask = x.Request.Word(6);
    ParseReply(x, [&] {
        Require(x.Reply.Word(2) == regAddr && x.Reply.Word(4) == andMask && x.Reply.Word(6) == orMask);
    });
    Raise(client.OnSingleRegisterMaskWrite, &client, x.Info(), regAddr, andMask, orMask);
}

void HandleMultipleRegistersReadWrite(TModbusClient& client, TExchange& x)
{
    const uint16_t readStart = x.Request.Word(2);
    const uint16_t readCount = x.Request.Word(4);
    const uint16_t writeStart = x.Request.Word(6);
    const uint16_t writeCount = x.Request.Word(8);
    const TRegValues written = WordsAt(x.Request, 11, writeCount);
    TRegValues values(readCount, 0);
    ParseReply(x, [&] {
        TRegValues read(readCount, 0);
        Require(ModbusPdu::ReadRegistersReply(x.Reply.Pdu(), readCount, read));
        values = std::move(read);
    });
    Raise(client.OnMultipleRegistersReadWrite, &client, x.Info(), readStart, readCount, values, writeStart,
          writeCount, written);
}

} // namespace

void HandleReply(TModbusClient& client, uint8_t command, TModbusTransaction& transaction, int checksumSize)
{
    using namespace ModbusFunctions;
    TExchange x{transaction, TAduView(transaction.RequestBuffer, checksumSize),
                TAduView(transaction.ReplyBuffer, checksumSize)};
    switch (command) {
    case ReadCoils: return HandleReadBits(client, x, client.OnCoilsRead);
    case ReadDiscreteInputs: return HandleReadBits(client, x, client.OnDiscreteInputsRead);
    case ReadHoldingRegisters: return HandleReadRegisters(client, x, client.OnHoldingRegistersRead);
    case ReadInputRegisters: return HandleReadRegisters(client, x, client.OnInputRegistersRead);
    case WriteSingleCoil: return HandleSingleCoilWrite(client, x);
    case WriteSingleRegister: return HandleSingleRegisterWrite(client, x);
    case ReadExceptionStatus: return HandleExceptionStatusRead(client, x);
    case Diagnostics: return HandleDiagnostics(client, x);
    case WriteMultipleCoils: return HandleMultipleCoilsWrite(client, x);
    case WriteMultipleRegisters: return HandleMultipleRegistersWrite(client, x);
    case ReportServerIdentification: return HandleServerIdentificationReport(client, x);
    case ReadFileRecord: return HandleFileRecordRead(client, x);
    case WriteFileRecord: return HandleFileRecordWrite(client, x);
    case MaskWriteSingleRegister: return HandleSingleRegisterMaskWrite(client, x);
    case ReadWriteMultipleRegisters: return HandleMultipleRegistersReadWrite(client, x);
    default: return;
    }
}
