#include "TcpMeterTransport.h"

#include "KelvaneCOM.h"

#include <QCoreApplication>

#include <chrono>

namespace {

// Keeps the GUI answering while an exchange waits, and ends the wait as soon
// as abort is set.
TWaitHook ProcessEventsUntil(const bool& abort)
{
    return [&abort] {
        if (!abort && QCoreApplication::instance())
            QCoreApplication::processEvents();
        return !abort;
    };
}

int64_t WallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

QByteArray Bytes(const std::vector<uint8_t>& frame)
{
    return QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<qsizetype>(frame.size()));
}

} // namespace

TTcpMeterTransport::TTcpMeterTransport(const QString& target, TLinkProperties& properties)
    : properties_(properties)
{
    client_.Host = target.toStdString();
    client_.Port = 502;
    client_.ConnectTimeOut = 5000;
    client_.TimeOut = 500;
    properties_.Active = TTcpSocket::IsAddress(client_.Host);
}

void TTcpMeterTransport::SetActive(bool active)
{
    properties_.Active = active && TTcpSocket::IsAddress(client_.Host);
}

void TTcpMeterTransport::SetRXTimeout(int32_t ms)
{
    properties_.RXTimeout = ms;
    if (ms >= 0)
        client_.TimeOut = static_cast<uint32_t>(ms);
}

// The client is not re-entrant: an operation that runs inside the wait of
// another one (a menu command, a button) would reuse the request and data
// that the waiting exchange still needs, so it is turned away. An inactive
// link and a set abort flag send nothing; an exchange the abort flag ends
// has no outcome of its own and is left pending, as on the serial road.
template <typename Operation>
int32_t TTcpMeterTransport::Transaction(uint8_t function, uint8_t address, const bool& abort, TExchange& exchange,
                                        Operation operation)
{
    if (exchanging_)
        return MeterResult::Pending;
    if (!properties_.Active || abort)
        return properties_.Active ? MeterResult::Pending : TIdModBusClient::SocketNotConnected;
    client_.ModBusFunction = function;
    client_.UnitID = address;
    client_.WaitHook = ProcessEventsUntil(abort);
    // Without an event loop there is nothing to keep answering: the wait then
    // sleeps until its deadline unless a signal (whose handler may set abort)
    // wakes it.
    client_.WaitSliceMs = QCoreApplication::instance() ? TTcpSocket::DefaultSliceMs : 0;
    exchanging_ = true;
    // The round trip covers the whole exchange: connecting, the request, the
    // reply and closing, as every request of this transport connects anew.
    const int64_t sentAt = WallClockMs();
    const auto start = std::chrono::steady_clock::now();
    int32_t result = MeterResult::Pending;
    // Also when the operation raised: the exchange shows what went over the wire.
    struct Finish {
        TTcpMeterTransport& transport;
        TExchange& exchange;
        int64_t sentAt;
        std::chrono::steady_clock::time_point start;
        int32_t& result;
        ~Finish()
        {
            transport.KeepAttempts(exchange, sentAt, start, result);
            transport.client_.WaitHook = nullptr;
            transport.exchanging_ = false;
        }
    } finish{*this, exchange, sentAt, start, result};
    result = operation();
    if (abort && result == MeterResult::NoReply)
        result = MeterResult::Pending;
    return result;
}

// The frames set aside, then the attempt with its reply and outcome.
void TTcpMeterTransport::KeepAttempts(TExchange& exchange, int64_t sentAt, std::chrono::steady_clock::time_point start,
                                      int32_t result) const
{
    for (const TIdModBusClient::TDiscard& discard : client_.LastDiscards())
        exchange.Attempts.push_back(
            {0, -1, {}, Bytes(discard.Frame), MeterResult::Discarded, QString::fromStdString(discard.Reason)});
    const auto roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    QString outcome = TKelvane::ErrorCode(result);
    if (result == 0)
        outcome = "OK";
    else if (!client_.LastInvalidReason().empty())
        outcome = QString("Invalid reply (%1)").arg(QString::fromStdString(client_.LastInvalidReason()));
    exchange.Attempts.push_back({sentAt, roundTrip.count(), Bytes(client_.LastRequest()), Bytes(client_.LastReply()),
                                 result, outcome});
}

int32_t TTcpMeterTransport::ReadRegisters(uint8_t address, uint8_t, uint16_t first, std::vector<uint16_t>& values,
                                          const bool& abort, TExchange& exchange)
{
    return Transaction(3, address, abort, exchange, [&] {
        return client_.ReadHoldingRegisters(first, static_cast<uint16_t>(values.size()), values);
    });
}

int32_t TTcpMeterTransport::WriteRegister(uint8_t address, uint16_t reg, uint16_t value, const bool& abort,
                                          TExchange& exchange)
{
    return Transaction(6, address, abort, exchange, [&] { return client_.WriteSingleRegister(reg, value); });
}

int32_t TTcpMeterTransport::WriteMultipleRegisters(uint8_t address, uint16_t first, std::span<const uint16_t> words,
                                                   const bool& abort, TExchange& exchange)
{
    return Transaction(16, address, abort, exchange, [&] { return client_.WriteMultipleRegisters(first, words); });
}
