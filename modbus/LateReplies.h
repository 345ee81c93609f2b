#pragma once

// What the exchange worker of a serial line (or of RTU frames over a TCP
// stream) knows about replies that may still be on their way: the requests
// that got no sound answer, and how late each server has been heard to
// answer. A serial reply carries nothing that ties it to its request, so a
// late one could pass for the answer to the next request of the same
// server, function and count; this record lets the worker wait for such
// replies before it sends, and set aside a reply it cannot place.
//
// The promise is bounded: an unanswered request is remembered up to Bound
// after its sending, eight receive timeouts and never more than ten
// seconds; a reply later still is beyond what the worker can tell apart.
//
// A server that let an unanswered request's whole covered time pass with
// nothing at all heard on the line is silent (dead, switched off, not
// there): a reply of its own, had it started, would have been heard. While
// nothing is heard from it, a request of its that heard nothing in its own
// wait is covered by that wait alone, so that a dead meter costs its tries
// and no more; such a request still stays suspect up to the bound, and the
// first frame from the server, or anything heard in a request's wait,
// brings back the whole cover.

#include "SerialFrame.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <vector>

class TLateReplies {
public:
    using Clock = std::chrono::steady_clock;

    // What a request's own wait set aside (Suspect): nothing, a reply that
    // could answer an earlier unanswered request, or one that could answer
    // an earlier request that may have been answered already.
    enum class TSetAside { Nothing, ReplyOfUnanswered, ReplyOfMaybeAnswered };

    explicit TLateReplies(TTransmissionMode mode) : mode_(mode) {}

    static Clock::duration Bound(uint32_t receiveTimeoutMs);

    // An attempt of the request (its wire frame), sent at sentAt, got no
    // sound answer; heard: anything at all but the line's echo of the
    // request came in its wait. When its wait set aside a reply it may have
    // been answered after all; it is not remembered when the reply set aside
    // could answer a request that was in that doubt itself, so that doubt
    // never carries on from request to request.
    void Unanswered(const uint8_t* request, int length, Clock::time_point sentAt, TSetAside setAside, bool heard);
    // The request's reply was taken in its own wait. An unanswered earlier
    // copy of the same request may have been the one answered, so one of
    // them is still owed a reply: it stays, as sent now, once; a copy whose
    // guard has heard the line quiet since it was owed stays as it was.
    void Taken(const uint8_t* request, int length, Clock::time_point sentAt);
    bool Any() const { return !unanswered_.empty(); }

    // Whether the line must be heard quiet before the next request, and
    // until when: each unanswered request's sending plus the time its
    // server's replies are covered (CoveredLateness), or only its own wait
    // when it heard nothing and its server is silent.
    bool GuardNeeded() const;
    Clock::time_point CoveredUntil(uint32_t receiveTimeoutMs) const;
    // The lateness heard from the server and a quarter more, at least two
    // receive timeouts (the wait and as much again), at most Bound.
    Clock::duration CoveredLateness(uint8_t server, uint32_t receiveTimeoutMs) const;

    // A frame that no request waiting now can take: heard by the guard, left
    // on the line before a send, or in a request's own wait but answering
    // another function or count. The oldest unanswered request it answers
    // takes it and is settled (a server answers in order), and its server's
    // lateness is learned. Returns that lateness in ms when it is beyond the
    // receive timeout, else -1: the frame answers none, or came in time for
    // a wait that ended early on a frame it could not take.
    int64_t Heard(const uint8_t* raw, int n, Clock::time_point at, uint32_t receiveTimeoutMs);

    // The guard ended; heardQuiet: it heard the line quiet for as long as it
    // had to. Requests whose covered time has passed are no longer guarded
    // for but stay suspect up to the bound, since their reply may be later
    // than any heard so far; a guard that gave up on a line that never fell
    // quiet guards for none of them any more. The server of a request after
    // which nothing was heard until its whole covered time passed is silent
    // from now on.
    void GuardEnded(Clock::time_point now, uint32_t receiveTimeoutMs, bool heardQuiet);

    // A frame that answers the request (its wire frame) in the request's own
    // wait: whether it could as well answer an earlier unanswered request of
    // the same server that is not the same request, and so must not be
    // taken. The oldest such request is then settled.
    TSetAside Suspect(const uint8_t* request, int length, const uint8_t* raw, int n);

private:
    struct TRequest {
        std::vector<uint8_t> Frame;
        uint8_t Server = 0;
        Clock::time_point SentAt;
        bool MaybeAnswered = false;
        bool Guarded = true; // false once the guard has covered its time
        bool Heard = false;  // a frame was heard on the line after its sending
        bool Owed = false;   // kept for a reply owed after a copy of it was answered
    };

    Clock::duration Covered(const TRequest& request, uint32_t receiveTimeoutMs) const;
    bool Answers(const TRequest& request, const uint8_t* raw, int n) const;
    int ServerOf(const uint8_t* request, int length) const;
    static bool Same(const TRequest& request, const uint8_t* frame, int length);
    void Forget(Clock::time_point now, uint32_t receiveTimeoutMs);

    const TTransmissionMode mode_;
    std::deque<TRequest> unanswered_;   // oldest first
    std::map<uint8_t, int64_t> lateMs_; // by server address: the latest reply heard
    std::set<uint8_t> silent_;          // servers heard silent through a whole covered time
};
