#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <array>
#include <cstddef>

// The data log: a delimited text file with a header line and one record per
// logging interval, for spreadsheets to read.

// The fixed quantities that can be logged: entry i is the floating-point
// value in registers 768 + 2i and 769 + 2i of the register image.
struct TLogParameter {
    const char* Caption;
    int Decimals;
};

constexpr std::size_t LogParameterCount = 60;

extern const std::array<TLogParameter, LogParameterCount> LogParameters;

using TLogValues = std::array<double, LogParameterCount>;
using TLogSelection = std::array<bool, LogParameterCount>;

namespace LogFile {

// The logging interval in seconds: 60 by default, 5 to 3600 accepted.
constexpr int DefaultFrequency = 60;
constexpr bool IsValidFrequency(int seconds)
{
    return seconds >= 5 && seconds <= 3600;
}
// True when text is a whole number of seconds from 5 to 3600, then in seconds.
bool ParseFrequency(const QString& text, int& seconds);
// The interval a text stands for: 60 unless ParseFrequency accepts it.
int FrequencyFromText(const QString& text);

// ";" where the decimal separator is a comma, else ",".
QString ListSeparator(const QLocale& locale);
// The locale's short date format, with a two-digit year widened to four.
QString DateFormat(const QLocale& locale);
// The locale's long time format without its time zone: hours to seconds.
QString TimeFormat(const QLocale& locale);
// A value in fixed-point with the given decimals, the locale's decimal
// separator and no thousands separators; empty for a value that is not a
// finite number.
QString FormatValue(double value, int decimals, const QLocale& locale);

// "Date", "Time" and the captions of the selected entries, ended by CR LF.
QString HeaderLine(const TLogSelection& selected, const QLocale& locale);
// The date and time of `now` and the selected values, ended by CR LF.
QString RecordLine(const TLogValues& values, const TLogSelection& selected, const QDateTime& now,
                   const QLocale& locale);

// The file of one meter's records beside the file named in the logging
// dialog, so that no file mixes meters: "<stem>-<name>-<address>.<suffix>"
// for a meter of the meter list and "<stem>-address-<address>.<suffix>" for
// an address that is not in it; "/data/log.csv" gives
// "/data/log-Plant_A-3.csv" for "Plant A" at address 3. The name keeps its
// letters, digits, '-' and '_' and has '_' for every other character (a
// space, a '/', a '.'), so that it stays one file name in any folder and the
// suffix stays the last; the address always comes last, so that two
// addresses never share a file. A name without a file part (a folder) is
// returned as it is, for the write to refuse.
QString MeterFileName(const QString& named, const QString& meterName, int address);
// True when a file of some meter's records beside `named` exists.
bool MeterFilesExist(const QString& named);

// What the path names when it exists and is not a regular file: "a
// directory", "a FIFO (named pipe)", "a character device", "a block device",
// "a socket" or "a special file". Empty for a regular file, a symbolic link
// to one and a path that does not exist yet.
QString SpecialFileKind(const QString& fileName);

// What became of a record: written, or why not.
struct TAppendResult {
    bool Written = false;
    // The system's error number of the failure (EACCES for a file that nobody
    // may write to, EISDIR for a directory); 0 when written, and for a path
    // that is not a regular file where no error number applies.
    int Error = 0;
    // SpecialFileKind of the path when it is not a regular file.
    QString SpecialKind;
};

// Appends one record to the file, with the header first when the file is
// new or empty, and a line end first when the file's last line has none.
// The lines go to the end of the file in one write of all their bytes.
// The record is written whole or not at all: an existing file without write
// permission, a file that cannot be opened and a write that fails all give
// Written false, and a failed write is cut back to the file's previous size.
// Only a regular file is written: a FIFO, a device, a socket or a directory
// is refused before it is opened, and the file is opened without blocking,
// so that a path replaced by a FIFO meanwhile is refused too instead of
// hanging the caller or receiving a header before every record.
TAppendResult AppendRecordTo(const QString& fileName, const QString& header, const QString& record);
// AppendRecordTo(...).Written.
bool AppendRecord(const QString& fileName, const QString& header, const QString& record);
// Why a record was not written, in words: the system's text for the error
// ("Permission denied"), or what the path is when it is not a regular file.
QString FailureReason(const TAppendResult& result);

// Appends the record of the selected values at the current date and time,
// with the header when the file is new, as AppendRecordTo does.
TAppendResult WriteRecordTo(const QString& fileName, const TLogValues& values, const TLogSelection& selected,
                            const QLocale& locale);
// WriteRecordTo(...).Written.
bool WriteRecord(const QString& fileName, const TLogValues& values, const TLogSelection& selected,
                 const QLocale& locale);

} // namespace LogFile
