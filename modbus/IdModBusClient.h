#pragma once

#include "ModbusTcpFrame.h"
#include "TcpSocket.h"

#include <cstdint>
#include <span>
#include <string>

// A small synchronous Modbus/TCP master. Each operation opens a connection,
// exchanges one request and closes the connection again, whatever the
// outcome. It blocks its caller for at most ConnectTimeOut plus TimeOut,
// waiting in poll() rather than spinning; a WaitHook runs between short
// slices of every wait, so that the caller can keep its GUI answering and
// end the wait early.
//
// Every request carries a transaction identifier of its own. A frame that
// answers another transaction or comes from another unit is set aside
// (LastDiscards) and the wait goes on; a header that is not Modbus/TCP's
// (protocol identifier not 0, a length no PDU can have) or a length that
// disagrees with the PDU makes the reply invalid.
//
// Result codes: 0 success; 1 ... 255 the exception code of an exception
// reply; -1 no reply before TimeOut, a reply with a foreign function code,
// or a wait the hook ended; -2 a reply cut short, an unsound header or
// length, or a read that does not bring the count asked; -4 a write whose echo does not repeat the request;
// the socket codes below when the connection cannot be made or breaks. A
// request that cannot be sent raises EModbusTcpError, a host that is not an
// IP address ESocketError.
class TIdModBusClient {
public:
    static constexpr int32_t SocketError = static_cast<int32_t>(0x800405E9);        // the machine's socket layer failed
    static constexpr int32_t SocketWriteError = static_cast<int32_t>(0x800405EA);   // the request could not be sent
    static constexpr int32_t SocketReadError = static_cast<int32_t>(0x800405EB);    // the peer closed or reset the connection
    static constexpr int32_t SocketNotConnected = static_cast<int32_t>(0x800405EC); // refused, unreachable or timed out

    TIdModBusClient();

    std::string Host;
    int Port = 502;
    int ConnectTimeOut = -1;  // ms; negative: as long as the kernel waits
    uint32_t TimeOut = 15000; // ms to wait for the reply; 0: take what is there
    uint8_t UnitID = 1;
    uint8_t ModBusFunction = 0;
    uint16_t RegNumber = 0;
    uint16_t BlockLength = 0;
    // Runs between the slices of every wait and when a signal interrupts
    // one; returning false ends the exchange at once with -1. Without a hook
    // a wait blocks until its end.
    TWaitHook WaitHook;
    // The longest slice of a wait with a hook, in ms; 0: no slices, the hook
    // runs only for signals (a caller with no events to process need not
    // wake up).
    int WaitSliceMs = TTcpSocket::DefaultSliceMs;

    std::string Version() const { return "1.0.1"; }
    const ModbusTcp::TRegisterData& RegisterData() const { return registerData_; }
    // The frames of the last exchange as they went over the wire: the request
    // sent and the reply bytes received (empty when none was sent or none came).
    const std::vector<uint8_t>& LastRequest() const { return lastRequest_; }
    const std::vector<uint8_t>& LastReply() const { return lastReply_; }
    // Frames of the last exchange that were not its reply, with why.
    struct TDiscard {
        std::vector<uint8_t> Frame;
        std::string Reason;
    };
    const std::vector<TDiscard>& LastDiscards() const { return discards_; }
    // Why the last reply was invalid, when it was; empty otherwise.
    const std::string& LastInvalidReason() const { return invalidReason_; }

    // Reads count holding registers; dest receives the first count words of
    // the reply data (all 0 unless the read succeeded).
    int ReadHoldingRegisters(uint16_t regNumber, uint16_t count, std::span<uint16_t> dest);
    int WriteSingleRegister(uint16_t regNumber, uint16_t value);
    int WriteMultipleRegisters(uint16_t regNumber, std::span<const uint16_t> values);

private:
    // Connects, exchanges the current request and disconnects.
    int Transact();
    int ExchangeRequest(TTcpSocket& socket, const ModbusTcp::TRequest& request, const std::vector<uint8_t>& frame);
    int ReceiveReply(TTcpSocket& socket, const ModbusTcp::TRequest& request, uint16_t transactionId);
    TSocketOutcome ReadFrame(TTcpSocket& socket, TTcpSocket::TClock::time_point deadline);
    TSocketOutcome ReadUpTo(TTcpSocket& socket, std::size_t size, TTcpSocket::TClock::time_point deadline);
    int Invalid(std::string reason);

    ModbusTcp::TRegisterData registerData_{};
    std::vector<uint8_t> lastRequest_;
    std::vector<uint8_t> lastReply_;
    std::vector<TDiscard> discards_;
    std::string invalidReason_;
    uint16_t transactionId_ = 0;
};
