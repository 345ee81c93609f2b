#include "LinkRunner.h"

#include "CommStatistics.h"
#include "KelvaneCOM.h"
#include "LateReplyNotice.h"
#include "LogValues.h"
#include "LoggerMessages.h"
#include "MeterPoller.h"
#include "RepeatedMessages.h"
#include "StateReports.h"

#include <QTimer>

#include <chrono>
#include <cmath>

// The part of a runner that lives in its thread: the link, its counts, and
// the timer of its cycle. The link's register image is cleared before each
// meter's pass, so a reading holds that meter's answer and nothing else.
class TLinkWorker : public QObject {
    Q_OBJECT
public:
    TLinkWorker(const TSiteLink& link, std::vector<TRegisterBankEntry> banks, bool once)
        : site_(link), banks_(std::move(banks)), once_(once), cycle_(this), linkStates_(this)
    {
        cycle_.setSingleShot(true);
        cycle_.setTimerType(Qt::PreciseTimer);
        connect(&cycle_, &QTimer::timeout, this, &TLinkWorker::Cycle);
    }

    // In the worker's thread, so that the link and its sockets belong to it.
    // The link's changes (a kept TCP connection made, lost or refused, a
    // serial port lost) are told as they come, those that come again and
    // again within a minute as a count; read once, they wait for the end of
    // the cycle.
    void Begin()
    {
        // Opened at the first pass, once, with every setting made.
        link_ = std::make_unique<TKelvane>(site_.Target, site_.Kind, TKelvane::TOpen::Later);
        if (site_.Kind != TLinkKind::Serial)
            link_->SetTcpPort(site_.TcpPort);
        if (site_.Kind != TLinkKind::Tcp)
            link_->SetBaudRate(site_.Baud);
        site_.Settings.Apply(*link_);
        const QString text = site_.Text;
        link_->SetOnLinkState([this, text](const QString& state) {
            if (once_)
                heldStates_.Hold(text + ": " + state);
            else
                linkStates_.Say(text + ": " + state);
        });
        next_ = Clock::now();
        Cycle();
    }

    // Queued into the worker's thread, which the wait for a meter serves:
    // the wait ends at once.
    void Abort()
    {
        abort_ = true;
        cycle_.stop();
        emit Done();
    }

    // In the worker's thread as it ends, once no pass is under way: the
    // link's sockets and timers go in the thread they belong to, and the
    // counts of the link's changes not said yet are said.
    void End()
    {
        link_.reset();
        linkStates_.SayCounts();
    }

    std::atomic<bool> Stopping{false};

signals:
    void Reading(const TMeterReading& reading);
    void Done();

private:
    using Clock = std::chrono::steady_clock;

    void Cycle()
    {
        bool complete = true;
        for (const TSiteMeter& meter : site_.Meters) {
            if (Stopping)
                return;
            const std::optional<TMeterReading> reading = ReadMeter(meter);
            if (!reading)
                return; // stopped inside the pass: it is dropped whole
            complete = complete && reading->Complete;
            emit Reading(*reading);
        }
        if (once_) {
            heldStates_.Release(complete);
            emit Done();
            return;
        }
        ScheduleNext();
    }

    // The next time on the grid of intervals from the first cycle that is
    // still ahead: a cycle longer than the interval skips the ones it overran.
    void ScheduleNext()
    {
        const auto now = Clock::now();
        next_ += site_.Interval;
        if (next_ <= now)
            next_ += site_.Interval * ((now - next_) / site_.Interval + 1);
        cycle_.start(int(std::chrono::ceil<std::chrono::milliseconds>(next_ - now).count()));
    }

    std::optional<TMeterReading> ReadMeter(const TSiteMeter& meter)
    {
        const TMeterKey key{site_.Text, meter.Id.Address, meter.Id.Name};
        const TMeterPass pass = ReadMeterPass(
            *link_, meter.Id.Address, banks_, site_.Settings.Tries, [this] { return Stopping.load(); }, &abort_,
            [&](const TExchange& exchange, bool repeat) {
                statistics_.Add(key, exchange, repeat);
                if (const QString late = lateNotice_.Note(key, exchange, link_->RXTimeout()); !late.isEmpty())
                    LoggerMessage(meter.Id.Name + ": " + late);
            });
        if (pass.Interrupted || Stopping)
            return std::nullopt;
        TMeterReading reading{.Meter = meter.Id,
                              .Time = QDateTime::currentDateTimeUtc(),
                              .Answered = pass.Answered,
                              .Complete = pass.Complete,
                              .Failure = pass.Failure,
                              .Counters = {}};
        const TLogValues values = LogValues(*link_, false);
        for (std::size_t i = 0; i < values.size(); ++i)
            if (meter.Selection[i] && std::isfinite(values[i]))
                reading.Values[i] = values[i];
        if (const TCommCounters* counters = statistics_.Find(key))
            reading.Counters = *counters;
        else
            reading.Counters.Meter = key;
        return reading;
    }

    TSiteLink site_;
    std::vector<TRegisterBankEntry> banks_;
    bool once_;
    std::unique_ptr<TKelvane> link_;
    TCommStatistics statistics_;
    TLateReplyNotice lateNotice_;
    QTimer cycle_;
    THeldMessages heldStates_;
    TRepeatedMessages linkStates_;
    Clock::time_point next_;
    bool abort_ = false;
};

TLinkRunner::TLinkRunner(TSiteLink link, std::vector<TRegisterBankEntry> banks, bool once, QObject* parent)
    : QObject(parent), link_(std::move(link)), worker_(std::make_unique<TLinkWorker>(link_, std::move(banks), once))
{
    thread_.setObjectName(link_.Text);
    worker_->moveToThread(&thread_);
    connect(worker_.get(), &TLinkWorker::Reading, this, &TLinkRunner::Reading);
    // Direct: the thread that waits for this one to end must not have to
    // pass the request on itself.
    connect(worker_.get(), &TLinkWorker::Done, &thread_, &QThread::quit, Qt::DirectConnection);
    connect(&thread_, &QThread::finished, worker_.get(), &TLinkWorker::End, Qt::DirectConnection);
    connect(&thread_, &QThread::finished, this, &TLinkRunner::Finished);
}

// The worker, its link and its sockets go once the thread has ended.
TLinkRunner::~TLinkRunner()
{
    Stop();
    thread_.wait();
}

void TLinkRunner::Start()
{
    thread_.start();
    QMetaObject::invokeMethod(worker_.get(), &TLinkWorker::Begin, Qt::QueuedConnection);
}

void TLinkRunner::Stop()
{
    worker_->Stopping = true;
    QMetaObject::invokeMethod(worker_.get(), &TLinkWorker::Abort, Qt::QueuedConnection);
}

bool TLinkRunner::Wait(QDeadlineTimer deadline)
{
    return thread_.wait(deadline);
}

#include "LinkRunner.moc"
