#include "SerialMeterTransport.h"

#include "KelvaneCOM.h"
#include "KelvaneError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace {

using namespace std::chrono_literals;

// What no sound exchange outlasts beyond its attempts: writing the longest
// frame at a slow rate, and a busy machine.
constexpr auto CompletionMargin = 1000ms;
// How often a wait looks at its deadline and the abort flag when no event
// comes.
constexpr int WaitTick = 10;

int64_t WallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

QByteArray Bytes(const TFrameData& frame)
{
    return QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<qsizetype>(frame.size()));
}

// The worker's log of a transaction as the link reports attempts. The last
// attempt carries the transaction's result, which the request layer's checks
// of the reply may have turned from the worker's "OK" into a mismatch.
std::vector<TAttempt> Attempts(const TTransactionInfo& info, int32_t result)
{
    std::vector<TAttempt> attempts;
    for (const TAttemptRecord& record : info.AttemptLog) {
        const bool sent = !record.Request.empty();
        attempts.push_back({record.SentAtMs, record.RoundTripUs, Bytes(record.Request), Bytes(record.Reply),
                            sent ? TSerialMeterTransport::ReplyToResult(record.Kind, info.ExceptionCode)
                                 : MeterResult::Discarded,
                            QString::fromStdString(record.Outcome)});
    }
    const auto last = std::find_if(attempts.rbegin(), attempts.rend(), [](const TAttempt& a) { return a.SentAt != 0; });
    if (last != attempts.rend() && last->Result != result) {
        last->Result = result;
        last->Outcome = TKelvane::ErrorCode(result);
    }
    return attempts;
}

} // namespace

TSerialMeterTransport::TSerialMeterTransport(const QString& port, TLinkProperties& properties)
    : properties_(properties)
{
    client_.SetConnection(&connection_);
    connection_.SetBaudRate(TBaudRate::br9600);
    connection_.SetDataBits(TDataBits::db8);
    connection_.SetParity(TParityScheme::psNone);
    connection_.SetPort(port.toStdString());
    connection_.SetStopBits(TStopBits::sb1);
    connection_.SetFlowControl(TFlowControl::fcNone);
    connection_.SetSilentInterval(50);
    connection_.SetReceiveTimeout(500);
    connection_.SetSendTimeout(100);
    connection_.SetConnectionMode(TConnectionMode::cmClient);
    Open();
    HookEvents();
    properties_.ComPort = QString::fromStdString(connection_.Port());
    properties_.BaudRate = connection_.BaudRate();
    properties_.RXTimeout = static_cast<int32_t>(connection_.ReceiveTimeout());
    client_.SetServerAddress(1);
}

TSerialMeterTransport::~TSerialMeterTransport()
{
    try {
        connection_.SetActive(false);
    } catch (...) {
        // Nothing hooks the close; the connection releases the port anyway.
    }
}

void TSerialMeterTransport::HookEvents()
{
    connection_.OnFrameSend = [this](TModbusConnection*, const TFrameData& frame) { FrameSent(frame); };
    auto registers = [this](TModbusClient*, const TTransactionInfo& info, uint16_t, uint16_t,
                            const TRegValues& values) { Complete(info, values, {}); };
    client_.OnHoldingRegistersRead = registers;
    client_.OnInputRegistersRead = registers;
    client_.OnMultipleRegistersWrite = registers;
    client_.OnSingleRegisterWrite = [this](TModbusClient*, const TTransactionInfo& info, uint16_t, uint16_t) {
        Complete(info, {}, {});
    };
    client_.OnServerIdentificationReport = [this](TModbusClient*, const TTransactionInfo& info, int,
                                                  const TServerIdentificationData& data) {
        Complete(info, {}, QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size())));
    };
}

// A port that does not open leaves the link inactive; the reason is kept
// for the program to show (no permission, in use, no such port).
void TSerialMeterTransport::Open()
{
    try {
        connection_.SetActive(true);
        lastOpenError_.clear();
        portLost_ = false;
    } catch (const std::exception& e) {
        lastOpenError_ = QString::fromLocal8Bit(e.what());
    }
    properties_.Active = connection_.Active();
}

// Transactions still waiting are dropped with the worker: their waits end
// with dropped.
void TSerialMeterTransport::Close(int32_t dropped)
{
    connection_.SetActive(false);
    properties_.Active = false;
    EndAll(dropped);
}

