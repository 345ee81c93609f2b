#include "SiteRun.h"

#include "LinkRunner.h"
#include "LoggerMessages.h"
#include "QuantityTable.h"
#include "StateReports.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocale>

#include <cstdio>
#include <limits>
#include <map>

namespace {

using Clock = TSiteOutput::Clock;

// From a stop request to the end of the run: the links get a part of it to
// end their passes, the outputs what is left of it.
constexpr std::chrono::milliseconds LinksStopTime{400};
constexpr std::chrono::milliseconds StopTime{900};

TLogValues LoggedValues(const TMeterReading& reading)
{
    TLogValues values;
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = reading.Values[i].value_or(std::numeric_limits<double>::quiet_NaN());
    return values;
}

// One meter's reports and its log file.
struct TMeterLog {
    TSiteMeter Meter;
    TStateReport Answers;
    TFileReport File;
    QString Header;
};

// The links of a site, read at the same time, and what becomes of their
// readings. Read once, the meters' files are left alone and a failure is
// said once, at the end: --once only prints.
class TSite {
public:
    TSite(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks, bool once, TSiteOutputs outputs)
        : outputs_(std::move(outputs)), once_(once)
    {
        const QLocale locale = QLocale::system();
        for (TSiteLink& link : links) {
            for (const TSiteMeter& meter : link.Meters)
                logs_.try_emplace(meter.Id.Name, TMeterLog{meter, {}, TFileReport(meter.File),
                                                           LogFile::HeaderLine(meter.Selection, locale)});
            runners_.push_back(std::make_unique<TLinkRunner>(std::move(link), banks, once));
            QObject::connect(runners_.back().get(), &TLinkRunner::Reading,
                             [this](const TMeterReading& reading) { Take(reading); });
            QObject::connect(runners_.back().get(), &TLinkRunner::Finished, [this] {
                if (++finished_ == runners_.size())
                    QCoreApplication::exit(0);
            });
        }
    }

    void Start()
    {
        for (const auto& runner : runners_)
            runner->Start();
    }

    // Ends the passes under way and hands what was read before to the
    // outputs within the stop time. False when a link did not end in time.
    bool Stop()
    {
        const auto stopped = Clock::now();
        for (const auto& runner : runners_)
            runner->Stop();
        bool ended = true;
        for (const auto& runner : runners_) {
            if (!runner->Wait(QDeadlineTimer(stopped + LinksStopTime))) {
                LoggerMessage(QString("%1: the pass under way did not end in time").arg(runner->Link().Text));
                ended = false;
            }
        }
        // The readings the links made before they ended, still queued.
        QCoreApplication::sendPostedEvents();
        for (const auto& output : outputs_)
            output->Finish(stopped + StopTime);
        for (const auto& [name, log] : logs_)
            log.File.NoteEnd();
        return ended;
    }

    const std::vector<std::unique_ptr<TLinkRunner>>& Runners() const { return runners_; }
    const std::map<QString, TMeterReading>& Latest() const { return latest_; }

private:
    void Take(const TMeterReading& reading)
    {
        TMeterLog& log = logs_.at(reading.Meter.Name);
        const QString meter = MeterText(reading.Meter);
        if (!once_)
            log.Answers.Note(reading.Answered,
                             QString("no answer from the meter %1: %2; its values stay empty").arg(meter, reading.Failure),
                             QString("the meter %1 answers again").arg(meter));
        if (!once_ && !log.Meter.File.isEmpty()) {
            const QDateTime now = reading.Time.toLocalTime();
            log.File.Note(LogFile::AppendRecordTo(log.Meter.File, log.Header,
                                                  LogFile::RecordLine(LoggedValues(reading), log.Meter.Selection, now,
                                                                      QLocale::system())),
                          now);
        }
        for (const auto& output : outputs_)
            output->Publish(reading);
        latest_[reading.Meter.Name] = reading;
    }

    TSiteOutputs outputs_;
    const bool once_;
    std::map<QString, TMeterLog> logs_;
    std::vector<std::unique_ptr<TLinkRunner>> runners_;
    std::size_t finished_ = 0;
    std::map<QString, TMeterReading> latest_;
};

// Runs the site until its links end or a stop request; false when a link
// did not end in time after a stop.
bool RunUntilDone(TSite& site, TStopSignals& stopSignals)
{
    bool ended = true;
    stopSignals.SetOnStop([&site, &ended] {
        ended = site.Stop();
        QCoreApplication::exit(0);
    });
    site.Start();
    if (!stopSignals.StopRequested())
        QCoreApplication::exec();
    stopSignals.SetOnStop({});
    return ended;
}

// A link that did not end in time holds a thread that cannot be waited for
// any longer: the process ends without it, as the stop was promised.
[[noreturn]] void EndNow(int status)
{
    std::fflush(stdout);
    std::_Exit(status);
}

} // namespace

int RunSite(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks,
            TSiteOutputs outputs, TStopSignals& stopSignals)
{
    for (const TSiteLink& link : links) {
        QStringList meters;
        for (const TSiteMeter& meter : link.Meters)
            meters << QString("\"%1\" at %2").arg(meter.Id.Name).arg(meter.Id.Address);
        LoggerMessage(QString("%1: logging %2 every %3 s").arg(link.Text, meters.join(", ")).arg(double(link.Interval.count()) / 1000));
    }
    TSite site(std::move(links), banks, false, std::move(outputs));
    if (!RunUntilDone(site, stopSignals))
        EndNow(0);
    LoggerMessage("stopped");
    return 0;
}

int ReadSiteOnce(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks, TSiteOutputs outputs, TStopSignals& stopSignals)
{
    const std::vector<TSiteLink> order = links;
    TSite site(std::move(links), banks, true, std::move(outputs));
    if (!RunUntilDone(site, stopSignals))
        EndNow(1);
    if (stopSignals.StopRequested())
        return 1;
    site.Stop();
    bool complete = true;
    QString tables;
    for (const TSiteLink& link : order) {
        for (const TSiteMeter& meter : link.Meters) {
            const TMeterReading& reading = site.Latest().at(meter.Id.Name);
            complete = complete && reading.Complete;
            if (!reading.Complete)
                LoggerMessage(QString("no answer from the meter %1: %2").arg(MeterText(meter.Id), reading.Failure));
            tables += QString("%1\n%2\n").arg(MeterText(meter.Id), QuantityTable(LoggedValues(reading), meter.Selection, QLocale::system()));
        }
    }
    PrintToStdout(tables);
    return complete ? 0 : 1;
}
