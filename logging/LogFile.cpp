#include "LogFile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cmath>

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

// False when the file's last byte is not a line feed, as in a file that
// another program cut short in the middle of a line. A file that cannot be
// read is taken to end properly.
bool EndsWithLineEnd(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0 || !file.seek(file.size() - 1))
        return true;
    char last = 0;
    return !file.getChar(&last) || last == '\n';
}

} // namespace

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

bool AppendRecord(const QString& fileName, const QString& header, const QString& record)
{
    const QFileInfo info(fileName);
    constexpr auto anyWrite = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    // A file nobody may write to is read-only even for root, who could still open it.
    if (info.exists() && (!(info.permissions() & anyWrite) || !info.isWritable()))
        return false;

    QFile file(fileName);
    if (fileName.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    const qint64 previousSize = file.size();
    // An empty file has no header yet, whether it was created now or earlier.
    // A record never runs on from a broken last line: it starts a line of
    // its own.
    QString start;
    if (previousSize == 0)
        start = header;
    else if (!EndsWithLineEnd(fileName))
        start = LineEnd;
    const QByteArray lines = (start + record).toUtf8();
    if (file.write(lines) == lines.size() && file.flush())
        return true;
    // A full disk or a size limit may have let part of the lines through.
    file.resize(previousSize);
    return false;
}

bool WriteRecord(const QString& fileName, const TLogValues& values, const TLogSelection& selected,
                 const QLocale& locale)
{
    // One reading of the clock, so that a record near midnight never pairs
    // one day's date with the next day's time.
    const QDateTime now = QDateTime::currentDateTime();
    return AppendRecord(fileName, HeaderLine(selected, locale), RecordLine(values, selected, now, locale));
}

} // namespace LogFile