// Closes the port for a change only a closed port takes, and opens it again
// if it was open: false when that open failed.
bool TSerialMeterTransport::Reopen(const std::function<void()>& change)
{
    const bool wasOpen = connection_.Active();
    Close(MeterResult::Cancelled);
    change();
    if (wasOpen)
        Open();
    return connection_.Active() || !wasOpen;
}

void TSerialMeterTransport::SetComPort(const QString& name)
{
    if (name.toStdString() == connection_.Port())
        return;
    Reopen([&] { connection_.SetPort(name.toStdString()); });
    properties_.ComPort = name;
}

void TSerialMeterTransport::SetBaudRate(TBaudRate rate)
{
    if (rate == connection_.BaudRate())
        return;
    Reopen([&] { connection_.SetBaudRate(rate); });
    properties_.BaudRate = rate;
}

void TSerialMeterTransport::SetActive(bool active)
{
    if (active)
        Open();
    else
        Close(MeterResult::Cancelled);
}

void TSerialMeterTransport::SetEcho(bool on)
{
    connection_.SetEchoQueryBeforeReply(on);
    properties_.Echo = on;
}

void TSerialMeterTransport::SetRXTimeout(int32_t ms)
{
    if (ms < 0 || static_cast<uint32_t>(ms) == connection_.ReceiveTimeout())
        return;
    connection_.SetReceiveTimeout(static_cast<uint32_t>(ms));
    properties_.RXTimeout = ms;
}

// A new server address closes and reopens the port; the open's failure
// reaches the caller with its reason.
void TSerialMeterTransport::SelectServer(uint8_t address)
{
    if (client_.ServerAddress() == address)
        return;
    if (!Reopen([&] { client_.SetServerAddress(address); }))
        throw EModbusError(lastOpenError_.toStdString());
}

// A port that went away is closed for good: true when it is gone.
bool TSerialMeterTransport::CheckPortLost()
{
    if (connection_.PortLost()) {
        portLost_ = true;
        Close(MeterResult::PortLost);
    }
    return portLost_ && !connection_.Active();
}

int32_t TSerialMeterTransport::ReplyToResult(const TTransactionInfo& info)
{
    if (info.PortLost)
        return MeterResult::PortLost;
    return ReplyToResult(info.Reply, info.ExceptionCode);
}

int32_t TSerialMeterTransport::ReplyToResult(TTransactionReply reply, uint8_t exceptionCode)
{
    switch (reply) {
    case TTransactionReply::trSuccess: return MeterResult::Success;
    case TTransactionReply::trNoReply: return MeterResult::NoReply;
    case TTransactionReply::trInvalidFrame: return MeterResult::InvalidFrame;
    case TTransactionReply::trUnexpectedReply: return MeterResult::UnexpectedReply;
    case TTransactionReply::trUnmatchedReply: return MeterResult::UnmatchedReply;
    case TTransactionReply::trExceptionReply: return exceptionCode;
    default: return MeterResult::Unknown;
    }
}

// The longest a transaction of this connection takes once the worker starts
// it: every attempt may first wait for a quiet line (at most three receive
// timeouts), then waits the full receive timeout, the pause after it and
// the end-of-frame silence.
TSerialMeterTransport::Clock::duration TSerialMeterTransport::CompletionTime() const
{
    const auto attempt = 4 * std::chrono::milliseconds(connection_.ReceiveTimeout()) +
                         std::chrono::milliseconds(connection_.RefetchDelay()) +
                         std::chrono::milliseconds(connection_.FrameInterval());
    return attempt * connection_.MaxRetries() + CompletionMargin;
}

// The serial request road: select the server, queue the transaction, wait
// for its outcome. A closed port raises the request layer's "There is no
// active connection", unless it closed because it was lost.
int32_t TSerialMeterTransport::Request(uint8_t address, const std::function<uint32_t()>& queue,
                                       const bool& abort, TOutcome& outcome, TExchange& exchange)
{
    if (CheckPortLost())
        return MeterResult::PortLost;
    SelectServer(address);
    const uint32_t id = queue();
    outcome.Broadcast = address == 0;
    // Transactions queued before this one go first.
    outcome.Deadline = Clock::now() + CompletionTime() * static_cast<int>(outcomes_.size() + 1);
    outcomes_[id] = &outcome;
    ++waits_;
    struct End {
        TSerialMeterTransport& transport;
        uint32_t id;
        ~End()
        {
            transport.outcomes_.erase(id);
            --transport.waits_;
        }
    } end{*this, id};
    Wait(outcome, abort);
    CheckPortLost();
    exchange.Attempts = std::move(outcome.Attempts);
    return outcome.Result;
}

