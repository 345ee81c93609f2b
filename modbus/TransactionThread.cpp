#include "TransactionThread.h"

#include "NotificationSink.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace {

// The thread's nice value relative to the GUI thread's, for each priority.
int NiceOffset(TThreadPriority priority)
{
    switch (priority) {
    case TThreadPriority::tpIdle: return 19;
    case TThreadPriority::tpLowest: return 10;
    case TThreadPriority::tpLower: return 5;
    case TThreadPriority::tpNormal: return 0;
    case TThreadPriority::tpHigher: return -5;
    case TThreadPriority::tpHighest: return -10;
    case TThreadPriority::tpTimeCritical: return -20;
    }
    return 0;
}

int64_t WallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void Sleep(uint32_t ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A transaction that got a reply of its own ends; silence and a garbled
// frame are tried again.
bool Repeats(TTransactionReply reply)
{
    return reply == TTransactionReply::trNoReply || reply == TTransactionReply::trInvalidFrame;
}

[[noreturn]] void RaiseSystemError(const char* what)
{
    const int error = errno;
    throw EOSError(std::string(what) + ": " + std::strerror(error), error);
}

} // namespace

TTransactionThread::TEventFd::TEventFd() : Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (Fd < 0)
        RaiseSystemError("eventfd");
}

TTransactionThread::TEventFd::~TEventFd()
{
    ::close(Fd);
}

void TTransactionThread::TEventFd::Signal() const
{
    const uint64_t one = 1;
    // Fails only when the counter is about to overflow, and then it is set anyway.
    [[maybe_unused]] const ssize_t n = ::write(Fd, &one, sizeof one);
}

void TTransactionThread::TEventFd::Reset() const
{
    uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(Fd, &count, sizeof count);
}

TTransactionThread::TTransactionThread(TModbusConnection& connection, TByteChannel& channel, TNotificationSink& sink,
                                       TWorkerSetup setup)
    : connection_(connection), channel_(channel), sink_(sink), setup_(std::move(setup)),
      sendRaw_(SerialLayout(setup_.Mode.Transmission).RawCapacity),
      receiveRaw_(SerialLayout(setup_.Mode.Transmission).RawCapacity), late_(setup_.Mode.Transmission),
      priority_(setup_.Priority)
{
    if (setup_.OnPreprocessIncomingFrame)
        preprocess_ = [this](uint8_t* buffer, int capacity, int& dataSize) {
            setup_.OnPreprocessIncomingFrame(&connection_, buffer, capacity, dataSize);
        };
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    baseNice_ = errno == 0 ? nice : 0;
    // Stale input goes before the thread starts rather than when it gets to
    // run, so that whatever arrives once the open has returned is heard.
    channel_.Discard();
    thread_ = std::thread(&TTransactionThread::Execute, this);
}

TTransactionThread::~TTransactionThread()
{
    terminated_ = true;
    wake_.Signal();
    // A client worker ends its wait for a reply or for a quiet line within
    // a slice of it, and sends nothing more; a frame on its way out is
    // written whole. A listener is in an endless wait for a frame, which
    // the abort ends.
    if (setup_.Mode.Connection != TConnectionMode::cmClient)
        channel_.Abort();
    else
        channel_.EndWaits();
    thread_.join();
}

void TTransactionThread::Enqueue(std::unique_ptr<TModbusTransaction> transaction)
{
    {
        std::lock_guard lock(queueLock_);
        queue_.push_back(std::move(transaction));
    }
    wake_.Signal();
}

void TTransactionThread::CancelClientTransactions(const TTransactionClient* client)
{
    std::lock_guard lock(queueLock_);
    std::erase_if(queue_, [client](const auto& transaction) { return transaction->Client == client; });
}

void TTransactionThread::SetPriority(TThreadPriority priority)
{
    priority_ = priority;
    ApplyPriority();
}

void TTransactionThread::SetFrameCopies(bool sent, bool received)
{
    frameSendCopy_ = sent;
    frameReceiveCopy_ = received;
}

