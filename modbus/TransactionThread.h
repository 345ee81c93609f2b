#pragma once

// The exchange worker of an open connection: it performs all input and
// output on the connection's channel (a serial port or a TCP stream). In client mode it runs the queued transactions one at a
// time, repeats unanswered requests and hands every finished transaction to
// the GUI thread through the connection's notification sink; in monitor and
// server modes it listens and reports what it hears.
//
// The worker never spins: it waits in poll() on an eventfd for new work (and
// on the port for a hang-up), and on the port for replies. A port that goes
// away is reported once, as a link state; from then on the worker does no more I/O and hands
// every transaction back at once, marked PortLost.

#include "LateReplies.h"
#include "ModbusConnection.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

// What a worker takes from its connection when it starts. The timing
// settings it reads from the connection, under its lock, at each use.
struct TWorkerSetup {
    TFrameMode Mode;
    TThreadPriority Priority = TThreadPriority::tpNormal;
    TNotifyEvent OnBeforeFrameSendAsync, OnAfterFrameSendAsync;
    TPreprocessIncomingFrameEvent OnPreprocessIncomingFrame;
};

class TTransactionThread {
public:
    // Discards what the port holds and starts the thread. The connection,
    // its port and its sink outlive it.
    TTransactionThread(TModbusConnection& connection, TByteChannel& channel, TNotificationSink& sink,
                       TWorkerSetup setup);
    // Tells the thread to end and waits for it: a transaction in progress
    // stops waiting for its reply and makes no further attempt. Transactions
    // still queued are freed without events.
    ~TTransactionThread();
    TTransactionThread(const TTransactionThread&) = delete;
    TTransactionThread& operator=(const TTransactionThread&) = delete;

    // GUI thread.
    void Enqueue(std::unique_ptr<TModbusTransaction> transaction);
    void CancelClientTransactions(const TTransactionClient* client);
    // Linux: the thread's nice value, relative to the GUI thread's; a
    // refusal (raising a priority needs CAP_SYS_NICE) leaves it as it was.
    void SetPriority(TThreadPriority priority);
    // Whether frame copies are wanted for OnFrameSend and OnFrameReceive.
    void SetFrameCopies(bool sent, bool received);

    bool PortLost() const { return portLost_; }

private:
    void Execute();
    void ClientExecute();
    void ListenExecute();
    void WaitForWork();
    void WaitForTermination();
    std::unique_ptr<TModbusTransaction> TakeFirst();

    void RunTransaction(std::unique_ptr<TModbusTransaction> transaction);
    void Exchange(TModbusTransaction& transaction);
    bool Attempt(TModbusTransaction& transaction, int length);
    bool Prepared(TTransactionInfo& info);
    void KeepInterFrameGap() const;
    bool Broadcasts(const TModbusTransaction& transaction) const;
    TTransactionReply Broadcast();
    TTransactionReply ReceiveReply(TModbusTransaction& transaction, int length, TAttemptRecord& attempt,
                                   TLateReplies::TSetAside& setAside, bool& heard);
    bool SetAside(TTransactionReply reply, int length, int received, TLateReplies::TSetAside& setAside,
                  TTransactionInfo& info, TAttemptRecord& attempt);
    bool ForeignTransaction(int received, int length) const;
    uint8_t ReplyUnit(int received) const;
    TFrameMissing ReplyMissing(uint8_t function, int length) const;
    void AwaitQuietLine(TTransactionInfo& info);
    void DropLeftovers(TTransactionInfo& info);
    void LogLateReply(TTransactionInfo& info, int received);
    static std::string OutcomeText(const TTransactionInfo& info);
    int RemoveEcho(int received, int length);
    int Receive(int firstTimeout, const TFrameMissing& missing = {});
    int ReceiveWithin(int timeoutMs, const TFrameMissing& missing = {});
    void PostReceived(int length);
    void Finish(std::unique_ptr<TModbusTransaction> transaction);
    void ListenFrame(TModbusBuffer& buffer);

    // Runs f; a lost port is reported once, any other exception is shown.
    template <class F> bool Guarded(F&& f);
    void ReportPortLost(const EPortLost& error);
    void ApplyPriority();

    // An eventfd that closes itself.
    struct TEventFd {
        TEventFd();
        ~TEventFd();
        TEventFd(const TEventFd&) = delete;
        TEventFd& operator=(const TEventFd&) = delete;
        void Signal() const;
        void Reset() const;
        int Fd;
    };

    TModbusConnection& connection_;
    TByteChannel& channel_;
    TNotificationSink& sink_;
    const TWorkerSetup setup_;
    TPreprocessIncomingFrame preprocess_;
    std::vector<uint8_t> sendRaw_, receiveRaw_;
    int baseNice_ = 0;

    TEventFd wake_;
    std::mutex queueLock_;
    std::deque<std::unique_ptr<TModbusTransaction>> queue_;

    std::atomic<bool> terminated_{false};
    std::atomic<bool> portLost_{false};
    std::atomic<bool> frameSendCopy_{false};
    std::atomic<bool> frameReceiveCopy_{false};
    // The requests that got no sound answer, whose replies may still come.
    TLateReplies late_;
    // When the last character was heard, for the pause between frames.
    std::chrono::steady_clock::time_point lastHeard_{};
    // Modbus/TCP: the identifier of the latest attempt's request.
    uint16_t transactionId_ = 0;
    // Whether an idle wait also watches the port for a hang-up.
    bool watchPort_ = true;
    std::atomic<TThreadPriority> priority_;
    std::atomic<pid_t> tid_{0};
    std::thread thread_; // last: it starts once everything above exists
};
