// libFuzzer target for the client's reply path: arbitrary bytes are taken as
// a received RTU, ASCII or Modbus/TCP frame, measured as the worker measures
// a reply arriving (the bytes it still lacks must stay within a frame),
// decoded and classified against a request of one of the client's function
// codes, and the finished transaction goes through
// TModbusClient::ProcessTransaction, whose events check that what they are
// handed is consistent with the request.
//
// Input: byte 0 selects the mode (bit 0: ASCII, else bit 3: Modbus/TCP,
// else RTU), whether the rest is framed
// with a correct checksum first (bit 1, so the handlers see replies that
// pass the checksum) and whether the outcome is forced to trSuccess
// (bit 2, so every handler parses whatever was decoded); byte 1 the
// function; bytes 2 to 7 the request's arguments; the rest the reply.
//
// The clients are bound to real connections, opened on pseudo-terminals that
// nothing answers (Modbus/TCP: on a stream that is never connected, since it
// connects only for a transaction): the request layer checks for an active
// connection, and their workers simply wait for work that never comes.

#include "KelvaneError.h"
#include "ModbusClient.h"
#include "ModbusConnection.h"
#include "ModbusFunctions.h"
#include "ModbusPdu.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <pty.h>
#include <unistd.h>

namespace {

void Expect(bool ok)
{
    if (!ok)
        std::abort();
}

template <class Values> bool AllZero(const Values& values)
{
    return std::all_of(values.begin(), values.end(), [](auto v) { return !v; });
}

bool Succeeded(const TTransactionInfo& info)
{
    return info.Reply == TTransactionReply::trSuccess;
}

// Values read from a reply exist only on success; otherwise they are zero.
void CheckRead(const TTransactionInfo& info, std::size_t size, std::size_t count, bool zero)
{
    Expect(size == count);
    Expect(Succeeded(info) || zero);
}

// Every event checks the shape of what it is handed against the request.
void WatchEvents(TModbusClient& client)
{
    auto bits = [](TModbusClient*, const TTransactionInfo& info, uint16_t, uint16_t count, const TBitValues& v) {
        CheckRead(info, v.size(), count, AllZero(v));
    };
    client.OnCoilsRead = bits;
    client.OnDiscreteInputsRead = bits;
    client.OnMultipleCoilsWrite = [](TModbusClient*, const TTransactionInfo&, uint16_t, uint16_t count,
                                     const TBitValues& v) { Expect(v.size() == count); };
    auto registers = [](TModbusClient*, const TTransactionInfo& info, uint16_t, uint16_t count,
                        const TRegValues& v) { CheckRead(info, v.size(), count, AllZero(v)); };
    client.OnHoldingRegistersRead = registers;
    client.OnInputRegistersRead = registers;
    client.OnMultipleRegistersWrite = [](TModbusClient*, const TTransactionInfo&, uint16_t, uint16_t count,
                                         const TRegValues& v) { Expect(v.size() == count); };
    client.OnMultipleRegistersReadWrite = [](TModbusClient*, const TTransactionInfo& info, uint16_t,
                                             uint16_t readCount, const TRegValues& read, uint16_t,
                                             uint16_t writeCount, const TRegValues& written) {
        CheckRead(info, read.size(), readCount, AllZero(read));
        Expect(written.size() == writeCount);
    };
    client.OnExceptionStatusRead = [](TModbusClient*, const TTransactionInfo& info,
                                      const TExceptionStatusValues& v) { CheckRead(info, v.size(), 8, AllZero(v)); };
    client.OnServerIdentificationReport = [](TModbusClient*, const TTransactionInfo& info, int count,
                                             const TServerIdentificationData& data) {
        Expect(count == int(data.size()));
        Expect(Succeeded(info) || count == 0);
    };
    client.OnDiagnostics = [](TModbusClient*, const TTransactionInfo& info, TDiagnosticAction, uint16_t result) {
        Expect(Succeeded(info) || result == 0);
    };
    client.OnFileRecordRead = [](TModbusClient*, const TTransactionInfo& info, TModbusFileRecordList& list) {
        for (int i = 0; i < list.Count(); ++i)
            Expect(Succeeded(info) || AllZero(list.Items(i).Values()));
    };
    client.OnFileRecordWrite = [](TModbusClient*, const TTransactionInfo&, TModbusFileRecordList& list) {
        Expect(list.Count() >= 1);
    };
    client.OnTransactionProcessed = [](TModbusClient*, const TTransactionInfo&, uint8_t, bool custom) {
        Expect(!custom);
    };
}

// A client on a connection opened on the slave end of a pseudo-terminal.
struct TFuzzLine {
    explicit TFuzzLine(TTransmissionMode mode)
    {
        char name[128];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            std::abort();
        Connection.SetTransmissionMode(mode);
        Connection.SetPort(name);
        if (mode == TTransmissionMode::tmTCP)
            Connection.SetTcpTarget(TTcpTarget{"127.0.0.1", 9, 1000, false});
        Connection.SetActive(true);
        Client.SetConnection(&Connection);
        WatchEvents(Client);
    }

