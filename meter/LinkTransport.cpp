#include "LinkTransport.h"

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
// The longest a TCP connect may take.
constexpr int ConnectTimeoutMs = 5000;
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
// of the reply may have turned from the worker's "OK" into a mismatch; a
// channel's failure keeps the channel's own words. A frame heard and thrown
// away has no time of sending.
std::vector<TAttempt> Attempts(const TTransactionInfo& info, int32_t result)
{
    std::vector<TAttempt> attempts;
    for (const TAttemptRecord& record : info.AttemptLog) {
        const bool sent = record.SentAtMs != 0;
        attempts.push_back({record.SentAtMs, record.RoundTripUs, Bytes(record.Request), Bytes(record.Reply),
                            sent ? TLinkTransport::ReplyToResult(record.Kind, info.ExceptionCode)
                                 : MeterResult::Discarded,
                            QString::fromStdString(record.Outcome), record.LateMs});
    }
    const auto last = std::find_if(attempts.rbegin(), attempts.rend(), [](const TAttempt& a) { return a.SentAt != 0; });
    if (last != attempts.rend() && last->Result != result) {
        last->Result = result;
        if (info.LinkFailure == 0 || last->Outcome.isEmpty())
            last->Outcome = TKelvane::ErrorCode(result);
    }
    return attempts;
}

} // namespace

TLinkTransport::TLinkTransport(TLinkKind kind, const QString& target, TLinkProperties& properties, bool openNow)
    : kind_(kind), host_(kind == TLinkKind::Serial ? std::string() : target.toStdString()), properties_(properties)
{
    client_.SetConnection(&connection_);
    connection_.SetBaudRate(TBaudRate::br9600);
    connection_.SetDataBits(TDataBits::db8);
    connection_.SetParity(TParityScheme::psNone);
    connection_.SetStopBits(TStopBits::sb1);
    connection_.SetFlowControl(TFlowControl::fcNone);
    connection_.SetSilentInterval(50);
    connection_.SetReceiveTimeout(500);
    connection_.SetSendTimeout(100);
    connection_.SetConnectionMode(TConnectionMode::cmClient);
    connection_.SetTransmissionMode(kind == TLinkKind::Tcp ? TTransmissionMode::tmTCP : TTransmissionMode::tmRTU);
    HookEvents();
    if (Tcp()) {
        SetTarget();
        if (openNow && TTcpSocket::IsAddress(host_))
            Open();
    } else {
        connection_.SetPort(target.toStdString());
        if (openNow)
            Open();
        properties_.ComPort = QString::fromStdString(connection_.Port());
        properties_.BaudRate = connection_.BaudRate();
    }
    properties_.RXTimeout = static_cast<int32_t>(connection_.ReceiveTimeout());
    client_.SetServerAddress(1);
}

TLinkTransport::~TLinkTransport()
{
    try {
        connection_.SetActive(false);
    } catch (...) {
        // Nothing hooks the close; the connection releases the port anyway.
    }
}

// The TCP stream the connection opens: the meter or device server, and
// whether it stays connected between transactions.
void TLinkTransport::SetTarget()
{
    connection_.SetTcpTarget(TTcpTarget{host_, tcpPort_, ConnectTimeoutMs, keepConnection_});
}

void TLinkTransport::HookEvents()
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
    connection_.OnLinkStateChange = [this](TModbusConnection*, const std::string& text) {
        if (OnLinkState)
            OnLinkState(QString::fromStdString(text));
    };
}