void TTransactionThread::ApplyPriority()
{
    const pid_t tid = tid_;
    if (tid == 0)
        return; // the thread applies it itself when it starts
    const int nice = std::clamp(baseNice_ + NiceOffset(priority_), -20, 19);
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

void TTransactionThread::Execute()
{
    tid_ = ::gettid();
    ApplyPriority();
    switch (setup_.Mode.Connection) {
    case TConnectionMode::cmClient:
        ClientExecute();
        break;
    case TConnectionMode::cmServer:
    case TConnectionMode::cmMonitor:
        ListenExecute();
        break;
    default:
        sink_.PostWorkerException(std::make_exception_ptr(EModbusError("Internal error")));
    }
}

template <class F>
bool TTransactionThread::Guarded(F&& f)
{
    try {
        f();
        return true;
    } catch (const EPortLost& e) {
        ReportPortLost(e);
    } catch (...) {
        sink_.PostWorkerException(std::current_exception());
    }
    return false;
}

// A lost port is a state of the link, not a failure of the program: it is
// told once, in the system's words, as the link's other states are.
void TTransactionThread::ReportPortLost(const EPortLost& error)
{
    if (!portLost_.exchange(true))
        sink_.PostLinkState(error.what());
}

// ---------------------------------------------------------------- client

void TTransactionThread::ClientExecute()
{
    while (!terminated_) {
        Guarded([this] { WaitForWork(); });
        while (!terminated_) {
            auto transaction = TakeFirst();
            if (!transaction)
                break;
            RunTransaction(std::move(transaction));
        }
    }
}

std::unique_ptr<TModbusTransaction> TTransactionThread::TakeFirst()
{
    std::lock_guard lock(queueLock_);
    if (queue_.empty())
        return nullptr;
    auto transaction = std::move(queue_.front());
    queue_.pop_front();
    return transaction;
}

// Waits for new work or the end; while the port is there, a hang-up of it
// also ends the wait, so that a lost port is reported when it goes, not at
// the next request. (Events 0 on the port: poll reports only hang-ups and
// errors, never the input the worker is not waiting for.)
void TTransactionThread::WaitForWork()
{
    const bool watchPort = watchPort_ && !portLost_;
    pollfd fds[2] = {{wake_.Fd, POLLIN, 0}, {channel_.Handle(), 0, 0}};
    if (::poll(fds, watchPort ? 2 : 1, -1) < 0) {
        if (errno == EINTR)
            return;
        RaiseSystemError("poll");
    }
    if (fds[0].revents & POLLIN)
        wake_.Reset();
    if (watchPort && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        // The port's own wait raises EPortLost with the system's words.
        // Should it see nothing wrong, the idle wait stops watching the port
        // rather than wake up again and again.
        watchPort_ = false;
        channel_.WaitForData(0);
    }
}

void TTransactionThread::RunTransaction(std::unique_ptr<TModbusTransaction> transaction)
{
    if (!portLost_) {
        try {
            Exchange(*transaction);
        } catch (const EPortLost& e) {
            ReportPortLost(e);
        } catch (...) {
            // The transaction is freed without an event.
            sink_.PostWorkerException(std::current_exception());
            return;
        }
    }
    if (portLost_) {
        transaction->Info.PortLost = true;
        transaction->Info.Reply = TTransactionReply::trNoReply;
    }
    Finish(std::move(transaction));
}

// Sends the request until it is answered, or MaxRetries times. Attempts
// counts the frames written, so a port lost before a write does not count it.
// Each attempt is logged with its own outcome and times. A channel that
// cannot be made ready (a TCP connect that fails) ends the transaction with
// its failure.
void TTransactionThread::Exchange(TModbusTransaction& transaction)
{
    TTransactionInfo& info = transaction.Info;
    const int length = EncodeFrame(setup_.Mode.Transmission, transaction.RequestBuffer, sendRaw_.data(),
                                   static_cast<int>(sendRaw_.size()));
    info.Attempts = 0;
    bool streamSound = true;
    do {
        info.Reply = TTransactionReply::trNoReply;
        if (!Prepared(info))
            break;
        streamSound = Attempt(transaction, length);
        Sleep(connection_.RefetchDelay());
    } while (Repeats(info.Reply) && info.Attempts < connection_.MaxRetries() && !terminated_);
    channel_.EndTransaction(streamSound);
}

// Readies the channel for an attempt; a failure is the attempt's outcome.
bool TTransactionThread::Prepared(TTransactionInfo& info)
{
    const int32_t failure = channel_.Prepare();
    if (failure == 0)
        return true;
    info.LinkFailure = failure;
    info.AttemptLog.push_back({WallClockMs(), -1, {}, {}, channel_.FailureText(), TTransactionReply::trNoReply});
    return false;
}

// One attempt: the request out, its reply in. False when the stream it
// came on can no longer be trusted to find the next frame (Modbus/TCP
// after a reply that is not one).
bool TTransactionThread::Attempt(TModbusTransaction& transaction, int length)
{
    TTransactionInfo& info = transaction.Info;
    const bool tcp = setup_.Mode.Transmission == TTransmissionMode::tmTCP;
    if (late_.GuardNeeded())
        AwaitQuietLine(info);
    if (tcp)
        SetTcpTransactionId(sendRaw_.data(), ++transactionId_);
    if (frameSendCopy_)
        sink_.PostFrameData(TFrameData(sendRaw_.begin(), sendRaw_.begin() + length), true);
    DropLeftovers(info);
    KeepInterFrameGap();
    if (setup_.OnBeforeFrameSendAsync)
        setup_.OnBeforeFrameSendAsync(&connection_);
    TAttemptRecord attempt{WallClockMs(), -1, TFrameData(sendRaw_.begin(), sendRaw_.begin() + length), {}, {}, {}};
    const auto sentAt = std::chrono::steady_clock::now();
    const bool written = channel_.WriteFrame(sendRaw_.data(), static_cast<std::size_t>(length),
                                             connection_.RTSHoldDelay());
    if (setup_.OnAfterFrameSendAsync)
        setup_.OnAfterFrameSendAsync(&connection_);
    ++info.Attempts;
    auto setAside = TLateReplies::TSetAside::Nothing;
    bool heard = false;
    if (written)
        info.Reply = Broadcasts(transaction) ? Broadcast() : ReceiveReply(transaction, length, attempt, setAside, heard);
    attempt.RoundTripUs = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - sentAt).count();
    attempt.Kind = info.Reply;
    // A stream that broke before a reply of its own was whole fails the
    // attempt with the channel's words.
    if (const int32_t failure = channel_.TakeFailure(); failure != 0 && info.Reply < TTransactionReply::trExceptionReply) {
        info.LinkFailure = failure;
        attempt.Outcome = channel_.FailureText();
    }
    if (!written && attempt.Outcome.empty())
        attempt.Outcome = "Not sent";
    else if (attempt.Outcome.empty())
        attempt.Outcome = OutcomeText(info);
    info.AttemptLog.push_back(std::move(attempt));
    // A request that got no sound answer may still be answered late: the
    // next request waits until the line has been quiet, and a reply that
    // could be its answer is never taken for another's. Modbus/TCP tells
    // replies apart by their transaction identifiers instead.
    if (!tcp && !Broadcasts(transaction)) {
        if (info.Reply <= TTransactionReply::trUnmatchedReply)
            late_.Unanswered(sendRaw_.data(), length, sentAt, setAside, heard);
        else
            late_.Taken(sendRaw_.data(), length, sentAt);
    }
    return !(tcp && info.Reply == TTransactionReply::trInvalidFrame);
}

