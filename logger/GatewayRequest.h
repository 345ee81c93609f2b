#pragma once

#include "ModbusFunctions.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

// The Modbus exceptions the gateway answers with itself.
namespace GatewayException {
constexpr uint8_t IllegalFunction = 0x01;    // a function it does not pass on, or a write it is not allowed
constexpr uint8_t IllegalDataValue = 0x03;   // a request whose length does not fit its function
constexpr uint8_t Busy = 0x06;               // the link's queue is full
constexpr uint8_t PathUnavailable = 0x0A;    // no meter has the unit, or its link is down
constexpr uint8_t TargetNoAnswer = 0x0B;     // the meter did not answer

// The exception reply PDU to a request of this function.
inline QByteArray Reply(uint8_t function, uint8_t code)
{
    const char pdu[] = {char(function | 0x80), char(code)};
    return QByteArray(pdu, sizeof pdu);
}
} // namespace GatewayException

// Functions 6 and 16, which a client may send only with --serve-writes.
inline bool IsWriteFunction(uint8_t function)
{
    return function == ModbusFunctions::WriteSingleRegister || function == ModbusFunctions::WriteMultipleRegisters;
}

// One request of a client of the gateway, on its way to its meter's link.
struct TGatewayRequest {
    uint64_t Client = 0; // the client's connection: a number never used again in the run
    QString ClientText;  // where the client is, as the messages say it: "127.0.0.1:40122"
    uint8_t Unit = 0;
    std::size_t Meter = 0; // the meter's index among its link's meters
    QByteArray Pdu;        // the request as the client sent it, function code first
    std::chrono::steady_clock::time_point Queued; // when it came
    // Called once with the reply PDU (the meter's own, or an exception of
    // the gateway), in the link's thread; not called for a request dropped
    // with its client or at the end of the run.
    std::function<void(const QByteArray& reply)> Answer;
};
