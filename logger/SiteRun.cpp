#include "SiteRun.h"

#include "CsvOutput.h"
#include "LinkRunner.h"
#include "LoggerMessages.h"
#include "QuantityTable.h"
#include "StateReports.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocale>

#include <cstdio>
#include <map>

namespace {

using Clock = TSiteOutput::Clock;

// From a stop request to the end of the run: the links get a part of it to
// end their passes, the outputs what is left of it.
constexpr std::chrono::milliseconds LinksStopTime{400};
constexpr std::chrono::milliseconds StopTime{900};

// Whether a meter answers, said once per change.
struct TMeterAnswers {
    QString Said; // the meter as the messages name it
    TStateReport Report;
};

// The links of a site, read at the same time, and what becomes of their
// readings: each goes to every output. Read once, a failure is said once,
// at the end: --once only prints.
class TSite {
public:
    TSite(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks, bool once, TSiteOutputs outputs)
        : outputs_(std::move(outputs)), once_(once)
    {
        // One cycle of a single link is read in the main thread, which
        // would only wait for a thread of its own.
        const auto thread = once && links.size() == 1 ? TLinkRunner::TThread::Callers : TLinkRunner::TThread::Own;
        for (TSiteLink& link : links) {
            for (const TSiteMeter& meter : link.Meters)
                answers_.try_emplace(meter.Id.Name, TMeterAnswers{MeterSaid(link, meter), {}});
            runners_.push_back(std::make_unique<TLinkRunner>(std::move(link), banks, once, thread));
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
        return ended;
    }

    const std::vector<std::unique_ptr<TLinkRunner>>& Runners() const { return runners_; }
    const std::map<QString, TMeterReading>& Latest() const { return latest_; }

private:
    void Take(const TMeterReading& reading)
    {
        if (!once_) {
            TMeterAnswers& answers = answers_.at(reading.Meter.Name);
            answers.Report.Note(reading.Answered,
                                QString("no answer from the meter %1: %2; its values stay empty").arg(answers.Said, reading.Failure),
                                QString("the meter %1 answers again").arg(answers.Said));
        }
        for (const auto& output : outputs_)
            output->Publish(reading);
        latest_[reading.Meter.Name] = reading;
    }

    TSiteOutputs outputs_;
    const bool once_;
    std::map<QString, TMeterAnswers> answers_; // by meter name
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

// The line that starts the run of a link: the one meter of the switches
// with its file, a site's link with its meters.
QString StartText(const TSiteLink& link)
{
    const double seconds = double(link.Interval.count()) / 1000;
    if (link.OneMeter)
        return QString("logging the meter %1 every %2 s into %3")
            .arg(MeterSaid(link, link.Meters.front()))
            .arg(seconds)
            .arg(link.Meters.front().File);
    QStringList meters;
    for (const TSiteMeter& meter : link.Meters)
        meters << QString("\"%1\" at %2").arg(meter.Id.Name).arg(meter.Id.Address);
    return QString("%1: logging %2 every %3 s").arg(link.Text, meters.join(", ")).arg(seconds);
}

// A meter's reading as --once prints it: a site's meter under its name, the
// one meter of the switches alone, as a table or, with --csv, as its log
// file's header and record.
QString Printed(const TSiteLink& link, const TSiteMeter& meter, const TMeterReading& reading, bool csv)
{
    const QLocale locale = QLocale::system();
    const TLogValues values = LoggedValues(reading);
    if (csv)
        return LogFile::HeaderLine(meter.Selection, locale) +
               LogFile::RecordLine(values, meter.Selection, reading.Time.toLocalTime(), locale);
    const QString table = QuantityTable(values, meter.Selection, locale);
    return link.OneMeter ? table : QString("%1\n%2\n").arg(MeterText(meter.Id), table);
}

} // namespace

int RunSite(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks,
            TSiteOutputs outputs, TStopSignals& stopSignals)
{
    for (const TSiteLink& link : links)
        LoggerMessage(StartText(link));
    TSite site(std::move(links), banks, false, std::move(outputs));
    if (!RunUntilDone(site, stopSignals))
        EndNow(0);
    LoggerMessage("stopped");
    return 0;
}

int ReadSiteOnce(std::vector<TSiteLink> links, const std::vector<TRegisterBankEntry>& banks, TSiteOutputs outputs,
                 TStopSignals& stopSignals, bool csv)
{
    const std::vector<TSiteLink> order = links;
    TSite site(std::move(links), banks, true, std::move(outputs));
    if (!RunUntilDone(site, stopSignals))
        EndNow(1);
    if (stopSignals.StopRequested())
        return 1;
    site.Stop();
    bool complete = true;
    QString printed;
    for (const TSiteLink& link : order) {
        for (const TSiteMeter& meter : link.Meters) {
            const TMeterReading& reading = site.Latest().at(meter.Id.Name);
            complete = complete && reading.Complete;
            if (!reading.Complete)
                LoggerMessage(QString("no answer from the meter %1: %2").arg(MeterSaid(link, meter), reading.Failure));
            printed += Printed(link, meter, reading, csv);
        }
    }
    PrintToStdout(printed);
    return complete ? 0 : 1;
}
