#pragma once

// Keeps the millisecond sleeps and timed waits of the serial worker
// accurate. Linux honours millisecond sleeps already; what can still spoil
// them is a large timer slack (the kernel may defer a thread's timers by that
// much), which a service manager or a container can impose on a process. The
// enhancer lowers the slack of the thread that creates it to the kernel's
// default where it is larger, so that the threads started after it (the
// serial workers) inherit the lower slack, and gives the old slack back when
// it is destroyed. It never fails: a refusal leaves the slack as it was.
class TSystemClockResolutionEnhancer {
public:
    TSystemClockResolutionEnhancer();
    ~TSystemClockResolutionEnhancer();
    TSystemClockResolutionEnhancer(const TSystemClockResolutionEnhancer&) = delete;
    TSystemClockResolutionEnhancer& operator=(const TSystemClockResolutionEnhancer&) = delete;

    // The slack in nanoseconds that it set, 0 when it changed nothing.
    unsigned long RequestedSlack() const { return requested_; }

    // Creates the program's one enhancer on first use; the serial layer calls
    // it before it starts a worker.
    static void Initialize();

private:
    unsigned long previous_ = 0;
    unsigned long requested_ = 0;
};
