#include "CsvOutput.h"

#include "LoggerMessages.h"

#include <algorithm>
#include <limits>

TCsvOutput::TCsvOutput(const std::vector<TSiteLink>& links) : locale_(QLocale::system())
{
    for (const TSiteLink& link : links)
        for (const TSiteMeter& meter : link.Meters)
            if (!meter.File.isEmpty())
                files_.try_emplace(meter.Id.Name, TMeterFile{meter.File, meter.Selection,
                                                             LogFile::HeaderLine(meter.Selection, locale_),
                                                             TFileReport(meter.File)});
}

bool TCsvOutput::Wanted(const std::vector<TSiteLink>& links)
{
    return std::any_of(links.begin(), links.end(), [](const TSiteLink& link) {
        return std::any_of(link.Meters.begin(), link.Meters.end(),
                           [](const TSiteMeter& meter) { return !meter.File.isEmpty(); });
    });
}

// The pass's own time for the record and for the report of its loss, so
// that a record near midnight never pairs one day's date with the next
// day's time.
void TCsvOutput::Publish(const TMeterReading& reading)
{
    const auto found = files_.find(reading.Meter.Name);
    if (found == files_.end())
        return;
    TMeterFile& file = found->second;
    const QDateTime time = reading.Time.toLocalTime();
    file.Report.Note(LogFile::AppendRecordTo(file.FileName, file.Header,
                                             LogFile::RecordLine(LoggedValues(reading), file.Selection, time, locale_)),
                     time);
}

// Each record is written as it comes: at the end there is only the loss
// still under way to say.
void TCsvOutput::Finish(Clock::time_point)
{
    for (const auto& [name, file] : files_)
        file.Report.NoteEnd();
}

TLogValues LoggedValues(const TMeterReading& reading)
{
    TLogValues values;
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = reading.Values[i].value_or(std::numeric_limits<double>::quiet_NaN());
    return values;
}

bool LogFileUsable(const QString& fileName)
{
    const QString kind = LogFile::SpecialFileKind(fileName);
    if (kind.isEmpty())
        return true;
    LoggerMessage(QString("the log file \"%1\" is %2, not a regular file; give the path of a regular file, "
                          "or of one to create")
                      .arg(fileName, kind));
    return false;
}