// Turns the event loop until the outcome is in. The loop sleeps until an
// event comes; a timer wakes it now and then to look at the deadline and
// the abort flag.
void TSerialMeterTransport::Wait(TOutcome& outcome, const bool& abort)
{
    QTimer tick;
    tick.start(WaitTick);
    while (!outcome.Done && !abort) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (outcome.Done || abort)
            break;
        if (connection_.PortLost()) {
            // What the worker finished before the loss may still be queued.
            QCoreApplication::processEvents();
            if (!outcome.Done) {
                outcome.Done = true;
                outcome.Result = MeterResult::PortLost;
            }
        } else if (Clock::now() >= outcome.Deadline) {
            outcome.Done = true;
            outcome.Result = MeterResult::NoReply;
        }
    }
}

// The outcome of a transaction that an operation still waits for; a late
// event of one that was dropped or given up is ignored.
void TSerialMeterTransport::Complete(const TTransactionInfo& info, std::vector<uint16_t> words, QByteArray data)
{
    const auto found = outcomes_.find(info.ID);
    if (found == outcomes_.end() || found->second->Done)
        return;
    TOutcome& outcome = *found->second;
    outcome.Result = ReplyToResult(info);
    outcome.Attempts = Attempts(info, outcome.Result);
    if (outcome.Result == MeterResult::Success) {
        outcome.Words = std::move(words);
        outcome.Data = std::move(data);
    }
    outcome.Done = true;
}

// A frame to address 0 is a broadcast written: the oldest broadcast still
// waiting is done, and that frame is its one attempt.
void TSerialMeterTransport::FrameSent(const TFrameData& frame)
{
    if (frame.empty() || frame[0] != 0)
        return;
    for (auto& [id, outcome] : outcomes_)
        if (outcome->Broadcast && !outcome->Done) {
            outcome->Done = true;
            outcome->Result = MeterResult::Success;
            outcome->Attempts = {{WallClockMs(), -1, Bytes(frame), {}, MeterResult::Success, "Broadcast sent"}};
            return;
        }
}

void TSerialMeterTransport::EndAll(int32_t result)
{
    for (auto& [id, outcome] : outcomes_)
        if (!outcome->Done) {
            outcome->Done = true;
            outcome->Result = result;
        }
}

int32_t TSerialMeterTransport::ReadRegisters(uint8_t address, uint8_t function, uint16_t first,
                                             std::vector<uint16_t>& values, const bool& abort, TExchange& exchange)
{
    const auto count = static_cast<uint16_t>(values.size());
    TOutcome outcome;
    const int32_t result = Request(address, [&] {
        return function == 3 ? client_.ReadHoldingRegisters(first, count) : client_.ReadInputRegisters(first, count);
    }, abort, outcome, exchange);
    if (result == MeterResult::Success)
        values = std::move(outcome.Words);
    return result;
}

int32_t TSerialMeterTransport::WriteRegister(uint8_t address, uint16_t reg, uint16_t value, const bool& abort,
                                             TExchange& exchange)
{
    TOutcome outcome;
    return Request(address, [&] { return client_.WriteSingleRegister(reg, value); }, abort, outcome, exchange);
}

int32_t TSerialMeterTransport::WriteMultipleRegisters(uint8_t address, uint16_t first,
                                                      std::span<const uint16_t> words, const bool& abort,
                                                      TExchange& exchange)
{
    TOutcome outcome;
    return Request(address, [&] { return client_.WriteMultipleRegisters(first, words); }, abort, outcome,
                   exchange);
}

std::optional<int32_t> TSerialMeterTransport::Modbus17(uint8_t address, QByteArray& text, const bool& abort,
                                                      TExchange& exchange)
{
    TOutcome outcome;
    const int32_t result =
        Request(address, [&] { return client_.ReportServerIdentification(); }, abort, outcome, exchange);
    text = outcome.Data;
    return result;
}