    int master = -1;
    int slave = -1;
    TModbusConnection Connection;
    TModbusClient Client;
};

TFuzzLine* Rtu = nullptr;
TFuzzLine* Ascii = nullptr;
TFuzzLine* Tcp = nullptr;

// Reads the request's arguments from the input, each call the next word.
class TArguments {
public:
    explicit TArguments(const uint8_t* data) : data_(data) {}
    uint16_t Next()
    {
        const uint16_t w = static_cast<uint16_t>(data_[at_ % 6] << 8 | data_[(at_ + 1) % 6]);
        at_ += 2;
        return w;
    }
    // A count of 1 ... maximum and a start that keeps the range inside the
    // address space, as the request methods would have accepted them.
    std::pair<uint16_t, uint16_t> Range(int maximum)
    {
        const uint16_t count = static_cast<uint16_t>(1 + Next() % maximum);
        const uint16_t start = static_cast<uint16_t>(std::min<int>(Next(), 65536 - count));
        return {start, count};
    }

private:
    const uint8_t* data_;
    int at_ = 0;
};

std::vector<uint16_t> Words(TArguments& args, int count)
{
    std::vector<uint16_t> words(static_cast<std::size_t>(count));
    for (uint16_t& w : words)
        w = args.Next();
    return words;
}

// Up to three small records whose request and reply both fit one PDU.
std::vector<uint16_t> FileValues;
std::vector<ModbusPdu::TFileRecordRef> FileRecords(TArguments& args, bool withValues)
{
    const int n = 1 + args.Next() % 3;
    FileValues = Words(args, 30);
    std::vector<ModbusPdu::TFileRecordRef> records;
    for (int i = 0; i < n; ++i) {
        const uint16_t length = static_cast<uint16_t>(args.Next() % 11);
        const uint16_t number = static_cast<uint16_t>(args.Next() % (10000 - length));
        records.push_back({args.Next(), number, length,
                           withValues ? std::span<const uint16_t>(FileValues.data() + 10 * i, length)
                                      : std::span<const uint16_t>()});
    }
    return records;
}

ModbusPdu::TPdu RequestPdu(uint8_t selector, TArguments& args)
{
    using namespace ModbusFunctions;
    namespace P = ModbusPdu;
    static constexpr std::array<uint8_t, 15> Functions{
        ReadCoils, ReadDiscreteInputs, ReadHoldingRegisters, ReadInputRegisters, WriteSingleCoil,
        WriteSingleRegister, ReadExceptionStatus, Diagnostics, WriteMultipleCoils, WriteMultipleRegisters,
        ReportServerIdentification, ReadFileRecord, WriteFileRecord, MaskWriteSingleRegister,
        ReadWriteMultipleRegisters};
    const uint8_t function = Functions[selector % Functions.size()];
    switch (function) {
    case ReadCoils:
    case ReadDiscreteInputs: {
        const auto [start, count] = args.Range(P::MaxReadBits);
        return P::ReadRequest(function, start, count);
    }
    case ReadHoldingRegisters:
    case ReadInputRegisters: {
        const auto [start, count] = args.Range(P::MaxReadRegisters);
        return P::ReadRequest(function, start, count);
    }
    case WriteSingleCoil: return P::WriteSingleCoilRequest(args.Next(), args.Next() & 1);
    case WriteSingleRegister: return P::WriteSingleRegisterRequest(args.Next(), args.Next());
    case ReadExceptionStatus: return P::ReadExceptionStatusRequest();
    case Diagnostics: {
        const auto action = static_cast<TDiagnosticAction>(args.Next() % 15);
        return P::DiagnosticsRequest(DiagnosticSubFunction(action), DiagnosticRequestData(action, args.Next()));
    }
    case WriteMultipleCoils: {
        const auto [start, count] = args.Range(P::MaxWriteBits);
        const auto bits = std::make_unique<bool[]>(count);
        for (int i = 0; i < count; ++i)
            bits[i] = (args.Next() >> (i % 16)) & 1;
        return P::WriteMultipleCoilsRequest(start, {bits.get(), count});
    }
    case WriteMultipleRegisters: {
        const auto [start, count] = args.Range(P::MaxWriteRegisters);
        return P::WriteMultipleRegistersRequest(start, Words(args, count));
    }
    case ReportServerIdentification: return P::ReportServerIdRequest();
    case ReadFileRecord: return P::ReadFileRecordRequest(FileRecords(args, false));
    case WriteFileRecord: return P::WriteFileRecordRequest(FileRecords(args, true));
    case MaskWriteSingleRegister: return P::MaskWriteRegisterRequest(args.Next(), args.Next(), args.Next());
    default: {
        const auto [readStart, readCount] = args.Range(P::MaxReadRegisters);
        const auto [writeStart, writeCount] = args.Range(121);
        return P::ReadWriteRegistersRequest(readStart, readCount, writeStart, Words(args, writeCount));
    }
    }
}

// The reply bytes in wire form: as they came (no more than the worker's
// receive buffer holds), or framed with a correct checksum around them.
std::vector<uint8_t> WireForm(const TModbusConnection& connection, const uint8_t* data, std::size_t size,
                              bool frame)
{
    const auto rawCapacity = static_cast<std::size_t>(SerialLayout(connection.TransmissionMode()).RawCapacity);
    if (!frame)
        return {data, data + std::min(size, rawCapacity)};
    TModbusBuffer adu(connection.BufferCapacity());
    const int checksum = SerialLayout(connection.TransmissionMode()).ChecksumSize;
    for (std::size_t i = 0; i < size && adu.Size() < adu.Capacity() - checksum; ++i)
        adu.WriteByte(data[i]);
    connection.AppendChecksum(adu);
    std::vector<uint8_t> raw(rawCapacity);
    raw.resize(static_cast<std::size_t>(
        EncodeFrame(connection.TransmissionMode(), adu, raw.data(), static_cast<int>(raw.size()))));
    return raw;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    new QCoreApplication(*argc, *argv);
    Rtu = new TFuzzLine(TTransmissionMode::tmRTU);
    Ascii = new TFuzzLine(TTransmissionMode::tmASCII);
    Tcp = new TFuzzLine(TTransmissionMode::tmTCP);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 8)
        return 0;
    TFuzzLine& line = (data[0] & 1) ? *Ascii : (data[0] & 8) ? *Tcp : *Rtu;
    TModbusConnection& connection = line.Connection;
    TArguments args(data + 2);

