#pragma once

#include "IdModBusClient.h"
#include "MeterTransport.h"

#include <chrono>

// Modbus/TCP for the meter link: one blocking exchange per operation,
// connecting for each, with the event loop turning while it waits. Every
// read is a function 3 read; there is no identification exchange.
// Properties: the port name and baud rate mean nothing here and are left
// alone; Active follows the flag only while the target is an IP address;
// RXTimeout is the wait for each reply.
class TTcpMeterTransport final : public TMeterTransport {
public:
    TTcpMeterTransport(const QString& target, TLinkProperties& properties);

    void SetComPort(const QString&) override {}
    void SetBaudRate(TBaudRate) override {}
    void SetActive(bool active) override;
    void SetRXTimeout(int32_t ms) override;
    void SetEcho(bool on) override { properties_.Echo = on; }
    int TcpPort() const override { return client_.Port; }
    void SetTcpPort(int port) override { client_.Port = port; }
    QString LastOpenError() const override { return {}; }
    bool Exchanging() const override { return exchanging_; }

    uint8_t ReadFunction(uint8_t) const override { return 3; }
    int32_t ReadRegisters(uint8_t address, uint8_t function, uint16_t first, std::vector<uint16_t>& values,
                          const bool& abort, TExchange& exchange) override;
    int32_t WriteRegister(uint8_t address, uint16_t reg, uint16_t value, const bool& abort,
                          TExchange& exchange) override;
    int32_t WriteMultipleRegisters(uint8_t address, uint16_t first, std::span<const uint16_t> words,
                                   const bool& abort, TExchange& exchange) override;
    std::optional<int32_t> Modbus17(uint8_t, QByteArray&, const bool&, TExchange&) override { return std::nullopt; }

private:
    template <typename Operation>
    int32_t Transaction(uint8_t function, uint8_t address, const bool& abort, TExchange& exchange,
                        Operation operation);
    void KeepAttempts(TExchange& exchange, int64_t sentAt, std::chrono::steady_clock::time_point start,
                      int32_t result) const;

    TLinkProperties& properties_;
    TIdModBusClient client_;
    bool exchanging_ = false;
};