// The pause the line needs between the last frame heard and the next one
// sent; a reply that ended by its length has not had it yet.
void TTransactionThread::KeepInterFrameGap() const
{
    const auto gap = std::chrono::microseconds(connection_.InterFrameGap());
    if (gap.count() > 0)
        std::this_thread::sleep_until(lastHeard_ + gap);
}

// A request to address 0 on a serial line (or through a serial device
// server) goes to every meter and none answers; over Modbus/TCP unit 0 is
// an address like any other, answered by the server.
bool TTransactionThread::Broadcasts(const TModbusTransaction& transaction) const
{
    return transaction.IsBroadcast() && setup_.Mode.Transmission != TTransmissionMode::tmTCP;
}

TTransactionReply TTransactionThread::Broadcast()
{
    Sleep(connection_.TurnaroundDelay());
    return TTransactionReply::trSuccess;
}

// After a request that got no sound answer, its reply may still be on its
// way; sent now, the next request could take it for its own. So the line
// must first have been quiet for a whole receive timeout since the last
// frame heard, and until each unanswered request's reply is past the time
// its server's replies are covered (TLateReplies::CoveredLateness: twice
// the receive timeout, or the lateness heard from the server with a margin,
// within the bound; only the request's own wait for a silent server's
// request that heard nothing); every frame heard meanwhile is thrown away
// and logged, and a reply that answers an unanswered request teaches how
// late its server answers. Input that came while no one listened is heard
// first. A line that never falls quiet (noise, another master) is given up
// on after three receive timeouts or at the end of that covered time, so
// that polling goes on; the replies it could not rule out stay suspect
// (TLateReplies::Suspect).
void TTransactionThread::AwaitQuietLine(TTransactionInfo& info)
{
    using Clock = std::chrono::steady_clock;
    const uint32_t timeout = connection_.ReceiveTimeout();
    const auto quiet = std::chrono::milliseconds(std::min<uint32_t>(timeout, INT_MAX / 4));
    auto quietSince = lastHeard_;
    const auto giveUp = std::max(Clock::now() + 3 * quiet, late_.CoveredUntil(timeout));
    for (;;) {
        const auto now = Clock::now();
        const auto until = std::min(std::max(quietSince + quiet, late_.CoveredUntil(timeout)), giveUp);
        if (now >= giveUp || terminated_ || !channel_.Usable())
            break;
        if (until <= now && !channel_.WaitForData(0))
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        const int received = ReceiveWithin(static_cast<int>(std::max<int64_t>(left, 1)));
        if (received <= 0)
            continue;
        quietSince = Clock::now();
        LogLateReply(info, received);
    }
    const auto end = Clock::now();
    late_.GuardEnded(end, timeout, end - quietSince >= quiet && end >= late_.CoveredUntil(timeout));
    channel_.Discard();
}

