#include "LogFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const std::array<TLogParameter, LogParameterCount> LogParameters{{
    {"Total Energy Consumption", 3},
    {"Total Real Power", 3},
    {"Total Reactive Power", 3},
    {"Total Apparent Power", 3},
    {"Average Voltage (L-N)", 1},
    {"Average Voltage (L-L)", 1},
    {"Average Current", 1},
    {"Total (System) Power Factor", 3},
    {"Frequency", 1},
    {"Sliding Window Demand Power", 3},
    {"Voltage A-N", 1},
    {"Voltage B-N", 1},
    {"Voltage C-N", 1},
    {"Voltage A-B", 1},
    {"Voltage B-C", 1},
    {"Voltage A-C", 1},
    {"Current A", 3},
    {"Current B", 3},
    {"Current C", 3},
    {"Real Power A", 3},
    {"Real Power B", 3},
    {"Real Power C", 3},
    {"Reactive Power A", 3},
    {"Reactive Power B", 3},
    {"Reactive Power C", 3},
    {"Apparent Power A", 3},
    {"Apparent Power B", 3},
    {"Apparent Power C", 3},
    {"Power Factor A", 3},
    {"Power Factor B", 3},
    {"Power Factor C", 3},
    {"Software Version", 3},
    {"Import Energy (+) A", 3},
    {"Import Energy (+) B", 3},
    {"Import Energy (+) C", 3},
    {"Total Import Energy (+) A+B+C", 3},
    {"Export Energy (-) A", 3},
    {"Export Energy (-) B", 3},
    {"Export Energy (-) C", 3},
    {"Total Export Energy (-) A+B+C", 3},
    {"Total Energy (+/-) A", 3},
    {"Total Energy (+/-) B", 3},
    {"Total Energy (+/-) C", 3},
    {"Total Energy (+/-) A+B+C", 3},
    {"Inductive Energy (+) A", 3},
    {"Inductive Energy (+) B", 3},
    {"Inductive Energy (+) C", 3},
    {"Total Inductive Energy (+) A+B+C", 3},
    {"Capactive Energy (-) A", 3},
    {"Capactive Energy (-) B", 3},
    {"Capactive Energy (-) C", 3},
    {"Total Capactive Energy (-) A+B+C", 3},
    {"Total VARh (+/-) A", 3},
    {"Total VARh (+/-) B", 3},
    {"Total VARh (+/-) C", 3},
    {"Total VARh (+/-) A+B+C", 3},
    {"Total VAh A", 3},
    {"Total VAh B", 3},
    {"Total VAh C", 3},
    {"Total VAh A+B+C", 3},
}};

namespace LogFile {

namespace {

const QString LineEnd = "\r\n";

// Removes every unquoted run of the letter `letter` from a date or time format.
QString RemoveFormatLetter(const QString& format, QChar letter)
{
    QString result;
    bool quoted = false;
    for (QChar c : format) {
        if (c == '\'')
            quoted = !quoted;
        if (quoted || c != letter)
            result += c;
    }
    return result;
}

QString JoinLine(const QStringList& fields, const QLocale& locale)
{
    return fields.join(ListSeparator(locale)) + LineEnd;
}

// Closes a file descriptor when it goes out of scope.
class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : fd_(fd) {}
    ~TFileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

QString KindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return QString();
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO (named pipe)";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a special file";
}

TAppendResult NotRegular(mode_t mode)
{
    TAppendResult result;
    result.SpecialKind = KindOf(mode);
    // The error that opening a directory for writing gives.
    if (S_ISDIR(mode))
        result.Error = EISDIR;
    return result;
}

TAppendResult Failure(int error)
{
    TAppendResult result;
    result.Error = error;
    return result;
}

// False when the file's last byte is not a line feed, as in a file that
// another program cut short in the middle of a line. written is the file as
// opened for the record; a file that cannot be read, or that is no longer
// the same file under its name, is taken to end properly.
bool EndsWithLineEnd(const QByteArray& path, const struct stat& written)
{
    const TFileDescriptor file(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0 || status.st_dev != written.st_dev ||
        status.st_ino != written.st_ino || status.st_size == 0)
        return true;
    char last = 0;
    return ::pread(file.Get(), &last, 1, status.st_size - 1) != 1 || last == '\n';
}

// Writes all the bytes, or gives the error that stopped it.
int WriteAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        if (written == 0)
            return EIO;
        done += written;
    }
    return 0;
}

// The named file's folder as written, its stem and its suffix with the dot;
// a leading dot starts a hidden file's name, not a suffix.
struct TNamedFile {
    QString Folder;
    QString Stem;
    QString Suffix;
};

TNamedFile SplitNamed(const QString& named)
{
    const qsizetype slash = named.lastIndexOf('/');
    const QString file = named.mid(slash + 1);
    const qsizetype dot = file.lastIndexOf('.');
    if (dot <= 0)
        return {named.left(slash + 1), file, QString()};
    return {named.left(slash + 1), file.left(dot), file.mid(dot)};
}

QString FileNamePart(const QString& meterName)
{
    QString part = meterName;
    for (QChar& c : part)
        if (!c.isLetterOrNumber() && c != '-' && c != '_')
            c = '_';
    return part;
}

} // namespace

QString MeterFileName(const QString& named, const QString& meterName, int address)
{
    const TNamedFile split = SplitNamed(named);
    if (split.Stem.isEmpty() && split.Suffix.isEmpty())
        return named;
    const QString meter = meterName.isEmpty() ? QString("address") : FileNamePart(meterName);
    return split.Folder + split.Stem + '-' + meter + '-' + QString::number(address) + split.Suffix;
}

