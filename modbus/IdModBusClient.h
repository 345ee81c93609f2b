#pragma once

#include "ModbusTcpFrame.h"
#include "TcpSocket.h"

#include <cstdint>
#include <span>
#include <string>

// A small synchronous Modbus/TCP master. Each operation opens a connection,
// exchanges one request and closes the connection again, on success, on a
// result code and on an exception alike. It blocks its caller for at most
// ConnectTimeOut plus TimeOut, waiting in poll() rather than spinning.
//
// Result codes: 0 success; 1 ... 255 the exception code of an exception
// reply; -1 no reply before TimeOut or a reply with a foreign function code;
// -2 a reply cut short; -4 no connection. A connect that fails, a write that
// fails and a peer that closes the connection raise ESocketError.
class TIdModBusClient {
public:
    TIdModBusClient();

    std::string Host;
    int Port = 502;
    int ConnectTimeOut = -1;  // ms; negative: as long as the kernel waits
    uint32_t TimeOut = 15000; // ms to wait for the reply; 0: take what is there
    uint8_t UnitID = 1;
    uint8_t ModBusFunction = 0;
    uint16_t RegNumber = 0;
    uint16_t BlockLength = 0;

    std::string Version() const { return "1.0.1"; }
    const ModbusTcp::TRegisterData& RegisterData() const { return registerData_; }
    // The frames of the last exchange as they went over the wire: the request
    // sent and the reply bytes received (empty when none was sent or none came).
    const std::vector<uint8_t>& LastRequest() const { return lastRequest_; }
    const std::vector<uint8_t>& LastReply() const { return lastReply_; }

    // Reads count holding registers; dest receives the first count words of
    // the reply data (words beyond what the reply carried are 0).
    int ReadHoldingRegisters(uint16_t regNumber, uint16_t count, std::span<uint16_t> dest);
    int WriteSingleRegister(uint16_t regNumber, uint16_t value);
    int WriteMultipleRegisters(uint16_t regNumber, std::span<const uint16_t> values);

private:
    // Connects, exchanges the current request and disconnects.
    int Transact();
    int ExchangeRequest(TTcpSocket& socket, const std::vector<uint8_t>& request);
    std::size_t ReceiveReply(TTcpSocket& socket, uint8_t* reply);

    ModbusTcp::TRegisterData registerData_{};
    std::vector<uint8_t> lastRequest_;
    std::vector<uint8_t> lastReply_;
};
