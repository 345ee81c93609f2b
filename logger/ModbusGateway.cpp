#include "ModbusGateway.h"

#include "ListeningSocket.h"
#include "LoggerMessages.h"
#include "ModbusFunctions.h"
#include "ModbusPdu.h"

#include <QHostAddress>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The MBAP header: transaction id, protocol id, the length of what
// follows it (the unit id and the PDU), the unit id.
constexpr std::size_t HeaderSize = 7;
constexpr std::size_t MinLength = 2;   // the unit id and a function code
constexpr std::size_t MaxLength = 254; // the unit id and the largest PDU

uint16_t WordAt(const uint8_t* bytes)
{
    return uint16_t((bytes[0] << 8) | bytes[1]);
}

void WakeUp(int fd)
{
    const uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// The replies the links hand back, from their threads, for the gateway's
// thread to send. It outlives the gateway in the answers still held by a
// link's queue, which then go nowhere.
class TInbox {
public:
    explicit TInbox(int wakeFd) : wakeFd_(wakeFd) {}

    void Post(uint64_t client, std::string frame)
    {
        const std::lock_guard lock(mutex_);
        if (closed_)
            return;
        replies_.emplace_back(client, std::move(frame));
        WakeUp(wakeFd_);
    }

    std::vector<std::pair<uint64_t, std::string>> Take()
    {
        const std::lock_guard lock(mutex_);
        return std::exchange(replies_, {});
    }

    void Close()
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }

private:
    std::mutex mutex_;
    const int wakeFd_;
    bool closed_ = false;
    std::vector<std::pair<uint64_t, std::string>> replies_;
};

// A reply frame: the request's transaction id and unit, then the PDU.
std::string ReplyFrame(uint16_t transaction, uint8_t unit, const QByteArray& pdu)
{
    const std::size_t length = 1 + std::size_t(pdu.size());
    std::string frame{char(transaction >> 8), char(transaction & 0xFF), 0, 0, char(length >> 8), char(length & 0xFF),
                      char(unit)};
    frame.append(pdu.constData(), std::size_t(pdu.size()));
    return frame;
}

// Whether a request's PDU has the length and counts its function asks
// for; one that does not would leave the meter's reply, and so the line,
// in doubt.
bool WellFormed(const QByteArray& pdu)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(pdu.constData());
    const std::size_t size = std::size_t(pdu.size());
    switch (bytes[0]) {
    case ModbusFunctions::ReadHoldingRegisters:
    case ModbusFunctions::ReadInputRegisters: {
        const uint16_t count = size == 5 ? WordAt(bytes + 3) : 0;
        return count >= 1 && count <= ModbusPdu::MaxReadRegisters;
    }
    case ModbusFunctions::WriteSingleRegister: return size == 5;
    case ModbusFunctions::WriteMultipleRegisters: {
        if (size < 6)
            return false;
        const uint16_t count = WordAt(bytes + 3);
        return count >= 1 && count <= ModbusPdu::MaxWriteRegisters && bytes[5] == 2 * count && size == 6u + bytes[5];
    }
    case ModbusFunctions::ReportServerIdentification: return size == 1;
    default: return false;
    }
}

bool Served(uint8_t function)
{
    return function == ModbusFunctions::ReadHoldingRegisters || function == ModbusFunctions::ReadInputRegisters ||
           function == ModbusFunctions::WriteSingleRegister || function == ModbusFunctions::WriteMultipleRegisters ||
           function == ModbusFunctions::ReportServerIdentification;
}

// "127.0.0.1:40122" or "[::1]:40122": where a client is.
QString PeerText(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "a client";
    const QHostAddress host(reinterpret_cast<const sockaddr*>(&address));
    const uint16_t port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                                                              : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    const QString text = host.protocol() == QAbstractSocket::IPv6Protocol ? "[%1]:%2" : "%1:%2";
    return text.arg(host.toString()).arg(port);
}

} // namespace

struct TModbusGateway::TState {
    struct TConnection {
        int Fd = -1;
        uint64_t Id = 0;
        QString Peer;
        std::string In;  // what came of a frame not yet whole
        std::string Out; // replies not yet taken by the client
        Clock::time_point FrameStarted;   // when the frame under way began to come
        Clock::time_point LastRequest;    // or the connection was made
        Clock::time_point UnsentSince;    // when Out last became non-empty
        int Waiting = 0;                  // requests sent on to a link and not yet answered
    };

    int ListenFd = -1;
    int WakeFd = -1;
    TGatewayOptions Options;
    TGatewayLimits Limits;
    std::array<const TGatewayUnit*, 256> ByUnit{};
    std::vector<TGatewayUnit> Units;
    std::vector<std::shared_ptr<TGatewayLink>> Links; // each once
    std::shared_ptr<TInbox> Inbox;
    std::atomic<bool> Stopping{false};
    std::vector<TConnection> Connections;
    uint64_t LastId = 0;
    Clock::time_point AcceptAgain{};
    std::thread Thread;

