#pragma once

#include "MeterTransport.h"
#include "ModbusClient.h"
#include "ModbusConnection.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>

// The serial Modbus master (RTU) for the meter link. Each operation queues
// one transaction on the connection's worker and waits for its own outcome,
// by transaction ID, while the event loop turns; an operation started from
// inside that wait (a timer, a menu) queues its own transaction behind it
// and completes on its own.
//
// Every wait ends:
// - with the transaction's event: its result code (ReplyToResult);
// - a broadcast (address 0), which no server answers: 0 once the connection
//   reports its frame sent;
// - a transaction dropped because this link closed the port or changed the
//   server address meanwhile: MeterResult::Cancelled at once;
// - a lost port: MeterResult::PortLost at once; the port is then closed and
//   every later operation gets the same code at once, until the port is
//   opened again (the connection has already shown its one report of the
//   loss);
// - otherwise (a transaction the worker dropped on an error of its own,
//   which the connection reports): MeterResult::NoReply once the
//   connection's timing allows no answer any more;
// - a set abort flag: MeterResult::Pending at once.
class TSerialMeterTransport final : public TMeterTransport {
public:
    TSerialMeterTransport(const QString& port, TLinkProperties& properties);
    ~TSerialMeterTransport() override;

    void SetComPort(const QString& name) override;
    void SetBaudRate(TBaudRate rate) override;
    void SetActive(bool active) override;
    void SetRXTimeout(int32_t ms) override;
    void SetEcho(bool on) override;
    int TcpPort() const override { return 0; }
    void SetTcpPort(int) override {}
    QString LastOpenError() const override { return lastOpenError_; }
    bool Exchanging() const override { return waits_ > 0; }

    uint8_t ReadFunction(uint8_t function) const override { return function == 3 ? 3 : 4; }
    int32_t ReadRegisters(uint8_t address, uint8_t function, uint16_t first, std::vector<uint16_t>& values,
                          const bool& abort, TExchange& exchange) override;
    int32_t WriteRegister(uint8_t address, uint16_t reg, uint16_t value, const bool& abort,
                          TExchange& exchange) override;
    int32_t WriteMultipleRegisters(uint8_t address, uint16_t first, std::span<const uint16_t> words,
                                   const bool& abort, TExchange& exchange) override;
    std::optional<int32_t> Modbus17(uint8_t address, QByteArray& text, const bool& abort,
                                    TExchange& exchange) override;

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

    void HookEvents();
    void Open();
    void Close(int32_t dropped);
    bool Reopen(const std::function<void()>& change);
    void SelectServer(uint8_t address);
    bool CheckPortLost();
    int32_t Request(uint8_t address, const std::function<uint32_t()>& queue, const bool& abort, TOutcome& outcome,
                    TExchange& exchange);
    void Wait(TOutcome& outcome, const bool& abort);
    Clock::duration CompletionTime() const;
    void Complete(const TTransactionInfo& info, std::vector<uint16_t> words, QByteArray data);
    void FrameSent(const TFrameData& frame);
    void EndAll(int32_t result);

    TLinkProperties& properties_;
    TModbusConnection connection_;
    TModbusClient client_;
    QString lastOpenError_;
    bool portLost_ = false;
    int waits_ = 0;
    std::map<uint32_t, TOutcome*> outcomes_; // by transaction ID, oldest first
};
