#include "SerialFrame.h"

#include "ModbusPdu.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr uint8_t Colon = ':';
constexpr uint8_t CR = 13;
constexpr uint8_t LF = 10;
constexpr uint32_t MinimumFrameInterval = 16;

// CRC-16/MODBUS, reflected polynomial 0xA001, one entry per byte value.
constexpr std::array<uint16_t, 256> MakeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        uint16_t crc = static_cast<uint16_t>(v);
        for (int step = 0; step < 8; ++step)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
        table[v] = crc;
    }
    return table;
}
constexpr std::array<uint16_t, 256> CrcTable = MakeCrcTable();

// The value of an upper-case hex digit, or -1 for anything else.
int HexValue(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsAscii(TTransmissionMode mode) { return mode == TTransmissionMode::tmASCII; }
bool IsTcp(TTransmissionMode mode) { return mode == TTransmissionMode::tmTCP; }

// The Modbus/TCP header before the unit identifier: transaction identifier,
// protocol identifier and the length of what follows.
constexpr int MbapPrefix = static_cast<int>(TcpLayout.HeaderSize) - 1;

uint16_t WordAt(const uint8_t* raw) { return static_cast<uint16_t>(raw[0] << 8 | raw[1]); }

// A Modbus/TCP frame whose header is sound and whose length is exactly what
// arrived: protocol identifier 0, a unit and a PDU of 1 to 253 bytes.
bool UnwrapTcp(const uint8_t* raw, int length, int minimum, TModbusBuffer& buffer)
{
    if (length < MbapPrefix + minimum || WordAt(raw + 2) != 0 || WordAt(raw + 4) != length - MbapPrefix)
        return false;
    const int n = length - MbapPrefix;
    if (n > buffer.Capacity())
        throw EModbusError("Failed to decode frame");
    std::memcpy(buffer.Data(), raw + MbapPrefix, static_cast<std::size_t>(n));
    buffer.SetSize(n);
    return true;
}

// ":" + hex pairs + CR LF into buffer, bytes only; false for a frame that is
// too short, badly framed or holds a character that is not an upper-case hex
// digit (such a pair would decode to a byte it does not spell).
bool UnwrapAscii(const uint8_t* raw, int length, int minimum, TModbusBuffer& buffer)
{
    if (length < minimum + 3 || length % 2 == 0 || raw[0] != Colon || raw[length - 2] != CR
        || raw[length - 1] != LF)
        return false;
    const int n = (length - 3) / 2;
    if (n > buffer.Capacity())
        throw EModbusError("Failed to decode frame");
    uint8_t* out = buffer.Data();
    for (int i = 0; i < n; ++i) {
        const int high = HexValue(raw[1 + 2 * i]);
        const int low = HexValue(raw[2 + 2 * i]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    buffer.SetSize(n);
    return true;
}

bool UnwrapRtu(const uint8_t* raw, int length, int minimum, TModbusBuffer& buffer)
{
    if (length < minimum)
        return false;
    if (length > buffer.Capacity())
        throw EModbusError("Failed to decode frame");
    std::memcpy(buffer.Data(), raw, static_cast<std::size_t>(length));
    buffer.SetSize(length);
    return true;
}

// Compares the checksum of the bytes before the trailing checksum with it;
// leaves the cursor at the first checksum byte.
bool ChecksumMatches(TTransmissionMode mode, TModbusBuffer& buffer)
{
    buffer.Seek(TBufferSeekOrigin::soEnd);
    if (IsTcp(mode))
        return true;
    if (IsAscii(mode)) {
        buffer.Seek(TBufferSeekOrigin::soBack1);
        return buffer.Lrc() == buffer.ReadByte();
    }
    buffer.Seek(TBufferSeekOrigin::soBack2);
    return buffer.Crc16() == buffer.ReadWordLE();
}

// Modbus/TCP: the PDU's own length (its byte count, its exception form)
// must be the one the header gave, or the stream is out of step. The serial
// frames' length is what arrived, checked by the CRC or LRC.
bool PduFitsFrame(TTransmissionMode mode, const TModbusBuffer& request, const TModbusBuffer& reply)
{
    if (!IsTcp(mode))
        return true;
    const std::span<const uint8_t> pdu(reply.Data() + 1, static_cast<std::size_t>(reply.Size() - 1));
    return ModbusPdu::ReplyLength(request.ByteAt(1), pdu) == pdu.size();
}

constexpr int64_t NoDeadline = INT64_MAX;

// When a frame that begins now must be over: a line whose characters come
// closer than frameInterval apart fills the whole buffer before then, so
// only a line that never falls silent reaches it.
int64_t FrameDeadline(TSerialInput& port, int capacity, int frameInterval)
{
    return port.NowMs() + int64_t{std::max(capacity, 1)} * frameInterval;
}

// Waits up to limit ms for data (negative: no limit, only without a
// deadline), but never past deadline; false when nothing came or the
// deadline has passed.
bool WaitUntil(TSerialInput& port, int limit, int64_t deadline)
{
    if (deadline == NoDeadline)
        return port.WaitForData(limit);
    const int64_t left = deadline - port.NowMs();
    return left > 0 && port.WaitForData(static_cast<int>(std::min<int64_t>(limit, left)));
}

// One read of what the port holds into raw[from .. capacity).
int ReadChunk(TSerialInput& port, uint8_t* raw, int from, int capacity)
{
    const std::size_t room = static_cast<std::size_t>(capacity - from);
    return from + static_cast<int>(std::min(port.ReadAvailable(raw + from, room), room));
}

// Reads again and again until a read yields nothing or raw is full.
int ReadAll(TSerialInput& port, uint8_t* raw, int from, int capacity)
{
    int count = from;
    for (int before = -1; count != before && count < capacity;) {
        before = count;
        count = ReadChunk(port, raw, count, capacity);
    }
    return count;
}

// RTU and TCP: everything up to a silence of frameInterval, or up to where
// missing finds the frame whole; while it knows how much is missing, no
// more than that is read, so a frame that follows stays for the next call.
int ReceiveUntilSilence(TSerialInput& port, uint8_t* raw, int capacity, int firstTimeout, int frameInterval,
                        const TFrameMissing& missing)
{
    auto limit = [&](int count) {
        const int lacking = missing ? missing(raw, count) : -1;
        return lacking < 0 ? capacity : std::min(capacity, count + lacking);
    };
    if (!port.WaitForData(firstTimeout))
        return 0;
    int count = ReadAll(port, raw, 0, limit(0));
    if (count == 0)
        return 0;
    const int64_t deadline = FrameDeadline(port, capacity, frameInterval);
    while (count < limit(count) && WaitUntil(port, frameInterval, deadline))
        count = ReadAll(port, raw, count, limit(count));
    return count;
}

// ASCII: the frame from ":" up to CR LF. Between chunks a frame that has
// begun always starts at raw[0] and is Length characters long.
class TAsciiScanner {
public:
    enum class TState { Idle, InFrame, GotCR, Complete };

    TState State = TState::Idle;
    int Length = 0;

    // Scans the chunk raw[from .. to) that follows the frame so far.
    void Scan(uint8_t* raw, int from, int to);
};

void TAsciiScanner::Scan(uint8_t* raw, int from, int to)
{
    int start = -1; // where a frame began within this chunk
    for (int i = from; i < to && State != TState::Complete; ++i) {
        const uint8_t c = raw[i];
        if (c == Colon) {
            start = i;
            State = TState::InFrame;
            Length = 1;
        } else if (State == TState::InFrame) {
            ++Length;
            if (c == CR)
                State = TState::GotCR;
        } else if (State == TState::GotCR) {
            if (c == LF) {
                ++Length;
                State = TState::Complete;
            } else {
                State = TState::Idle;
                Length = 0;
                start = -1;
            }
        }
    }
    if (start > 0)
        std::memmove(raw, raw + start, static_cast<std::size_t>(Length));
}

// The first ":" must come within firstTimeout of the call (when it is not
// negative), however much noise precedes it; after that each character must
// follow within frameInterval, and the frame must end within its time limit.
int ReceiveAscii(TSerialInput& port, uint8_t* raw, int capacity, int firstTimeout, int frameInterval)
{
    using TState = TAsciiScanner::TState;
    const int64_t firstDeadline = firstTimeout < 0 ? NoDeadline : port.NowMs() + firstTimeout;
    int64_t frameDeadline = NoDeadline;
    TAsciiScanner scanner;
    while (scanner.State != TState::Complete && scanner.Length < capacity) {
        const bool idle = scanner.State == TState::Idle;
        if (!(idle ? WaitUntil(port, firstTimeout, firstDeadline) : WaitUntil(port, frameInterval, frameDeadline)))
            break;
        const int from = scanner.Length;
        scanner.Scan(raw, from, ReadChunk(port, raw, from, capacity));
        if (idle && scanner.State != TState::Idle)
            frameDeadline = FrameDeadline(port, capacity, frameInterval);
    }
    return scanner.Length;
}

} // namespace

// From the transports' layouts: the ADU buffers hold what follows the TCP
// header's length field, and ASCII's wire form spells every byte in two
// characters between ":" and CR LF.
const TSerialLayout& SerialLayout(TTransmissionMode mode)
{
    auto size = [](std::size_t n) { return static_cast<int>(n); };
    static constexpr auto Tcp = TcpLayout;
    static const TSerialLayout Rtu{size(RtuLayout.MaxAduSize), size(RtuLayout.MaxAduSize), size(RtuLayout.ChecksumSize)};
    static const TSerialLayout Ascii{size(AsciiLayout.MaxAduSize), size(2 * AsciiLayout.MaxAduSize + 3),
                                     size(AsciiLayout.ChecksumSize)};
    static const TSerialLayout TcpStream{size(Tcp.MaxAduSize) - MbapPrefix, size(Tcp.MaxAduSize), 0};
    return IsTcp(mode) ? TcpStream : IsAscii(mode) ? Ascii : Rtu;
}

int MinimumFrameSize(const TFrameMode& mode)
{
    const int clientMinimum = IsTcp(mode.Transmission) ? 3 : IsAscii(mode.Transmission) ? 4 : 5;
    return mode.Connection == TConnectionMode::cmClient ? clientMinimum : clientMinimum - 1;
}

uint16_t Crc16(const uint8_t* data, std::size_t n)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i)
        crc = static_cast<uint16_t>(CrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

uint8_t Lrc(const uint8_t* data, std::size_t n)
{
    uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(-sum);
}

void AppendChecksum(TTransmissionMode mode, TModbusBuffer& buffer)
{
    if (IsTcp(mode))
        return;
    if (IsAscii(mode))
        buffer.WriteByte(buffer.Lrc());
    else
        buffer.WriteWordLE(buffer.Crc16());
}

uint8_t FunctionCodeOf(TModbusBuffer& buffer)
{
    buffer.SetPosition(1);
    return buffer.ReadByte();
}

uint8_t ServerAddressOf(TModbusBuffer& buffer)
{
    buffer.Seek(TBufferSeekOrigin::soStart);
    return buffer.ReadByte();
}

int EncodeFrame(TTransmissionMode mode, const TModbusBuffer& buffer, uint8_t* raw, int rawCapacity)
{
    static constexpr char HexDigits[] = "0123456789ABCDEF";
    const int n = buffer.Size();
    if (n <= 0)
        return n;
    const int length = IsAscii(mode) ? 2 * n + 3 : IsTcp(mode) ? MbapPrefix + n : n;
    if (length > rawCapacity)
        throw EModbusError("Failed to encode frame");
    const uint8_t* bytes = buffer.Data();
    if (IsTcp(mode)) {
        // The transaction identifier is the sender's to set.
        const uint8_t header[MbapPrefix] = {0, 0, 0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        std::memcpy(raw, header, sizeof header);
        std::memcpy(raw + MbapPrefix, bytes, static_cast<std::size_t>(n));
        return length;
    }
    if (!IsAscii(mode)) {
        std::memcpy(raw, bytes, static_cast<std::size_t>(n));
        return n;
    }
    raw[0] = Colon;
    for (int i = 0; i < n; ++i) {
        raw[1 + 2 * i] = static_cast<uint8_t>(HexDigits[bytes[i] >> 4]);
        raw[2 + 2 * i] = static_cast<uint8_t>(HexDigits[bytes[i] & 0x0F]);
    }
    raw[length - 2] = CR;
    raw[length - 1] = LF;
    return length;
}

bool DecodeFrame(const TFrameMode& mode, const uint8_t* raw, int length, TModbusBuffer& buffer)
{
    buffer.SetSize(0);
    const int minimum = MinimumFrameSize(mode);
    const bool framed = IsAscii(mode.Transmission) ? UnwrapAscii(raw, length, minimum, buffer)
                        : IsTcp(mode.Transmission) ? UnwrapTcp(raw, length, minimum, buffer)
                                                   : UnwrapRtu(raw, length, minimum, buffer);
    if (framed && ChecksumMatches(mode.Transmission, buffer))
        return true;
    buffer.SetSize(0);
    return false;
}

bool AddressMatches(const TModbusBuffer& request, const TModbusBuffer& reply, bool anyAddress)
{
    return anyAddress || reply.ByteAt(0) == request.ByteAt(0);
}

bool FunctionMatches(const TModbusBuffer& request, const TModbusBuffer& reply)
{
    return request.ByteAt(1) == (reply.ByteAt(1) & 0x7F);
}

bool IsExceptionReply(const TFrameMode& mode, const TModbusBuffer& reply)
{
    const TFrameMode client{mode.Transmission, TConnectionMode::cmClient};
    return reply.Size() == MinimumFrameSize(client) && reply.ByteAt(1) > 128;
}

TExceptionInfo GetException(const TModbusBuffer& reply)
{
    const uint8_t code = reply.ByteAt(2);
    return {static_cast<uint8_t>(code <= 8 ? code : 0), code};
}

// A read's reply brings exactly the bytes of the quantity asked, and
// nothing after them: the reply to another read of the same function with
// another count (a late one) does not pass for this one's.
bool CountMatches(TTransmissionMode mode, const TModbusBuffer& request, const TModbusBuffer& reply)
{
    const uint8_t function = request.ByteAt(1);
    if (function < 1 || function > 4 || request.Size() < 6)
        return true;
    const int quantity = request.ByteAt(4) << 8 | request.ByteAt(5);
    const int bytes = function <= 2 ? (quantity + 7) / 8 : 2 * quantity;
    return reply.Size() >= 3 && reply.ByteAt(2) == bytes && reply.Size() == 3 + bytes + SerialLayout(mode).ChecksumSize;
}

TTransactionReply ClassifyReply(const TFrameMode& mode, const TModbusBuffer& request, bool anyAddress,
                                const uint8_t* raw, int n, TModbusBuffer& reply, TExceptionInfo& exception)
{
    exception = {0, 0};
    if (n <= 0)
        return TTransactionReply::trNoReply;
    if (!DecodeFrame(mode, raw, n, reply) || !PduFitsFrame(mode.Transmission, request, reply))
        return TTransactionReply::trInvalidFrame;
    if (!AddressMatches(request, reply, anyAddress))
        return TTransactionReply::trUnexpectedReply;
    if (!FunctionMatches(request, reply))
        return TTransactionReply::trUnmatchedReply;
    if (!IsExceptionReply(mode, reply))
        return CountMatches(mode.Transmission, request, reply) ? TTransactionReply::trSuccess
                                                               : TTransactionReply::trUnmatchedReply;
    exception = GetException(reply);
    return TTransactionReply::trExceptionReply;
}

const char* InvalidFrameReason(TTransmissionMode mode, const uint8_t* raw, int n)
{
    const int minimum = MinimumFrameSize({mode, TConnectionMode::cmClient});
    TModbusBuffer buffer(SerialLayout(mode).RawCapacity);
    try {
        if (IsTcp(mode))
            return n < MbapPrefix + minimum ? "too short" : "header";
        if (IsAscii(mode))
            return UnwrapAscii(raw, n, minimum, buffer) ? "LRC" : "framing";
        return UnwrapRtu(raw, n, minimum, buffer) ? "CRC" : "too short";
    } catch (const EModbusError&) {
        return "too long";
    }
}

// Bits per character leave out the start bit; the product is formed in
// floating point so that a large SilentInterval cannot wrap around, and a
// line without a rate (0 baud) has no character time to wait for.
uint32_t FrameInterval(TTransmissionMode mode, const TLineTiming& line)
{
    double interval = IsTcp(mode) ? StalledStreamMs : line.SilentInterval;
    if (mode == TTransmissionMode::tmRTU) {
        const int bits = (line.DataBits == TDataBits::db7 ? 7 : 8) + (line.StopBits == TStopBits::sb2 ? 2 : 1)
                         + (line.Parity == TParityScheme::psNone ? 0 : 1);
        interval = line.Baud == 0 ? 0.0 : std::ceil(bits * interval * 1000.0 / line.Baud);
    }
    return static_cast<uint32_t>(std::clamp(interval, double{MinimumFrameInterval}, double{INT_MAX}));
}

// Bits per character on the line, start bit included.
uint32_t InterFrameGapUs(TTransmissionMode mode, const TLineTiming& line)
{
    constexpr uint32_t FastLineGapUs = 1750;
    if (mode != TTransmissionMode::tmRTU || line.Baud == 0)
        return 0;
    if (line.Baud > 19200)
        return FastLineGapUs;
    const int bits = 1 + (line.DataBits == TDataBits::db7 ? 7 : 8) + (line.StopBits == TStopBits::sb2 ? 2 : 1)
                     + (line.Parity == TParityScheme::psNone ? 0 : 1);
    return static_cast<uint32_t>(std::ceil(3.5 * bits * 1e6 / line.Baud));
}

int ReplyBytesMissing(TTransmissionMode mode, uint8_t function, const uint8_t* raw, int n)
{
    if (IsTcp(mode)) {
        if (n < MbapPrefix)
            return MbapPrefix - n;
        const int length = WordAt(raw + 4);
        const bool sound = WordAt(raw + 2) == 0 && length >= 2 && length <= SerialLayout(mode).AduCapacity;
        return sound ? std::max(0, MbapPrefix + length - n) : -1;
    }
    if (IsAscii(mode))
        return -1;
    // The address byte, then a PDU whose length its own bytes tell, then the CRC.
    constexpr int Overhead = 3;
    if (n < 2)
        return 2 - n;
    if ((raw[1] & 0x7F) != function)
        return -1;
    const std::size_t pdu = ModbusPdu::ReplyLength(function, {raw + 1, static_cast<std::size_t>(n - 1)});
    const int whole = static_cast<int>(pdu) + Overhead;
    if (n < whole)
        return whole - n;
    const uint16_t crc = static_cast<uint16_t>(raw[whole - 2] | raw[whole - 1] << 8);
    return n == whole && Crc16(raw, static_cast<std::size_t>(whole - 2)) == crc ? 0 : -1;
}

uint16_t TcpTransactionId(const uint8_t* raw) { return WordAt(raw); }

void SetTcpTransactionId(uint8_t* raw, uint16_t id)
{
    raw[0] = static_cast<uint8_t>(id >> 8);
    raw[1] = static_cast<uint8_t>(id);
}

int64_t TSerialInput::NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int ReceiveFrame(TTransmissionMode mode, TSerialInput& port, uint8_t* raw, int capacity, int firstTimeout,
                 uint32_t frameInterval, const TPreprocessIncomingFrame& preprocess, const TFrameMissing& missing)
{
    if (firstTimeout == 0 || capacity <= 0)
        return 0;
    const int interval = static_cast<int>(std::min<uint32_t>(frameInterval, INT_MAX));
    int count = IsAscii(mode) ? ReceiveAscii(port, raw, capacity, firstTimeout, interval)
                              : ReceiveUntilSilence(port, raw, capacity, firstTimeout, interval, missing);
    if (count > 0 && preprocess) {
        preprocess(raw, capacity, count);
        count = std::clamp(count, 0, capacity);
    }
    return count;
}
