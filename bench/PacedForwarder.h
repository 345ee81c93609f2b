#pragma once

// One direction of a relay: a thread that carries bytes from one descriptor
// to another and writes each byte no earlier than the time a schedule gives
// it. The relays use it for a serial line's character time and for a
// network's latency.
//
// Times are on CLOCK_MONOTONIC. While bytes wait, the thread sleeps with
// clock_nanosleep to an absolute time (the next byte's, or sooner by the
// stamp resolution) and then writes every byte that is due in one write;
// while none wait, it sleeps in poll() until input comes. A byte read on
// waking is stamped with the time it was read, so input that came during a
// sleep counts as read up to one stamp resolution late. On a serial line
// that changes nothing while earlier bytes still wait (it queues behind
// them), and at most the wake-up's own lateness otherwise.
//
// The end of the input (a socket's peer shut its side, or an error) is
// scheduled like a byte: when it is due, a socket at the other end is shut
// for writing, and the thread ends.

#include "Descriptors.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

using TMonotonic = std::chrono::nanoseconds; // since CLOCK_MONOTONIC's origin

TMonotonic MonotonicNow();

inline double Seconds(TMonotonic t)
{
    return std::chrono::duration<double>(t).count();
}

// How late the bytes went out against their schedule.
struct rLateness {
    std::size_t Bytes = 0;
    TMonotonic Median{}, Percentile99{}, Max{};
};
rLateness Summarize(std::vector<TMonotonic> samples);
// Prints the lateness as one indented line, beside the time of a character.
void PrintRelayLateness(const rLateness& l, TMonotonic character);

class TPacedForwarder {
public:
    // The earliest time a byte read at readAt may be written; asked once
    // per byte, in the order of the bytes.
    using TSchedule = std::function<TMonotonic(TMonotonic readAt)>;

    // Neither descriptor is owned; both are made non-blocking. The thread
    // starts at once.
    TPacedForwarder(int from, int to, TSchedule schedule, TMonotonic stampResolution);
    // Stops the thread; bytes still waiting are dropped.
    ~TPacedForwarder();
    TPacedForwarder(const TPacedForwarder&) = delete;
    TPacedForwarder& operator=(const TPacedForwarder&) = delete;

    // True once the end of the input has gone out, a write failed or the
    // forwarder stopped.
    bool Ended() const { return ended_; }
    // Whether the thread runs at a real-time priority (SCHED_FIFO), so that
    // other work on the machine cannot stall it; only where the system
    // allows it.
    bool RealTime() const { return realTime_; }
    // Each byte's write time minus its scheduled time, so far.
    std::vector<TMonotonic> Lateness() const;

private:
    struct rPending {
        int Byte; // EndOfInput for the end
        TMonotonic Due;
    };
    static constexpr int EndOfInput = -1;

    void Run();
    bool AwaitInput(int timeoutMs);
    void Receive();
    bool SendDue();
    bool WriteAll(const uint8_t* data, std::size_t size);
    void EndOutput();

    int from_;
    int to_;
    TSchedule schedule_;
    TMonotonic stampResolution_;
    bool inputEnded_ = false;
    std::deque<rPending> pending_;
    std::atomic<bool> ended_{false};
    mutable std::mutex latenessLock_;
    std::vector<TMonotonic> lateness_;
    TWakeFd stop_;
    std::atomic<bool> stopping_{false};
    bool realTime_ = false;              // set before started_ is released
    std::binary_semaphore started_{0};
    std::thread thread_;
};
