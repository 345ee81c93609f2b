#pragma once

// The result codes of the meter link's operations and the link's published
// properties.

#include "BaudRate.h"
#include "TcpChannel.h"

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
// A read addressed to unit 0 on a serial line or through a device server:
// no meter answers a broadcast, so nothing is sent and nothing is read.
constexpr int32_t ReadFromBroadcast = -10;
// A register number no request can carry: nothing is sent.
constexpr int32_t RegisterOutOfRange = -11;
// A frame heard while no request of its own was waiting, thrown away (only
// in an exchange's attempts, never an operation's result).
constexpr int32_t Discarded = -12;
constexpr int32_t Pending = -99999;
// A TCP connection that could not be made, or broke.
constexpr int32_t SocketError = TcpFailure::SocketError;
constexpr int32_t SocketWriteError = TcpFailure::SocketWriteError;
constexpr int32_t SocketReadError = TcpFailure::SocketReadError;
constexpr int32_t SocketNotConnected = TcpFailure::SocketNotConnected;
} // namespace MeterResult

// Exception codes that a gateway answers in place of the meter behind it.
// They are the meter link's results like every exception code, and never
// stand for a failure of the link itself.
namespace MeterException {
constexpr int32_t GatewayPathUnavailable = 10;
constexpr int32_t GatewayTargetFailed = 11;
} // namespace MeterException

// The link's published properties: the values last set, as the transport
// took them.
struct TLinkProperties {
    QString ComPort;
    TBaudRate BaudRate = TBaudRate::br9600;
    bool Active = false;
    int32_t RXTimeout = 500;
    bool Echo = false;
};
