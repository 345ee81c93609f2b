#include "LinkRunner.h"

#include "CommStatistics.h"
#include "GatewayForward.h"
#include "GatewayTurns.h"
#include "KelvaneCOM.h"
#include "LateReplyNotice.h"
#include "LogValues.h"
#include "LoggerMessages.h"
#include "MeterBackOff.h"
#include "MeterPass.h"
#include "MeterScan.h"
#include "RegisterMap.h"
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
          backOffs_(site_.Meters.size(), TMeterBackOff(site_.Interval, !site_.OneMeter)), models_(site_.Meters.size()),
          turns_(site_.Meters.size(), site_.Interval, std::chrono::milliseconds(site_.Settings.ReceiveTimeoutMs)),
          cycle_(this), linkStates_(this)
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
            NoteLinkState(state);
            if (once_)
                heldStates_.Hold(prefix + state);
            else
                linkStates_.Say(prefix + state);
        });
        if (site_.Gateway)
            site_.Gateway->Queue.SetOnPush(
                [this] { QMetaObject::invokeMethod(this, &TLinkWorker::ServeClients, Qt::QueuedConnection); });
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
        if (site_.Gateway)
            site_.Gateway->Queue.SetOnPush({});
        link_.reset();
        linkStates_.SayCounts();
    }

    std::atomic<bool> Stopping{false};

signals:
    void Reading(const TMeterReading& reading);
    void Done();