// Before a request goes out, what is left on the line answers nothing that
// is waiting: late replies are logged and learned from, the rest goes.
void TTransactionThread::DropLeftovers(TTransactionInfo& info)
{
    while (late_.Any() && channel_.Usable() && channel_.WaitForData(0)) {
        const int received = Receive(1);
        if (received <= 0)
            break;
        LogLateReply(info, received);
    }
    channel_.Discard();
}

// A frame heard while no request waits for it, set aside in the log with
// how late it came when it answers an unanswered request.
void TTransactionThread::LogLateReply(TTransactionInfo& info, int received)
{
    PostReceived(received);
    const int64_t lateMs =
        late_.Heard(receiveRaw_.data(), received, std::chrono::steady_clock::now(), connection_.ReceiveTimeout());
    info.AttemptLog.push_back({0, -1, {}, TFrameData(receiveRaw_.begin(), receiveRaw_.begin() + received),
                               "Late reply discarded", {}, lateMs});
}

// Collects and classifies the reply. A frame from another server, or over
// Modbus/TCP one that answers another transaction, is logged and set aside,
// and the wait goes on until the attempt's own deadline, so that a busy bus
// cannot hold the request forever. heard: a frame other than the line's echo
// of the request came.
TTransactionReply TTransactionThread::ReceiveReply(TModbusTransaction& transaction, int length,
                                                   TAttemptRecord& attempt, TLateReplies::TSetAside& setAside,
                                                   bool& heard)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min<uint32_t>(connection_.ReceiveTimeout(), INT_MAX));
    const TFrameMissing missing = ReplyMissing(FunctionCodeOf(transaction.RequestBuffer), length);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return TTransactionReply::trNoReply;
        const int received = RemoveEcho(ReceiveWithin(static_cast<int>(left), missing), length);
        heard = heard || received > 0;
        PostReceived(received);
        attempt.Reply.assign(receiveRaw_.begin(), receiveRaw_.begin() + std::max(received, 0));
        if (ForeignTransaction(received, length)) {
            transaction.Info.AttemptLog.push_back({0, -1, {}, attempt.Reply,
                                                   "Reply to transaction " + std::to_string(TcpTransactionId(receiveRaw_.data()))
                                                       + " discarded", {}});
            attempt.Reply.clear();
            continue;
        }
        TExceptionInfo exception{};
        const TTransactionReply reply = ClassifyReply(setup_.Mode, transaction.RequestBuffer,
                                                      transaction.AnyServerAddress, receiveRaw_.data(), received,
                                                      transaction.ReplyBuffer, exception);
        if (SetAside(reply, length, received, setAside, transaction.Info, attempt))
            continue;
        if (reply == TTransactionReply::trExceptionReply) {
            transaction.Info.ExceptionKind = exception.Kind;
            transaction.Info.ExceptionCode = exception.Code;
        }
        if (reply == TTransactionReply::trInvalidFrame)
            attempt.Outcome =
                std::string("Invalid reply (") + InvalidFrameReason(setup_.Mode.Transmission, receiveRaw_.data(), received) + ")";
        // The request's function with another byte count answers no request
        // of this count: a broken reply, not one to another function.
        if (reply == TTransactionReply::trUnmatchedReply && FunctionMatches(transaction.RequestBuffer, transaction.ReplyBuffer))
            attempt.Outcome = "Invalid reply (wrong byte count)";
        if (reply != TTransactionReply::trUnexpectedReply)
            return reply;
        transaction.Info.AttemptLog.push_back(
            {0, -1, {}, attempt.Reply, "Reply from unit " + std::to_string(ReplyUnit(received)) + " discarded", {}});
        attempt.Reply.clear();
    }
}

