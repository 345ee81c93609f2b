#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// SIGTERM and SIGINT ask the program to stop: the handler only notes the
// request, so that the record being written is finished first. SIGPIPE and
// SIGXFSZ are ignored, so that a closed stderr or socket and a log file at
// the size limit (ulimit -f, LimitFSIZE=) give an error, not an end.
class TStopSignals {
public:
    TStopSignals();
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    bool StopRequested() const;
    // Becomes true once a stop is requested, as the event loop that a meter
    // operation turns while it waits learns of it: the abort flag that ends
    // such a wait at once.
    const bool& AbortFlag() const { return abort_; }
    // Runs in the thread of the event loop as it learns of a stop request.
    void SetOnStop(std::function<void()> onStop) { onStop_ = std::move(onStop); }

private:
    bool abort_ = false;
    std::function<void()> onStop_;
    std::unique_ptr<QSocketNotifier> notifier_;
};
