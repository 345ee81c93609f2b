#pragma once

#include "MeterReading.h"
#include "RegisterBanksFile.h"
#include "SiteFile.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

class TLinkWorker;

// Reads the meters of one link, one after another, once per interval, in a
// thread of its own, so that a silent meter delays its own link only. Each
// meter's pass ends in one Reading, emitted in the link's thread and so
// delivered, queued, to whoever listens in the runner's; a pass that a stop
// cut short is dropped whole. With the gateway on (TSiteLink::Gateway), the
// link also takes its clients' requests for its meters, between its own.
class TLinkRunner : public QObject {
    Q_OBJECT
public:
    // Where the link is read: in a thread of its own, or in the thread that
    // makes the runner, for one cycle of a site's only link, which has no
    // other link to go on beside it. There its wait for a meter turns that
    // thread's event loop, as a meter operation of the window does.
    enum class TThread { Own, Callers };

    // once: one cycle over the meters, then Finished.
    TLinkRunner(TSiteLink link, std::vector<TRegisterBankEntry> banks, bool once, TThread thread = TThread::Own,
                QObject* parent = nullptr);
    ~TLinkRunner() override;

    void Start();
    // Ends the wait for a meter at once and the cycle after it; Finished
    // follows.
    void Stop();
    // Waits for the thread to end until deadline; true when it did.
    bool Wait(QDeadlineTimer deadline);

    const TSiteLink& Link() const { return link_; }

signals:
    void Reading(const TMeterReading& reading);
    void Finished();

private:
    TSiteLink link_;
    const TThread threadKind_;
    QThread thread_; // started for TThread::Own only
    std::unique_ptr<TLinkWorker> worker_; // lives in thread_ while it runs
};
