#pragma once

#include "Exchange.h"
#include "MeterResult.h"
#include "ModbusClient.h"
#include "ModbusConnection.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

// How the link reaches the meter: a serial port (RTU), Modbus/TCP, or RTU
// frames over a TCP stream to a serial device server in transparent mode.
enum class TLinkKind { Serial, Tcp, RtuOverTcp };

// The meter link's one exchange road for every kind of link. Each operation
// queues one transaction on the connection's worker and waits for its own
// outcome, by transaction ID, while the event loop turns; an operation
// started from inside that wait (a timer, a menu) queues its own
// transaction behind it and completes on its own.
//
// Every wait ends:
// - with the transaction's event: its result code (ReplyToResult);
// - a broadcast (address 0 on a serial line or through a device server),
//   which no server answers: 0 once the connection reports its frame sent;
// - a transaction dropped because this link closed the port or changed the
//   server address meanwhile: MeterResult::Cancelled at once;
// - a lost serial port: MeterResult::PortLost at once; the port is then
//   closed and every later operation gets the same code at once, until the
//   port is opened again (the loss itself is told once, as a link state);
// - otherwise (a transaction the worker dropped on an error of its own,
//   which the connection reports): MeterResult::NoReply once the
//   connection's timing allows no answer any more;
// - a set abort flag: MeterResult::Pending at once.
//
// Over TCP the target is a numeric IP address (names are not looked up: a
// lookup could hold the program for seconds); any other target leaves the
// link inactive.
class TLinkTransport {
public:
    // openNow false: closed until SetActive(true).
    TLinkTransport(TLinkKind kind, const QString& target, TLinkProperties& properties, bool openNow = true);
    ~TLinkTransport();
    TLinkTransport(const TLinkTransport&) = delete;
    TLinkTransport& operator=(const TLinkTransport&) = delete;

    TLinkKind Kind() const { return kind_; }
    // Serial links only: a new port or rate reopens the port. A device
    // server's rate times its frames' silence.
    void SetComPort(const QString& name);
    void SetBaudRate(TBaudRate rate);
    void SetActive(bool active);
    void SetRXTimeout(int32_t ms);
    // The adapter returns every frame it sends; the master removes the echo.
    void SetEcho(bool on);
    int TcpPort() const { return tcpPort_; }
    // TCP links: a new port reconnects.
    void SetTcpPort(int port);
    bool EndAtLength() const { return connection_.EndAtLength(); }
    void SetEndAtLength(bool on);
    bool KeepConnection() const { return keepConnection_; }
    void SetKeepConnection(bool on);
    // Why the port did not open the last time it was opened; empty when it did.
    QString LastOpenError() const { return lastOpenError_; }
    // True while an operation waits for the meter.
    bool Exchanging() const { return waits_ > 0; }
    // A kept TCP connection was made, lost or refused, or the serial port
    // was lost: its words, once per change.
    std::function<void(const QString& text)> OnLinkState;

    // The function that a read asked for with function really uses: 3
    // (holding registers) or 4 (input registers); Modbus/TCP reads holding
    // registers only.
    uint8_t ReadFunction(uint8_t function) const;
    // values comes in with the count of registers to read and holds them
    // when the result is 0.
    int32_t ReadRegisters(uint8_t address, uint8_t function, uint16_t first, std::vector<uint16_t>& values,
                          const bool& abort, TExchange& exchange);
    int32_t WriteRegister(uint8_t address, uint16_t reg, uint16_t value, const bool& abort, TExchange& exchange);
    int32_t WriteMultipleRegisters(uint8_t address, uint16_t first, std::span<const uint16_t> words,
                                   const bool& abort, TExchange& exchange);
    // The identification exchange (function 17): its result code, with the
    // reply's data in text; nothing over Modbus/TCP, which has none.
    // A request PDU of another master, sent once as it is; the reply frame
    // is the exchange's.
    int32_t Forward(uint8_t address, const std::vector<uint8_t>& pdu, const bool& abort, TExchange& exchange);
    std::optional<int32_t> Modbus17(uint8_t address, QByteArray& text, const bool& abort, TExchange& exchange);

    static int32_t ReplyToResult(const TTransactionInfo& info);
    static int32_t ReplyToResult(TTransactionReply reply, uint8_t exceptionCode);

private:
    using Clock = std::chrono::steady_clock;
    // One queued transaction of an operation that waits for it.
    struct TOutcome {
        bool Done = false;
        bool Broadcast = false;
        int32_t Result = MeterResult::Pending;
        std::vector<uint16_t> Words; // registers read
        QByteArray Data;             // identification data
        Clock::time_point Deadline;
        std::vector<TAttempt> Attempts;
    };

    bool Tcp() const { return kind_ != TLinkKind::Serial; }
    void HookEvents();
    void Open();
    void Close(int32_t dropped);
    bool Reopen(const std::function<void()>& change);
    void SetTarget();
    void SelectServer(uint8_t address);
    bool CheckPortLost();
    int32_t Request(uint8_t address, const std::function<uint32_t()>& queue, const bool& abort, TOutcome& outcome,
                    TExchange& exchange);
    void Wait(TOutcome& outcome, const bool& abort);
    Clock::duration CompletionTime() const;
    void Complete(const TTransactionInfo& info, std::vector<uint16_t> words, QByteArray data);
    void FrameSent(const TFrameData& frame);
    void EndAll(int32_t result);

    const TLinkKind kind_;
    const std::string host_;
    int tcpPort_ = 502;
    bool keepConnection_ = false;
    TLinkProperties& properties_;
    TModbusConnection connection_;
    TModbusClient client_;
    QString lastOpenError_;
    bool portLost_ = false;
    int waits_ = 0;
    std::map<uint32_t, TOutcome*> outcomes_; // by transaction ID, oldest first
};