// Whether a frame in a request's own wait is set aside rather than taken or
// judged: the late reply of an unanswered request, or a reply that could as
// well be that of an earlier request as this one's. Once one such reply has
// been set aside, no later one of this wait is taken either: a server that
// does not answer in order could have sent them the other way round.
bool TTransactionThread::SetAside(TTransactionReply reply, int length, int received,
                                  TLateReplies::TSetAside& setAside, TTransactionInfo& info, TAttemptRecord& attempt)
{
    using enum TLateReplies::TSetAside;
    if (received <= 0 || setup_.Mode.Transmission == TTransmissionMode::tmTCP || (!late_.Any() && setAside == Nothing))
        return false;
    if (reply >= TTransactionReply::trExceptionReply) {
        if (setAside == Nothing)
            setAside = late_.Suspect(sendRaw_.data(), length, receiveRaw_.data(), received);
        if (setAside == Nothing)
            return false;
        info.AttemptLog.push_back({0, -1, {}, attempt.Reply, "Reply set aside: it may answer an earlier request", {}});
        attempt.Reply.clear();
        return true;
    }
    const int64_t lateMs =
        late_.Heard(receiveRaw_.data(), received, std::chrono::steady_clock::now(), connection_.ReceiveTimeout());
    if (lateMs < 0)
        return false;
    info.AttemptLog.push_back({0, -1, {}, attempt.Reply, "Late reply discarded", {}, lateMs});
    attempt.Reply.clear();
    return true;
}

// A whole Modbus/TCP frame whose transaction identifier is not the one of
// the request just sent: the late answer to an earlier one.
bool TTransactionThread::ForeignTransaction(int received, int length) const
{
    return setup_.Mode.Transmission == TTransmissionMode::tmTCP && received >= 2 && length >= 2
           && TcpTransactionId(receiveRaw_.data()) != TcpTransactionId(sendRaw_.data());
}

// How the reply's end is found. Modbus/TCP: always from its header. RTU,
// when the connection ends replies at their length: from the function code
// and byte count, after the echo of the request when the line returns it;
// otherwise (and for ASCII, which ends at CR LF) by the silence after it.
TFrameMissing TTransactionThread::ReplyMissing(uint8_t function, int length) const
{
    const TTransmissionMode mode = setup_.Mode.Transmission;
    if (mode == TTransmissionMode::tmASCII || (mode == TTransmissionMode::tmRTU && !connection_.EndAtLength()))
        return {};
    const bool echo = connection_.EchoQueryBeforeReply();
    return [this, mode, function, length, echo](const uint8_t* raw, int n) {
        if (echo && std::memcmp(raw, sendRaw_.data(), static_cast<std::size_t>(std::min(n, length))) == 0) {
            if (n < length)
                return length - n;
            raw += length;
            n -= length;
        }
        return ReplyBytesMissing(mode, function, raw, n);
    };
}

// A line that returns every sent frame: an echo that came alone is followed
// by a second wait for the reply; an echo that came with the reply is cut off.
int TTransactionThread::RemoveEcho(int received, int length)
{
    if (!connection_.EchoQueryBeforeReply() || received < length ||
        std::memcmp(receiveRaw_.data(), sendRaw_.data(), static_cast<std::size_t>(length)) != 0)
        return received;
    if (received == length)
        return Receive(static_cast<int>(std::min<uint32_t>(connection_.ReceiveTimeout(), INT_MAX)));
    std::memmove(receiveRaw_.data(), receiveRaw_.data() + length, static_cast<std::size_t>(received - length));
    return received - length;
}

