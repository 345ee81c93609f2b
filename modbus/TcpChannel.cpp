#include "TcpChannel.h"

#include <algorithm>
#include <utility>

namespace {

// How often a wait looks whether the worker is ending.
constexpr int AbortSliceMs = 50;

std::string ConnectFailure(TSocketOutcome outcome)
{
    switch (outcome) {
    case TSocketOutcome::TimedOut: return "the connection timed out";
    case TSocketOutcome::SystemError: return "the system could not make a socket";
    default: return "the connection was refused or the host is unreachable";
    }
}

} // namespace

TTcpChannel::TTcpChannel(TTcpTarget target)
    : target_(std::move(target)), socket_([this] { return !aborted_.load(); }, AbortSliceMs)
{
}

std::string TTcpChannel::Name() const
{
    return target_.Host + ":" + std::to_string(target_.Port);
}

int32_t TTcpChannel::Prepare()
{
    failure_ = 0;
    failureText_.clear();
    if (socket_.Connected()) {
        // What the stream holds now came too late for its request; a peer
        // that closed the idle connection meanwhile is found here, and the
        // connection is made again rather than failing this transaction.
        Discard();
        if (socket_.Connected())
            return 0;
        failure_ = 0;
        failureText_.clear();
    }
    if (target_.KeepOpen && TClock::now() < nextConnect_) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextConnect_ - TClock::now()).count();
        failureText_ = "Not connected to " + Name() + "; next try in " + std::to_string(wait) + " ms";
        return TcpFailure::SocketNotConnected;
    }
    TSocketOutcome outcome = TSocketOutcome::Failed;
    try {
        outcome = socket_.Connect(target_.Host, target_.Port, TTcpSocket::DeadlineAfter(target_.ConnectTimeoutMs));
    } catch (const ESocketError& e) {
        failureText_ = e.what();
        return TcpFailure::SocketNotConnected;
    }
    if (outcome != TSocketOutcome::Done) {
        failureText_ = "Cannot connect to " + Name() + ": " + ConnectFailure(outcome);
        if (target_.KeepOpen) {
            backOffMs_ = std::clamp(2 * backOffMs_, FirstBackOffMs, MaxBackOffMs);
            nextConnect_ = TClock::now() + std::chrono::milliseconds(backOffMs_);
            Tell(TState::Down, failureText_ + " (trying again with a growing pause)");
        }
        return outcome == TSocketOutcome::SystemError ? TcpFailure::SocketError : TcpFailure::SocketNotConnected;
    }
    backOffMs_ = 0;
    if (target_.KeepOpen)
        Tell(TState::Connected, "Connected to " + Name());
    return 0;
}

bool TTcpChannel::WriteFrame(const uint8_t* data, std::size_t len, uint32_t)
{
    // A request fits an empty send buffer; the write waits only when the
    // peer stalls, and no longer than a connect may take.
    const TSocketOutcome sent = socket_.WriteAll(data, len, TTcpSocket::DeadlineAfter(target_.ConnectTimeoutMs));
    if (sent == TSocketOutcome::Done)
        return true;
    if (sent != TSocketOutcome::Aborted)
        Fail(TcpFailure::SocketWriteError, "The request could not be sent to " + Name());
    return false;
}

bool TTcpChannel::WaitForData(int timeoutMs)
{
    if (!socket_.Connected() || aborted_)
        return false;
    return socket_.WaitReadable(TTcpSocket::DeadlineAfter(timeoutMs)) == TSocketOutcome::Done;
}

std::size_t TTcpChannel::ReadAvailable(uint8_t* dest, std::size_t n)
{
    std::size_t got = 0;
    if (socket_.ReadAvailable(dest, n, got) != TSocketOutcome::Done)
        Fail(TcpFailure::SocketReadError, "The connection to " + Name() + " was closed or reset by the peer");
    return got;
}

// Whatever the stream holds now belongs to no request that is still
// waiting: a reply that came too late.
void TTcpChannel::Discard()
{
    uint8_t scrap[256];
    while (socket_.Connected() && ReadAvailable(scrap, sizeof scrap) > 0) {
    }
}

void TTcpChannel::Abort()
{
    aborted_ = true;
}

int32_t TTcpChannel::TakeFailure()
{
    return std::exchange(failure_, 0);
}

void TTcpChannel::EndTransaction(bool streamSound)
{
    if (!target_.KeepOpen || !streamSound)
        Close();
    if (!streamSound && target_.KeepOpen)
        Tell(TState::Down, "The stream from " + Name() + " went out of step; connecting again");
}

// A broken stream is closed at once: the next transaction connects again.
void TTcpChannel::Fail(int32_t code, const std::string& text)
{
    failure_ = code;
    failureText_ = text;
    Close();
    if (target_.KeepOpen)
        Tell(TState::Down, text);
}

void TTcpChannel::Close()
{
    socket_.Disconnect();
}

void TTcpChannel::Tell(TState state, const std::string& text)
{
    if (state == told_)
        return;
    told_ = state;
    if (OnStateChange)
        OnStateChange(text);
}