bool MeterFilesExist(const QString& named)
{
    const TNamedFile split = SplitNamed(named);
    const QRegularExpression meterFile("^" + QRegularExpression::escape(split.Stem) + "-.+-\\d+" +
                                       QRegularExpression::escape(split.Suffix) + "$");
    const QDir folder(split.Folder.isEmpty() ? QString(".") : split.Folder);
    const QStringList files = folder.entryList(QDir::Files | QDir::Hidden);
    return std::any_of(files.begin(), files.end(), [&](const QString& file) { return meterFile.match(file).hasMatch(); });
}

bool ParseFrequency(const QString& text, int& seconds)
{
    bool ok = false;
    seconds = text.trimmed().toInt(&ok);
    return ok && IsValidFrequency(seconds);
}

int FrequencyFromText(const QString& text)
{
    int seconds = 0;
    return ParseFrequency(text, seconds) ? seconds : DefaultFrequency;
}

QString ListSeparator(const QLocale& locale)
{
    return locale.decimalPoint() == "," ? ";" : ",";
}

QString DateFormat(const QLocale& locale)
{
    QString format = locale.dateFormat(QLocale::ShortFormat);
    // Spreadsheets and readers years later should not have to guess the century.
    if (!format.contains("yyyy"))
        format.replace("yy", "yyyy");
    return format;
}

QString TimeFormat(const QLocale& locale)
{
    // The zone name would make every value of the column a text, not a time.
    QString format = RemoveFormatLetter(locale.timeFormat(QLocale::LongFormat), 't');
    format.remove("()");
    return format.trimmed();
}

QString FormatValue(double value, int decimals, const QLocale& locale)
{
    if (!std::isfinite(value))
        return QString();
    // Digits stay ASCII whatever the locale, as spreadsheets expect.
    QString text = QString::number(value, 'f', decimals);
    text.replace('.', locale.decimalPoint());
    return text;
}

QString HeaderLine(const TLogSelection& selected, const QLocale& locale)
{
    QStringList fields{"Date", "Time"};
    for (std::size_t i = 0; i < LogParameterCount; ++i)
        if (selected[i])
            fields << LogParameters[i].Caption;
    return JoinLine(fields, locale);
}

QString RecordLine(const TLogValues& values, const TLogSelection& selected, const QDateTime& now,
                   const QLocale& locale)
{
    QStringList fields{locale.toString(now.date(), DateFormat(locale)),
                       locale.toString(now.time(), TimeFormat(locale))};
    for (std::size_t i = 0; i < LogParameterCount; ++i)
        if (selected[i])
            fields << FormatValue(values[i], LogParameters[i].Decimals, locale);
    return JoinLine(fields, locale);
}

QString SpecialFileKind(const QString& fileName)
{
    struct stat status {};
    if (fileName.isEmpty() || ::stat(QFile::encodeName(fileName).constData(), &status) != 0)
        return QString();
    return KindOf(status.st_mode);
}

TAppendResult AppendRecordTo(const QString& fileName, const QString& header, const QString& record)
{
    if (fileName.isEmpty())
        return Failure(ENOENT);
    const QByteArray path = QFile::encodeName(fileName);
    struct stat status {};
    if (::stat(path.constData(), &status) == 0) {
        // A FIFO or a device is not even opened: opening one may have effects.
        if (!S_ISREG(status.st_mode))
            return NotRegular(status.st_mode);
        // A file nobody may write to is read-only even for root, who could still open it.
        if (!(status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
            return Failure(EACCES);
    }
    // Without blocking: a path that became a FIFO since the check above
    // fails to open when nobody reads it, and is refused below when someone does.
    const TFileDescriptor file(
        ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (file.Get() < 0)
        return Failure(errno);
    if (::fstat(file.Get(), &status) != 0)
        return Failure(errno);
    if (!S_ISREG(status.st_mode))
        return NotRegular(status.st_mode);

    const off_t previousSize = status.st_size;
    // An empty file has no header yet, whether it was created now or earlier.
    // A record never runs on from a broken last line: it starts a line of
    // its own.
    QString start;
    if (previousSize == 0)
        start = header;
    else if (!EndsWithLineEnd(path, status))
        start = LineEnd;
    const int error = WriteAll(file.Get(), (start + record).toUtf8());
    if (error == 0) {
        TAppendResult result;
        result.Written = true;
        return result;
    }
    // A full disk or a size limit may have let part of the lines through.
    [[maybe_unused]] const int ignored = ::ftruncate(file.Get(), previousSize);
    return Failure(error);
}

bool AppendRecord(const QString& fileName, const QString& header, const QString& record)
{
    return AppendRecordTo(fileName, header, record).Written;
}

QString FailureReason(const TAppendResult& result)
{
    const QString system = QString::fromLocal8Bit(std::strerror(result.Error));
    if (result.SpecialKind.isEmpty())
        return system;
    const QString kind = QString("it is %1, not a regular file").arg(result.SpecialKind);
    return result.Error != 0 ? QString("%1 (%2)").arg(kind, system) : kind;
}

TAppendResult WriteRecordTo(const QString& fileName, const TLogValues& values, const TLogSelection& selected,
                            const QLocale& locale)
{
    // One reading of the clock, so that a record near midnight never pairs
    // one day's date with the next day's time.
    const QDateTime now = QDateTime::currentDateTime();
    return AppendRecordTo(fileName, HeaderLine(selected, locale), RecordLine(values, selected, now, locale));
}

bool WriteRecord(const QString& fileName, const TLogValues& values, const TLogSelection& selected,
                 const QLocale& locale)
{
    return WriteRecordTo(fileName, values, selected, locale).Written;
}

} // namespace LogFile
