#pragma once

// The frame layer of every transport: RTU and ASCII encodings with their
// checksums, the Modbus/TCP header, frame delimiting on receipt, the reply
// classification and the end-of-frame silence. Pure functions of the mode and the bytes; ReceiveFrame reads
// through the small TSerialInput seam, so it runs against a real port or a
// scripted one alike.

#include "ModbusBuffer.h"

#include <cstddef>
#include <cstdint>
#include <functional>

// RTU and ASCII frame the serial line (and RTU a TCP stream to a serial
// device server); TCP is Modbus/TCP's header around the unit and the PDU.
enum class TTransmissionMode { tmRTU, tmASCII, tmTCP };
enum class TConnectionMode { cmClient, cmServer, cmMonitor };
enum class TDataBits { db7, db8 };
enum class TParityScheme { psNone, psOdd, psEven };
enum class TStopBits { sb1, sb2 };

// The outcome of a serial transaction, in the order the request layer and
// the meter link rely on.
enum class TTransactionReply {
    trNoReply, trInvalidFrame, trUnexpectedReply, trUnmatchedReply, trExceptionReply, trSuccess
};

// What a connection's framing depends on.
struct TFrameMode {
    TTransmissionMode Transmission = TTransmissionMode::tmRTU;
    TConnectionMode Connection = TConnectionMode::cmClient;
};

// Sizes of one transport, in bytes unless said otherwise.
struct TSerialLayout {
    int AduCapacity;      // request and reply buffers: address + 253-byte PDU + checksum
    int RawCapacity;      // the worker's wire buffers (ASCII: characters; TCP: with the header)
    int ChecksumSize;
};
const TSerialLayout& SerialLayout(TTransmissionMode mode);
// Smallest frame accepted for decoding: a client's replies, a server's
// requests, a monitor's either (ASCII: bytes of the ADU, compared after
// adding the colon, CR and LF).
int MinimumFrameSize(const TFrameMode& mode);

// The checksums of the Modbus serial line.
uint16_t Crc16(const uint8_t* data, std::size_t n);
uint8_t Lrc(const uint8_t* data, std::size_t n);

// Frame operations on ADU buffers.
void AppendChecksum(TTransmissionMode mode, TModbusBuffer& buffer);
uint8_t FunctionCodeOf(TModbusBuffer& buffer);
uint8_t ServerAddressOf(TModbusBuffer& buffer);
// Byte form to wire form; returns the wire length (0 or less for an empty
// buffer, nothing written). Raises "Failed to encode frame" when it does not
// fit rawCapacity.
int EncodeFrame(TTransmissionMode mode, const TModbusBuffer& buffer, uint8_t* raw, int rawCapacity);
// Wire form to byte form; false (buffer Size 0) for a frame too short, badly
// framed or with a wrong checksum. Raises "Failed to decode frame" when the
// frame holds more bytes than the buffer.
bool DecodeFrame(const TFrameMode& mode, const uint8_t* raw, int length, TModbusBuffer& buffer);
bool AddressMatches(const TModbusBuffer& request, const TModbusBuffer& reply, bool anyAddress);
bool FunctionMatches(const TModbusBuffer& request, const TModbusBuffer& reply);
bool IsExceptionReply(const TFrameMode& mode, const TModbusBuffer& reply);
struct TExceptionInfo { uint8_t Kind; uint8_t Code; };
TExceptionInfo GetException(const TModbusBuffer& reply);

bool CountMatches(TTransmissionMode mode, const TModbusBuffer& request, const TModbusBuffer& reply);

// Classifies a received frame of length n (0: nothing came) against its
// request; decodes it into reply. A read's reply must bring the count asked
// (trUnmatchedReply otherwise). trUnexpectedReply means another server's
// reply, on which the client keeps listening.
TTransactionReply ClassifyReply(const TFrameMode& mode, const TModbusBuffer& request, bool anyAddress,
                                const uint8_t* raw, int n, TModbusBuffer& reply, TExceptionInfo& exception);

// Why a frame that ClassifyReply found invalid is: "too short", "CRC"
// (RTU), "LRC" / "framing" (ASCII) or "header" (TCP).
const char* InvalidFrameReason(TTransmissionMode mode, const uint8_t* raw, int n);

// The end-of-frame silence in ms: RTU from the character time of the line,
// ASCII SilentInterval itself, TCP a stream stalled for StalledStreamMs;
// never below 16 ms.
struct TLineTiming {
    uint32_t Baud = 19200;
    TDataBits DataBits = TDataBits::db8;
    TParityScheme Parity = TParityScheme::psEven;
    TStopBits StopBits = TStopBits::sb1;
    uint32_t SilentInterval = 4;
};
uint32_t FrameInterval(TTransmissionMode mode, const TLineTiming& line);
constexpr uint32_t StalledStreamMs = 1000;
// The pause the Modbus serial line asks for between frames, in
// microseconds: 3.5 characters, 1750 us above 19200 baud; none for ASCII
// (its frames are delimited) and for TCP.
uint32_t InterFrameGapUs(TTransmissionMode mode, const TLineTiming& line);

// How many bytes the reply to a request of this function still lacks when
// raw[0 .. n) has arrived: 0 when it is whole (RTU: the length that its
// function code, byte count or exception form tells, with a CRC that
// checks; TCP: the length its header gives), -1 when its bytes cannot tell
// (a foreign function, a bad CRC, an unsound header, ASCII), so that only
// the silence after it ends it.
int ReplyBytesMissing(TTransmissionMode mode, uint8_t function, const uint8_t* raw, int n);
// The transaction identifier of a Modbus/TCP frame.
uint16_t TcpTransactionId(const uint8_t* raw);
void SetTcpTransactionId(uint8_t* raw, uint16_t id);

// The port operations ReceiveFrame needs. WaitForData waits up to timeoutMs
// (negative: no limit, only an abort ends it) and says whether characters
// arrived; ReadAvailable reads what the port holds, up to n bytes. NowMs is
// the monotonic clock (ms) ReceiveFrame measures its deadlines with; a
// scripted port replaces it with the time of its script.
class TSerialInput {
public:
    virtual ~TSerialInput() = default;
    virtual bool WaitForData(int timeoutMs) = 0;
    virtual std::size_t ReadAvailable(uint8_t* dest, std::size_t n) = 0;
    virtual int64_t NowMs();
};

// Lets a handler rewrite a collected raw frame (at most capacity bytes) and
// its length before anything else looks at it.
using TPreprocessIncomingFrame = std::function<void(uint8_t* buffer, int capacity, int& dataSize)>;

// Tells ReceiveFrame how many bytes the frame in raw[0 .. n) still lacks,
// as ReplyBytesMissing does.
using TFrameMissing = std::function<int(const uint8_t* raw, int n)>;

// Collects one raw frame: RTU and TCP up to a silence of frameInterval ms,
// or, with a missing-bytes function, as soon as it says the frame is whole
// (reading no byte past it); ASCII from ":" to CR LF. firstTimeout 0 returns 0 at once; negative waits
// without limit for the first character (ASCII: for the ":"); a positive
// one counts from the call. Once a frame has begun, a line that never falls
// silent ends it after capacity x frameInterval ms, and a full buffer ends
// it at once. Returns the length after the preprocessing handler, which
// runs only on a non-empty frame and whose length is kept within
// 0 ... capacity.
int ReceiveFrame(TTransmissionMode mode, TSerialInput& port, uint8_t* raw, int capacity,
                 int firstTimeout, uint32_t frameInterval,
                 const TPreprocessIncomingFrame& preprocess = {}, const TFrameMissing& missing = {});