    void Run();
    int PollTimeout() const;
    // Takes the connections waiting, within the bound.
    void Accept();
    void DeliverReplies();
    // False when the connection is to be closed.
    bool Read(TConnection& connection);
    bool TakeFrames(TConnection& connection);
    void Request(TConnection& connection, uint16_t transaction, uint8_t unit, const QByteArray& pdu);
    bool Write(TConnection& connection);
    bool WithinLimits(const TConnection& connection, Clock::time_point now) const;
    void Close(const TConnection& connection);
    void Queue(TConnection& connection, std::string frame);
};

std::unique_ptr<TModbusGateway> TModbusGateway::Listen(const TGatewayOptions& options, std::vector<TGatewayUnit> units,
                                                       const TGatewayLimits& limits, QString& error)
{
    auto state = std::make_unique<TState>();
    state->ListenFd = ListeningSocket(options.Address, options.Port, error);
    if (state->ListenFd < 0)
        return nullptr;
    state->WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->WakeFd < 0) {
        error = QString("cannot listen on port %1: %2").arg(options.Port).arg(SystemReason(errno));
        ::close(state->ListenFd);
        return nullptr;
    }
    state->Options = options;
    state->Limits = limits;
    state->Units = std::move(units);
    for (const TGatewayUnit& unit : state->Units) {
        state->ByUnit[unit.Unit] = &unit;
        if (std::find(state->Links.begin(), state->Links.end(), unit.Link) == state->Links.end())
            state->Links.push_back(unit.Link);
    }
    state->Inbox = std::make_shared<TInbox>(state->WakeFd);
    return std::unique_ptr<TModbusGateway>(new TModbusGateway(std::move(state)));
}

TModbusGateway::TModbusGateway(std::unique_ptr<TState> state) : d_(std::move(state))
{
    d_->Thread = std::thread([this] { d_->Run(); });
}

TModbusGateway::~TModbusGateway()
{
    d_->Stopping = true;
    WakeUp(d_->WakeFd);
    d_->Thread.join();
    d_->Inbox->Close();
    for (const TState::TConnection& connection : d_->Connections)
        d_->Close(connection);
    ::close(d_->ListenFd);
    ::close(d_->WakeFd);
}

void TModbusGateway::TState::Run()
{
    std::vector<pollfd> polled;
    while (!Stopping) {
        polled.assign({{WakeFd, POLLIN, 0}, {ListenFd, short(Clock::now() < AcceptAgain ? 0 : POLLIN), 0}});
        for (const TConnection& connection : Connections)
            polled.push_back({connection.Fd, short(POLLIN | (connection.Out.empty() ? 0 : POLLOUT)), 0});
        if (::poll(polled.data(), polled.size(), PollTimeout()) < 0 && errno != EINTR)
            return;
        if (polled[0].revents != 0)
            DeliverReplies();
        // The connections polled are the first ones: those accepted now
        // come after them and wait for the next round.
        const auto now = Clock::now();
        KeepConnections(
            Connections,
            [&](TConnection& connection, std::size_t i) {
                const short events = i + 2 < polled.size() ? polled[i + 2].revents : 0;
                return (!(events & (POLLIN | POLLHUP | POLLERR)) || Read(connection)) &&
                       (!(events & POLLOUT) || Write(connection)) && WithinLimits(connection, now);
            },
            [this](const TConnection& connection) { Close(connection); });
        if (polled[1].revents != 0)
            Accept();
    }
}

// Until the nearest limit of a connection or the end of a pause in
// accepting; with neither, until woken.
int TModbusGateway::TState::PollTimeout() const
{
    const auto now = Clock::now();
    auto nearest = AcceptAgain > now ? AcceptAgain : Clock::time_point::max();
    for (const TConnection& connection : Connections) {
        if (!connection.In.empty())
            nearest = std::min(nearest, connection.FrameStarted + Limits.FrameTime);
        if (!connection.Out.empty())
            nearest = std::min(nearest, connection.UnsentSince + Limits.ReplyTime);
        if (connection.Waiting == 0)
            nearest = std::min(nearest, connection.LastRequest + Limits.IdleTime);
    }
    return PollTimeoutUntil(nearest);
}

void TModbusGateway::TState::Accept()
{
    const auto pause = AcceptWaiting(
        ListenFd, [this] { return int(Connections.size()) < Limits.MaxConnections; },
        [this](int fd) {
            const auto now = Clock::now();
            Connections.push_back({.Fd = fd, .Id = ++LastId, .Peer = PeerText(fd), .In = {}, .Out = {},
                                   .FrameStarted = now, .LastRequest = now, .UnsentSince = now, .Waiting = 0});
        });
    if (pause)
        AcceptAgain = *pause;
}