// A port that does not open leaves the link inactive; the reason is kept
// for the program to show (no permission, in use, no such port). A TCP
// target that is not an IP address never opens.
void TLinkTransport::Open()
{
    if (Tcp() && !TTcpSocket::IsAddress(host_))
        return;
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
void TLinkTransport::Close(int32_t dropped)
{
    connection_.SetActive(false);
    properties_.Active = false;
    EndAll(dropped);
}

// Closes the port for a change only a closed port takes, and opens it again
// if it was open: false when that open failed.
bool TLinkTransport::Reopen(const std::function<void()>& change)
{
    const bool wasOpen = connection_.Active();
    Close(MeterResult::Cancelled);
    change();
    if (wasOpen)
        Open();
    return connection_.Active() || !wasOpen;
}

void TLinkTransport::SetComPort(const QString& name)
{
    if (Tcp() || name.toStdString() == connection_.Port())
        return;
    Reopen([&] { connection_.SetPort(name.toStdString()); });
    properties_.ComPort = name;
}

void TLinkTransport::SetBaudRate(TBaudRate rate)
{
    if (kind_ == TLinkKind::Tcp || rate == connection_.BaudRate())
        return;
    if (Tcp())
        connection_.SetBaudRate(rate);
    else
        Reopen([&] { connection_.SetBaudRate(rate); });
    properties_.BaudRate = rate;
}

void TLinkTransport::SetTcpPort(int port)
{
    if (!Tcp() || port == tcpPort_)
        return;
    tcpPort_ = port;
    Reopen([&] { SetTarget(); });
}

void TLinkTransport::SetKeepConnection(bool on)
{
    if (!Tcp() || on == keepConnection_)
        return;
    keepConnection_ = on;
    Reopen([&] { SetTarget(); });
}

void TLinkTransport::SetEndAtLength(bool on)
{
    connection_.SetEndAtLength(on);
}

void TLinkTransport::SetActive(bool active)
{
    if (active)
        Open();
    else
        Close(MeterResult::Cancelled);
}

void TLinkTransport::SetEcho(bool on)
{
    connection_.SetEchoQueryBeforeReply(on && kind_ != TLinkKind::Tcp);
    properties_.Echo = on;
}

void TLinkTransport::SetRXTimeout(int32_t ms)
{
    if (ms < 0 || static_cast<uint32_t>(ms) == connection_.ReceiveTimeout())
        return;
    connection_.SetReceiveTimeout(static_cast<uint32_t>(ms));
    properties_.RXTimeout = ms;
}

// A new server address cancels the requests still waiting for the old one.
// A serial port is closed and opened again with it, and the open's failure
// reaches the caller with its reason; a TCP stream stays connected, since
// one gateway serves every unit behind it.
void TLinkTransport::SelectServer(uint8_t address)
{
    if (client_.ServerAddress() == address)
        return;
    if (Tcp()) {
        EndAll(MeterResult::Cancelled);
        client_.SetServerAddress(address);
    } else if (!Reopen([&] { client_.SetServerAddress(address); })) {
        throw EModbusError(lastOpenError_.toStdString());
    }
}

// A port that went away is closed for good: true when it is gone.
bool TLinkTransport::CheckPortLost()
{
    if (connection_.PortLost()) {
        portLost_ = true;
        Close(MeterResult::PortLost);
    }
    return portLost_ && !connection_.Active();
}

int32_t TLinkTransport::ReplyToResult(const TTransactionInfo& info)
{
    if (info.PortLost)
        return MeterResult::PortLost;
    if (info.LinkFailure != 0)
        return info.LinkFailure;
    return ReplyToResult(info.Reply, info.ExceptionCode);
}

int32_t TLinkTransport::ReplyToResult(TTransactionReply reply, uint8_t exceptionCode)
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
// it: a TCP connect, then every attempt may first wait for a quiet line (at
// most three receive timeouts), then waits the full receive timeout, the
// pause after it and the end-of-frame silence.
TLinkTransport::Clock::duration TLinkTransport::CompletionTime() const
{
    const auto attempt = 4 * std::chrono::milliseconds(connection_.ReceiveTimeout()) +
                         std::chrono::milliseconds(connection_.RefetchDelay()) +
                         std::chrono::milliseconds(connection_.FrameInterval());
    const auto connect = std::chrono::milliseconds(Tcp() ? ConnectTimeoutMs : 0);
    return connect + attempt * connection_.MaxRetries() + CompletionMargin;
}

// The serial request road: select the server, queue the transaction, wait
// for its outcome. A closed port raises the request layer's "There is no
// active connection", unless it closed because it was lost.
int32_t TLinkTransport::Request(uint8_t address, const std::function<uint32_t()>& queue,
                                       const bool& abort, TOutcome& outcome, TExchange& exchange)
{
    if (CheckPortLost())
        return MeterResult::PortLost;
    // A TCP link that is not open (no IP address, or switched off) cannot connect.
    if (Tcp() && !connection_.Active())
        return MeterResult::SocketNotConnected;
    SelectServer(address);
    const uint32_t id = queue();
    outcome.Broadcast = address == 0 && kind_ != TLinkKind::Tcp;
    // Transactions queued before this one go first.
    outcome.Deadline = Clock::now() + CompletionTime() * static_cast<int>(outcomes_.size() + 1);
    outcomes_[id] = &outcome;
    ++waits_;
    struct End {
        TLinkTransport& transport;
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
void TLinkTransport::Wait(TOutcome& outcome, const bool& abort)
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
void TLinkTransport::Complete(const TTransactionInfo& info, std::vector<uint16_t> words, QByteArray data)
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
void TLinkTransport::FrameSent(const TFrameData& frame)
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

void TLinkTransport::EndAll(int32_t result)
{
    for (auto& [id, outcome] : outcomes_)
        if (!outcome->Done) {
            outcome->Done = true;
            outcome->Result = result;
        }
}

int32_t TLinkTransport::ReadRegisters(uint8_t address, uint8_t function, uint16_t first,
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

int32_t TLinkTransport::WriteRegister(uint8_t address, uint16_t reg, uint16_t value, const bool& abort,
                                             TExchange& exchange)
{
    TOutcome outcome;
    return Request(address, [&] { return client_.WriteSingleRegister(reg, value); }, abort, outcome, exchange);
}

int32_t TLinkTransport::WriteMultipleRegisters(uint8_t address, uint16_t first,
                                                      std::span<const uint16_t> words, const bool& abort,
                                                      TExchange& exchange)
{
    TOutcome outcome;
    return Request(address, [&] { return client_.WriteMultipleRegisters(first, words); }, abort, outcome,
                   exchange);
}

int32_t TLinkTransport::Forward(uint8_t address, const std::vector<uint8_t>& pdu, const bool& abort,
                                TExchange& exchange)
{
    TOutcome outcome;
    return Request(address, [&] { return client_.SendPdu(pdu); }, abort, outcome, exchange);
}

uint8_t TLinkTransport::ReadFunction(uint8_t function) const
{
    return kind_ == TLinkKind::Tcp || function == 3 ? 3 : 4;
}

std::optional<int32_t> TLinkTransport::Modbus17(uint8_t address, QByteArray& text, const bool& abort,
                                                TExchange& exchange)
{
    if (kind_ == TLinkKind::Tcp)
        return std::nullopt;
    TOutcome outcome;
    const int32_t result =
        Request(address, [&] { return client_.ReportServerIdentification(); }, abort, outcome, exchange);
    text = outcome.Data;
    return result;
}
