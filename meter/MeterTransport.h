#pragma once

// The transport behind the meter link: Modbus/TCP or the serial Modbus
// master. The link checks register numbers and keeps the register image;
// a transport carries one request to the meter, waits for its outcome while
// the event loop turns, and returns a result code; the attempts it made go
// into the exchange the operation hands back. It keeps the link's published
// properties up to date.

#include "BaudRate.h"
#include "Exchange.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Result codes that the link's transports produce besides the meter's
// exception codes (ErrorCode gives their texts).
namespace MeterResult {
constexpr int32_t Success = 0;
constexpr int32_t NoReply = -1;
constexpr int32_t InvalidFrame = -2;
constexpr int32_t UnexpectedReply = -3;
constexpr int32_t UnmatchedReply = -4;
constexpr int32_t Unknown = -6;
// A read of a count outside 1..125: nothing is sent.
constexpr int32_t InvalidCount = -7;
// The serial port went away (an adapter unplugged); the link is inactive
// until it is opened again.
constexpr int32_t PortLost = -8;
// The request was dropped unanswered because the port was closed or the
// server address changed while it waited (another command of the program).
constexpr int32_t Cancelled = -9;
// A read addressed to unit 0: no meter answers a broadcast, so nothing is
// sent and nothing is read.
constexpr int32_t ReadFromBroadcast = -10;
// A register number no request can carry: nothing is sent.
constexpr int32_t RegisterOutOfRange = -11;
// A frame heard while no request of its own was waiting, thrown away (only
// in an exchange's attempts, never an operation's result).
constexpr int32_t Discarded = -12;
constexpr int32_t Pending = -99999;
} // namespace MeterResult

// The link's published properties: the values last set, as the transport
// took them.
struct TLinkProperties {
    QString ComPort;
    TBaudRate BaudRate = TBaudRate::br9600;
    bool Active = false;
    int32_t RXTimeout = 500;
    bool Echo = false;
};

class TMeterTransport {
public:
    virtual ~TMeterTransport() = default;

    // Property setters, each by the transport's own rules.
    virtual void SetComPort(const QString& name) = 0;
    virtual void SetBaudRate(TBaudRate rate) = 0;
    virtual void SetActive(bool active) = 0;
    virtual void SetRXTimeout(int32_t ms) = 0;
    // The adapter returns every frame it sends; the serial master removes
    // the echo. Modbus/TCP has no echo and ignores it.
    virtual void SetEcho(bool on) = 0;
    virtual int TcpPort() const = 0;
    virtual void SetTcpPort(int port) = 0;
    // Why the port did not open the last time it was opened; empty when it did.
    virtual QString LastOpenError() const = 0;
    // True while an operation waits for the meter.
    virtual bool Exchanging() const = 0;

    // The function that a read asked for with function really uses: 3
    // (holding registers) or 4 (input registers).
    virtual uint8_t ReadFunction(uint8_t function) const = 0;
    // values comes in with the count of registers to read and holds them
    // when the result is 0.
    virtual int32_t ReadRegisters(uint8_t address, uint8_t function, uint16_t first, std::vector<uint16_t>& values,
                                  const bool& abort, TExchange& exchange) = 0;
    virtual int32_t WriteRegister(uint8_t address, uint16_t reg, uint16_t value, const bool& abort,
                                  TExchange& exchange) = 0;
    virtual int32_t WriteMultipleRegisters(uint8_t address, uint16_t first, std::span<const uint16_t> words,
                                           const bool& abort, TExchange& exchange) = 0;
    // The identification exchange (function 17): its result code, with the
    // reply's data in text; nothing when the transport has no such exchange.
    virtual std::optional<int32_t> Modbus17(uint8_t address, QByteArray& text, const bool& abort,
                                            TExchange& exchange) = 0;
};