// The links' replies, each to its own connection; one whose connection
// was closed meanwhile goes nowhere.
void TModbusGateway::TState::DeliverReplies()
{
    uint64_t count = 0;
    while (::read(WakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    for (auto& [client, frame] : Inbox->Take()) {
        const auto connection = std::find_if(Connections.begin(), Connections.end(),
                                             [client](const TConnection& c) { return c.Id == client; });
        if (connection == Connections.end())
            continue;
        --connection->Waiting;
        Queue(*connection, std::move(frame));
    }
}

bool TModbusGateway::TState::Read(TConnection& connection)
{
    const bool wasEmpty = connection.In.empty();
    if (!ReceiveInto(connection.Fd, connection.In))
        return false;
    if (wasEmpty && !connection.In.empty())
        connection.FrameStarted = Clock::now();
    return TakeFrames(connection);
}

// Each whole frame that came is served; a header that is not Modbus/TCP's
// means the stream cannot be followed any further, so the connection ends.
bool TModbusGateway::TState::TakeFrames(TConnection& connection)
{
    std::size_t at = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(connection.In.data());
    while (connection.In.size() - at >= HeaderSize) {
        const uint8_t* header = bytes + at;
        const std::size_t length = WordAt(header + 4);
        if (WordAt(header + 2) != 0 || length < MinLength || length > MaxLength)
            return false;
        if (connection.In.size() - at < 6 + length)
            break;
        Request(connection, WordAt(header), header[6],
                QByteArray(reinterpret_cast<const char*>(header + HeaderSize), qsizetype(length - 1)));
        at += 6 + length;
    }
    if (at > 0) {
        connection.In.erase(0, at);
        connection.FrameStarted = Clock::now();
    }
    return true;
}

// A request goes on to its meter's link, or is answered here when it
// cannot or may not go.
void TModbusGateway::TState::Request(TConnection& connection, uint16_t transaction, uint8_t unit,
                                     const QByteArray& pdu)
{
    connection.LastRequest = Clock::now();
    const auto function = uint8_t(pdu[0]);
    const auto answer = [&](uint8_t code) {
        Queue(connection, ReplyFrame(transaction, unit, GatewayException::Reply(function, code)));
    };
    const TGatewayUnit* target = ByUnit[unit];
    if (!target)
        return answer(GatewayException::PathUnavailable);
    TGatewayCounters& counters = target->Link->Counters[target->Meter];
    ++counters.Requests;
    if (!Served(function) || (IsWriteFunction(function) && !Options.Writes)) {
        ++counters.Refused;
        return answer(GatewayException::IllegalFunction);
    }
    if (!WellFormed(pdu)) {
        ++counters.Refused;
        return answer(GatewayException::IllegalDataValue);
    }
    TGatewayRequest request{.Client = connection.Id, .ClientText = connection.Peer, .Unit = unit,
                            .Meter = target->Meter, .Pdu = pdu, .Queued = connection.LastRequest, .Answer = {}};
    request.Answer = [inbox = Inbox, client = connection.Id, transaction, unit](const QByteArray& reply) {
        inbox->Post(client, ReplyFrame(transaction, unit, reply));
    };
    if (!target->Link->Queue.Push(std::move(request))) {
        ++counters.Busy;
        return answer(GatewayException::Busy);
    }
    ++connection.Waiting;
}

// Sent at once as far as the socket takes it; a socket that failed is
// found at the next poll.
void TModbusGateway::TState::Queue(TConnection& connection, std::string frame)
{
    if (connection.Out.empty())
        connection.UnsentSince = Clock::now();
    connection.Out += frame;
    Write(connection);
}

bool TModbusGateway::TState::Write(TConnection& connection)
{
    while (!connection.Out.empty()) {
        const ssize_t sent = ::send(connection.Fd, connection.Out.data(), connection.Out.size(), MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EAGAIN || errno == EINTR;
        connection.Out.erase(0, std::size_t(sent));
        connection.UnsentSince = Clock::now();
    }
    return true;
}

// A frame left unfinished, replies left untaken, or nothing asked for the
// idle time, end the connection.
bool TModbusGateway::TState::WithinLimits(const TConnection& connection, Clock::time_point now) const
{
    if (!connection.In.empty() && now - connection.FrameStarted >= Limits.FrameTime)
        return false;
    if (!connection.Out.empty() &&
        (connection.Out.size() > Limits.UnsentBytes || now - connection.UnsentSince >= Limits.ReplyTime))
        return false;
    return connection.Waiting > 0 || now - connection.LastRequest < Limits.IdleTime;
}

// Its requests still queued are answered to nobody.
void TModbusGateway::TState::Close(const TConnection& connection)
{
    for (const auto& link : Links)
        link->Queue.Forget(connection.Id);
    ::close(connection.Fd);
}