private:
    using Clock = std::chrono::steady_clock;

    // A cycle that comes due while a client's request is on the line (its
    // wait turns this thread's events) starts as soon as that exchange ends.
    void Cycle()
    {
        if (busy_) {
            cycleDue_ = true;
            return;
        }
        {
            const TBusy busy(busy_);
            ReadMeters();
        }
        ServeClients();
    }

    void ReadMeters()
    {
        turns_.PassStarts(Clock::now());
        bool complete = true;
        for (std::size_t i = 0; i < site_.Meters.size(); ++i) {
            if (Stopping)
                return;
            const TSiteMeter& meter = site_.Meters[i];
            const std::optional<TMeterReading> reading =
                backOffs_[i].AskNow() ? ReadMeter(meter, backOffs_[i], models_[i]) : NotAsked(meter);
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
        turns_.PassEnds(Clock::now());
        ScheduleNext();
    }

    // Sets a flag for as long as the link is on the line, so that what the
    // wait for the meter turns (a cycle's timer, a client's wake) waits for
    // it.
    struct TBusy {
        explicit TBusy(bool& flag) : flag_(flag) { flag_ = true; }
        ~TBusy() { flag_ = false; }
        bool& flag_;
    };

    // Between cycles: the clients' requests, in turn, while one waits and
    // there is room before the next cycle, which then goes first. Inside a
    // cycle the requests wait for the gaps between the logger's own.
    void ServeClients()
    {
        if (busy_)
            return;
        {
            const TBusy busy(busy_);
            // The clock too: a link that cannot open answers at once, and
            // its answers turn no events.
            while (!cycleDue_ && Clock::now() < next_ && ServeClient()) {
            }
        }
        if (cycleDue_) {
            cycleDue_ = false;
            Cycle();
        }
    }

    // The next client's request, if one waits and there is room for it
    // now; false when none went or the run is stopping.
    bool ServeClient()
    {
        if (!site_.Gateway || !link_ || Stopping)
            return false;
        const std::optional<TGatewayRequest> request = site_.Gateway->Queue.Take(
            [this](const TGatewayRequest& waiting) { return turns_.Fits(waiting, Clock::now(), next_); });
        if (!request)
            return false;
        const auto start = Clock::now();
        TGatewayCounters& counters = site_.Gateway->Counters[request->Meter];
        if (turns_.Expired(*request, start)) {
            ++counters.Busy;
            request->Answer(GatewayException::Reply(uint8_t(request->Pdu[0]), GatewayException::Busy));
            return true;
        }
        ForwardRequest(*link_, site_.Meters[request->Meter].Id.Address, *request, counters, abort_);
        turns_.Served(request->Meter, Clock::now() - start);
        return true;
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

    // How long the meter takes to answer, for the clients' turns.
    void NoteRoundTrips(const TSiteMeter& meter, const TExchange& exchange)
    {
        for (const TAttempt& attempt : exchange.Attempts)
            if (attempt.SentAt != 0 && attempt.RoundTripUs >= 0)
                turns_.Heard(std::size_t(&meter - site_.Meters.data()), std::chrono::microseconds(attempt.RoundTripUs));
    }

    // The model text a meter gave in its identification report, and the
    // serial number it came with.
    struct TModelReport {
        bool Asked = false;
        std::optional<int> SerialNumber;
        QString Text;
    };

    std::optional<TMeterReading> ReadMeter(const TSiteMeter& meter, TMeterBackOff& backOff, TModelReport& model)
    {
        const TMeterKey key{site_.Text, meter.Id.Address, meter.Id.Name};
        const int tries = backOff.Tries(site_.Settings.Tries);
        // Before each of the pass's requests, one client's request that
        // waits and has room: the pass goes on between the clients'
        // requests, and theirs between its own.
        const auto betweenRequests = [this] {
            ServeClient();
            return Stopping.load();
        };
        const TMeterPass pass = ReadMeterPass(
            *link_, meter.Id.Address, banks_, tries, betweenRequests, &abort_,
            [&](const TExchange& exchange, bool repeat) {
                statistics_.Add(key, exchange, repeat);
                NoteRoundTrips(meter, exchange);
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
        if (pass.Answered)
            NoteLinkWorks();
        TMeterReading reading = ReadingOf(meter, pass.Answered, pass.Complete, pass.Failure);
        const TLogValues values = LogValues(*link_, false);
        for (std::size_t i = 0; i < values.size(); ++i)
            if (meter.Selection[i] && std::isfinite(values[i]))
                reading.Values[i] = values[i];
        if (const std::optional<rWiringValues> wiring = WiringCheck::ValuesFromImage(*link_))
            reading.Wiring = WiringCheck::Check(*wiring);
        FillIdentity(reading, model);
        return reading;
    }

    // The meter's identity as it reports it, once the pass's values are
    // taken: the serial number and software version from the registers this
    // pass read; the model text from its identification report, which a
    // serial line carries (Modbus/TCP has none), asked when the link's
    // site announces it, at the first pass the meter answers and again only
    // for another serial number (another meter at the address); a single
    // cycle, which announces nothing, does without it. The report is one exchange of its own, counted with the meter's,
    // that leaves the register image alone.
    void FillIdentity(TMeterReading& reading, TModelReport& model)
    {
        if (!reading.Answered)
            return;
        if (link_->LatestReadOk(RegisterMap::SerialNumber))
            reading.SerialNumber = link_->GetRegister(RegisterMap::SerialNumber);
        reading.SoftwareVersion = MeterSoftwareVersion(*link_);
        const bool otherMeter =
            model.SerialNumber && reading.SerialNumber && model.SerialNumber != reading.SerialNumber;
        if ((!model.Asked || otherMeter) && site_.AskModel && !once_ && !link_->TCP() && link_->Active())
            model = {.Asked = true, .SerialNumber = reading.SerialNumber, .Text = ModelText(reading.Counters.Meter)};
        else if (!model.SerialNumber)
            model.SerialNumber = reading.SerialNumber;
        reading.Model = model.Text;
    }

    // The readable text of the identification report: after an ID byte
    // and a status byte; empty when the meter sent none.
    QString ModelText(const TMeterKey& key)
    {
        try {
            TExchange exchange;
            const QByteArray report = link_->Modbus17(key.Address, abort_, &exchange);
            statistics_.Add(key, exchange, false);
            return QString::fromLatin1(report.mid(2)).trimmed();
        } catch (const std::exception&) {
            return {}; // the port went meanwhile: no report, as from a silent meter
        }
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
                              .Counters = {},
                              .Wiring = {},
                              .LinkStatus = linkStatus_};
        const TMeterKey key{site_.Text, meter.Id.Address, meter.Id.Name};
        if (const TCommCounters* counters = statistics_.Find(key))
            reading.Counters = *counters;
        else
            reading.Counters.Meter = key;
        if (site_.Gateway)
            reading.Gateway = site_.Gateway->Counters[std::size_t(&meter - site_.Meters.data())].Snapshot(meter.Unit);
        return reading;
    }

    // The link's state from what the link says of its changes: "Connected
    // to ...", "Cannot connect to ...", and a lost connection or port in the
    // system's words.
    void NoteLinkState(const QString& text)
    {
        const TLinkStatus::TKind kind = text.startsWith("Connected to ")    ? TLinkStatus::TKind::Connected
                                        : text.startsWith("Cannot connect ") ? TLinkStatus::TKind::Refused
                                                                             : TLinkStatus::TKind::Lost;
        if (kind != TLinkStatus::TKind::Connected)
            linkStatus_.LastError = text;
        SetLinkKind(kind);
    }

    // A meter answered over the link, so it works, whether or not the link
    // says so: a serial port that is back says nothing, nor does a link that
    // connects for each request.
    void NoteLinkWorks() { SetLinkKind(TLinkStatus::TKind::Connected); }

    void SetLinkKind(TLinkStatus::TKind kind)
    {
        if (kind == linkStatus_.Kind)
            return;
        linkStatus_.Kind = kind;
        linkStatus_.Since = QDateTime::currentDateTimeUtc();
    }

    TSiteLink site_;
    std::vector<TRegisterBankEntry> banks_;
    bool once_;
    std::unique_ptr<TKelvane> link_;
    std::vector<TMeterBackOff> backOffs_; // by meter, in the order of the link's meters
    std::vector<TModelReport> models_;    // likewise
    TGatewayTurns turns_;
    TCommStatistics statistics_;
    TLateReplyNotice lateNotice_;
    QTimer cycle_;
    THeldMessages heldStates_;
    TRepeatedMessages linkStates_;
    Clock::time_point next_;
    bool abort_ = false;
    bool busy_ = false;     // the link is on the line, for a pass or a client
    bool cycleDue_ = false; // the cycle's time came while it was
    TLinkStatus linkStatus_;
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
