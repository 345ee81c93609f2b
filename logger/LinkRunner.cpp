#include "LinkRunner.h"

#include "CommStatistics.h"
#include "KelvaneCOM.h"
#include "LateReplyNotice.h"
#include "LogValues.h"
#include "LoggerMessages.h"
#include "MeterBackOff.h"
#include "MeterPass.h"
#include "RepeatedMessages.h"
#include "StateReports.h"
#include "WiringCheck.h"

#include <QTimer>

#include <chrono>
#include <cmath>

// The part of a runner that lives in its thread: the link, its counts, the
// meters' back-offs and the timer of its cycle. The link's register image is
// cleared before each meter's pass, so a reading holds that meter's answer
// and nothing else.
class TLinkWorker : public QObject {
    Q_OBJECT
public:
    TLinkWorker(const TSiteLink& link, std::vector<TRegisterBankEntry> banks, bool once)
        : site_(link), banks_(std::move(banks)), once_(once),
          backOffs_(site_.Meters.size(), TMeterBackOff(site_.Interval, !site_.OneMeter)), cycle_(this), linkStates_(this)
    {
        cycle_.setSingleShot(true);
        cycle_.setTimerType(Qt::PreciseTimer);
        connect(&cycle_, &QTimer::timeout, this, &TLinkWorker::Cycle);
    }

    // In the worker's thread, so that the link and its sockets belong to it.
    // The link's changes (a kept TCP connection made, lost or refused, a
    // serial port lost) are told as they come, after the link's name in a
    // site, those that come again and again within a minute as a count;
    // read once, they wait for the end of the cycle.
    void Begin()
    {
        // Opened at the first pass, once, with every setting made.
        link_ = std::make_unique<TKelvane>(site_.Target, site_.Kind, TKelvane::TOpen::Later);
        if (site_.Kind != TLinkKind::Serial)
            link_->SetTcpPort(site_.TcpPort);
        if (site_.Kind != TLinkKind::Tcp)
            link_->SetBaudRate(site_.Baud);
        site_.Settings.Apply(*link_);
        const QString prefix = site_.OneMeter ? QString() : site_.Text + ": ";
        link_->SetOnLinkState([this, prefix](const QString& state) {
            if (once_)
                heldStates_.Hold(prefix + state);
            else
                linkStates_.Say(prefix + state);
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
        for (std::size_t i = 0; i < site_.Meters.size(); ++i) {
            if (Stopping)
                return;
            const TSiteMeter& meter = site_.Meters[i];
            const std::optional<TMeterReading> reading =
                backOffs_[i].AskNow() ? ReadMeter(meter, backOffs_[i]) : NotAsked(meter);
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

    std::optional<TMeterReading> ReadMeter(const TSiteMeter& meter, TMeterBackOff& backOff)
    {
        const TMeterKey key{site_.Text, meter.Id.Address, meter.Id.Name};
        const int tries = backOff.Tries(site_.Settings.Tries);
        const TMeterPass pass = ReadMeterPass(
            *link_, meter.Id.Address, banks_, tries, [this] { return Stopping.load(); }, &abort_,
            [&](const TExchange& exchange, bool repeat) {
                statistics_.Add(key, exchange, repeat);
                if (const QString late = lateNotice_.Note(key, exchange, link_->RXTimeout()); !late.isEmpty())
                    LoggerMessage(site_.OneMeter ? late : meter.Id.Name + ": " + late);
            });
        if (pass.Interrupted || Stopping)
            return std::nullopt;
        if (backOff.Note(pass.Answered, pass.Missed))
            LoggerMessage(QString("the meter %1 gave no answer %2 passes in a row: it is asked less often now, "
                                  "at least every %3 s, until it answers")
                              .arg(MeterText(meter.Id))
                              .arg(TMeterBackOff::SilentPasses)
                              .arg(double(backOff.Longest().count()) / 1000));
        TMeterReading reading = ReadingOf(meter, pass.Answered, pass.Complete, pass.Failure);
        const TLogValues values = LogValues(*link_, false);
        for (std::size_t i = 0; i < values.size(); ++i)
            if (meter.Selection[i] && std::isfinite(values[i]))
                reading.Values[i] = values[i];
        if (const std::optional<rWiringValues> wiring = WiringCheck::ValuesFromImage(*link_))
            reading.Wiring = WiringCheck::Check(*wiring);
        return reading;
    }

    // An interval in which a silent meter is not asked: a reading without
    // values, as a pass it did not answer gives, so that its file shows the
    // gap.
    TMeterReading NotAsked(const TSiteMeter& meter) const
    {
        return ReadingOf(meter, false, false, "not asked in this interval");
    }

    // A reading of the meter as of now, with its counts and no values yet.
    TMeterReading ReadingOf(const TSiteMeter& meter, bool answered, bool complete, const QString& failure) const
    {
        TMeterReading reading{.Meter = meter.Id,
                              .Time = QDateTime::currentDateTimeUtc(),
                              .Answered = answered,
                              .Complete = complete,
                              .Failure = failure,
                              .Counters = {}};
        const TMeterKey key{site_.Text, meter.Id.Address, meter.Id.Name};
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
    std::vector<TMeterBackOff> backOffs_; // by meter, in the order of the link's meters
    TCommStatistics statistics_;
    TLateReplyNotice lateNotice_;
    QTimer cycle_;
    THeldMessages heldStates_;
    TRepeatedMessages linkStates_;
    Clock::time_point next_;
    bool abort_ = false;
};

TLinkRunner::TLinkRunner(TSiteLink link, std::vector<TRegisterBankEntry> banks, bool once, TThread thread,
                         QObject* parent)
    : QObject(parent), link_(std::move(link)), threadKind_(thread),
      worker_(std::make_unique<TLinkWorker>(link_, std::move(banks), once))
{
    connect(worker_.get(), &TLinkWorker::Reading, this, &TLinkRunner::Reading);
    if (threadKind_ == TThread::Callers) {
        connect(worker_.get(), &TLinkWorker::Done, this, &TLinkRunner::Finished);
        return;
    }
    thread_.setObjectName(link_.Text);
    worker_->moveToThread(&thread_);
    // Direct: the thread that waits for this one to end must not have to
    // pass the request on itself.
    connect(worker_.get(), &TLinkWorker::Done, &thread_, &QThread::quit, Qt::DirectConnection);
    connect(&thread_, &QThread::finished, worker_.get(), &TLinkWorker::End, Qt::DirectConnection);
    connect(&thread_, &QThread::finished, this, &TLinkRunner::Finished);
}

// The worker, its link and its sockets go once the thread has ended; in the
// caller's thread, once no pass is under way any more, which a stop during
// one may have been called from.
TLinkRunner::~TLinkRunner()
{
    Stop();
    thread_.wait();
    if (threadKind_ == TThread::Callers)
        worker_->End();
}

void TLinkRunner::Start()
{
    if (threadKind_ == TThread::Own)
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
