#pragma once

#include "PseudoTerminal.h"
#include "ReplyTiming.h"
#include "RequestDispatcher.h"
#include "RtuRequestReader.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

struct rRtuServerOptions {
    // The line the server assumes, 8N1 as the utility runs it: it fixes the
    // silence that ends a request whose length its bytes do not tell.
    uint32_t Baud = 19200;
    int DelayMs = 0;
    rLateReplies Late{};
};

// Modbus RTU transport on a pseudo-terminal: the meters answer on the slave
// side as on a serial bus. A request is taken off the line by
// TRtuRequestReader; a frame with a wrong CRC and a request to an address no
// meter has get no reply, and a write to address 0 (broadcast) is executed
// by every meter without one.
//
// One thread runs a poll() loop over the master side, the line's open/close
// watch and a wake-up pipe; it sleeps in poll() until a byte comes, a
// request's silence ends or a delayed reply is due. Replies keep the order
// of their requests, as a meter that answers one request after the other:
// one that comes due while an earlier late one is still held goes a
// turnaround after it. Programs may open and
// close the slave as they like (TPseudoTerminal keeps the line up in
// between). When one does, what is left of the last program's exchange
// goes: replies it did not read, replies still held back by --delay, a
// request it did not finish; so a program that opens the port finds it
// clean, as on a serial port, where nothing is received while it is closed.
class TRtuServer {
public:
    // Creates the pseudo-terminal; throws std::runtime_error.
    TRtuServer(TRequestDispatcher& dispatcher, rRtuServerOptions options);
    ~TRtuServer();
    TRtuServer(const TRtuServer&) = delete;
    TRtuServer& operator=(const TRtuServer&) = delete;

    const std::string& SlavePath() const { return Line.SlavePath(); }
    // The end-of-request silence in ms, from the baud rate.
    uint32_t FrameIntervalMs() const { return Interval; }

    // Serves until Stop(); throws std::runtime_error when the line fails.
    void Run();
    // Ends Run() from any thread, and from a signal handler.
    void Stop();

private:
    using TClock = std::chrono::steady_clock;

    struct rDelayedReply {
        TClock::time_point Due;
        std::vector<uint8_t> Frame;
    };

    void ForgetLeftovers();
    void ReadLine();
    void Serve(const std::vector<rRtuRequest>& requests);
    void Send(std::vector<uint8_t> frame);
    void Write(const std::vector<uint8_t>& frame);
    void Flush();
    void ReleaseDueReplies();
    int PollTimeoutMs() const;

    TRequestDispatcher& Dispatcher;
    rRtuServerOptions Options;
    uint32_t Interval;
    TReplyTiming Timing;
    TPseudoTerminal Line;
    TRtuRequestReader Reader;
    int WakeRead = -1;
    int WakeWrite = -1;
    std::vector<uint8_t> Out; // bytes not yet written
    std::deque<rDelayedReply> Delayed;
};