    TModbusTransaction transaction(connection.BufferCapacity());
    transaction.Client = &line.Client;
    transaction.Info.ServerAddress = line.Client.ServerAddress();
    transaction.Info.Attempts = 1;
    connection.WriteServerAddress(&line.Client, transaction.RequestBuffer);
    for (uint8_t b : RequestPdu(data[1], args))
        transaction.RequestBuffer.WriteByte(b);
    connection.AppendChecksum(transaction.RequestBuffer);

    const std::vector<uint8_t> raw = WireForm(connection, data + 8, size - 8, data[0] & 2);
    const TTransmissionMode mode = connection.TransmissionMode();
    const int capacity = SerialLayout(mode).RawCapacity;
    for (int n = 0; n <= static_cast<int>(raw.size()); ++n) {
        const int missing = ReplyBytesMissing(mode, transaction.RequestBuffer.ByteAt(1), raw.data(), n);
        Expect(missing >= -1 && n + missing <= capacity);
    }
    TExceptionInfo exception{};
    transaction.Info.Reply = ClassifyReply(connection.FrameMode(), transaction.RequestBuffer, false, raw.data(),
                                           static_cast<int>(raw.size()), transaction.ReplyBuffer, exception);
    transaction.Info.ExceptionKind = exception.Kind;
    transaction.Info.ExceptionCode = exception.Code;
    if (data[0] & 4)
        transaction.Info.Reply = TTransactionReply::trSuccess;
    line.Client.ProcessTransaction(transaction);
    return 0;
}