// Receive with a first timeout that a closing connection cuts short: the
// wait for the first character goes in slices, between which the worker
// looks whether it is to end. 0 when it ends or nothing came in time.
int TTransactionThread::ReceiveWithin(int timeoutMs, const TFrameMissing& missing)
{
    constexpr int SliceMs = 50;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || terminated_ || !channel_.Usable())
            return 0;
        if (const int received = Receive(static_cast<int>(std::min<int64_t>(left, SliceMs)), missing); received > 0)
            return received;
    }
}

// The outcome of an attempt in words, as far as the worker can tell: the
// request layer's checks of the reply's contents come later.
std::string TTransactionThread::OutcomeText(const TTransactionInfo& info)
{
    switch (info.Reply) {
    case TTransactionReply::trNoReply: return "Timeout";
    case TTransactionReply::trInvalidFrame: return "Invalid reply";
    case TTransactionReply::trUnexpectedReply: return "Reply from another unit";
    case TTransactionReply::trUnmatchedReply: return "Reply to another function";
    case TTransactionReply::trExceptionReply: return "Exception " + std::to_string(info.ExceptionCode);
    case TTransactionReply::trSuccess: return "OK";
    }
    return "Unknown";
}

int TTransactionThread::Receive(int firstTimeout, const TFrameMissing& missing)
{
    const int received = ReceiveFrame(setup_.Mode.Transmission, channel_, receiveRaw_.data(),
                                      static_cast<int>(receiveRaw_.size()), firstTimeout, connection_.FrameInterval(),
                                      preprocess_, missing);
    if (received > 0)
        lastHeard_ = std::chrono::steady_clock::now();
    return received;
}

// The unit a received frame comes from (after the Modbus/TCP header).
uint8_t TTransactionThread::ReplyUnit(int received) const
{
    const int at = setup_.Mode.Transmission == TTransmissionMode::tmTCP ? 6 : 0;
    return received > at ? receiveRaw_[static_cast<std::size_t>(at)] : 0;
}

void TTransactionThread::PostReceived(int length)
{
    if (length > 0 && frameReceiveCopy_)
        sink_.PostFrameData(TFrameData(receiveRaw_.begin(), receiveRaw_.begin() + length), false);
}

void TTransactionThread::Finish(std::unique_ptr<TModbusTransaction> transaction)
{
    // A broadcast has no one to tell: it is freed here.
    if (!Broadcasts(*transaction))
        sink_.PostTransactionDone(std::move(transaction));
}

// ---------------------------------------------------------------- monitor, server

// Listens until the connection closes. A monitor reports every valid frame;
// a server would offer each request to its server components, of which this
// system has none, so it answers nothing.
void TTransactionThread::ListenExecute()
{
    TModbusBuffer buffer(SerialLayout(setup_.Mode.Transmission).AduCapacity);
    while (!terminated_ && !portLost_)
        Guarded([&] { ListenFrame(buffer); });
    WaitForTermination();
}

void TTransactionThread::ListenFrame(TModbusBuffer& buffer)
{
    const int length = Receive(-1);
    if (length <= 0)
        return;
    PostReceived(length);
    if (!DecodeFrame(setup_.Mode, receiveRaw_.data(), length, buffer)) {
        sink_.PostInvalidFrameDiscard();
        return;
    }
    if (setup_.Mode.Connection != TConnectionMode::cmMonitor)
        return;
    const uint8_t* data = buffer.Data();
    const int dataSize = std::max(0, buffer.Size() - 2 - SerialLayout(setup_.Mode.Transmission).ChecksumSize);
    sink_.PostCapturedFrame(std::make_unique<TInspectCapturedFrameEventArgs>(
        TInspectCapturedFrameEventArgs{data[0], data[1], TFrameData(data + 2, data + 2 + dataSize)}));
    channel_.Discard();
}

// After a lost port: nothing more to listen to until the close.
void TTransactionThread::WaitForTermination()
{
    while (!terminated_) {
        pollfd fd{wake_.Fd, POLLIN, 0};
        ::poll(&fd, 1, -1);
        wake_.Reset();
    }
}
