// The log file's lines and the rule that a record is written whole or not at all.

#include "LogFile.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

const QLocale German(QLocale::German, QLocale::Germany);
const QLocale American(QLocale::English, QLocale::UnitedStates);
const QDateTime Evening(QDate(2026, 12, 7), QTime(21, 5, 0));

TLogSelection Select(std::initializer_list<std::size_t> entries)
{
    TLogSelection selected{};
    for (std::size_t i : entries)
        selected[i] = true;
    return selected;
}

TLogValues ValuesWith(std::initializer_list<std::pair<std::size_t, double>> entries)
{
    TLogValues values{};
    for (auto [i, v] : entries)
        values[i] = v;
    return values;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// Limits the size of files this process writes, for the life of the object;
// SIGXFSZ is ignored so that an oversized write fails with EFBIG instead of
// ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{bytes, previous_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

} // namespace

TEST(LogParametersTest, CaptionsAndDecimalsOfTheTable)
{
    ASSERT_EQ(LogParameters.size(), 60u);
    EXPECT_STREQ(LogParameters[0].Caption, "Total Energy Consumption");
    EXPECT_STREQ(LogParameters[8].Caption, "Frequency");
    EXPECT_STREQ(LogParameters[31].Caption, "Software Version");
    EXPECT_STREQ(LogParameters[48].Caption, "Capactive Energy (-) A");
    EXPECT_STREQ(LogParameters[59].Caption, "Total VAh A+B+C");
    for (std::size_t i = 0; i < LogParameters.size(); ++i) {
        const bool oneDecimal = i == 4 || i == 5 || i == 6 || i == 8 || (i >= 10 && i <= 15);
        EXPECT_EQ(LogParameters[i].Decimals, oneDecimal ? 1 : 3) << "entry " << i;
    }
}

TEST(LogLineTest, HeaderHoldsDateTimeAndTheSelectedCaptionsInIndexOrder)
{
    EXPECT_EQ(LogFile::HeaderLine(Select({8, 0, 48}), German),
              "Date;Time;Total Energy Consumption;Frequency;Capactive Energy (-) A\r\n");
    EXPECT_EQ(LogFile::HeaderLine(Select({8, 0}), American), "Date,Time,Total Energy Consumption,Frequency\r\n");
}

TEST(LogLineTest, NoEntrySelectedGivesDateAndTimeOnly)
{
    EXPECT_EQ(LogFile::HeaderLine(TLogSelection{}, German), "Date;Time\r\n");
    EXPECT_EQ(LogFile::RecordLine(ValuesWith({{0, 1}}), TLogSelection{}, Evening, German), "07.12.2026;21:05:00\r\n");
}

TEST(LogLineTest, RecordsInCommaAndPointLocales)
{
    const TLogValues values = ValuesWith({{0, 1234.5671}, {8, 50.04}, {16, -0.5}});
    const TLogSelection selected = Select({0, 8, 16});
    EXPECT_EQ(LogFile::RecordLine(values, selected, Evening, German), "07.12.2026;21:05:00;1234,567;50,0;-0,500\r\n");
    EXPECT_EQ(LogFile::RecordLine(values, selected, Evening, American),
              "12/7/2026,9:05:00 PM,1234.567,50.0,-0.500\r\n");
}

TEST(LogLineTest, LargeValuesHaveNoThousandsSeparators)
{
    EXPECT_EQ(LogFile::FormatValue(1234567.891, 3, German), "1234567,891");
    EXPECT_EQ(LogFile::FormatValue(1234567.891, 1, American), "1234567.9");
}

TEST(LogLineTest, ValuesThatAreNoNumberGiveEmptyFields)
{
    EXPECT_EQ(LogFile::FormatValue(std::numeric_limits<double>::quiet_NaN(), 3, German), "");
    EXPECT_EQ(LogFile::FormatValue(std::numeric_limits<double>::infinity(), 1, American), "");
}

TEST(LogLineTest, TimeFormatsKeepSecondsAndDropTheZone)
{
    for (const QLocale& locale : {German, American, QLocale(QLocale::English, QLocale::UnitedKingdom),
                                  QLocale(QLocale::French, QLocale::France), QLocale(QLocale::Japanese)}) {
        const QString format = LogFile::TimeFormat(locale);
        EXPECT_TRUE(format.contains("ss")) << format.toStdString();
        EXPECT_FALSE(format.contains('t')) << format.toStdString();
        EXPECT_EQ(format, format.trimmed());
        EXPECT_TRUE(LogFile::DateFormat(locale).contains("yyyy")) << LogFile::DateFormat(locale).toStdString();
    }
}

TEST(LogLineTest, ListSeparatorFollowsTheDecimalSeparator)
{
    EXPECT_EQ(LogFile::ListSeparator(German), ";");
    EXPECT_EQ(LogFile::ListSeparator(QLocale(QLocale::French, QLocale::France)), ";");
    EXPECT_EQ(LogFile::ListSeparator(American), ",");
}

class AppendRecordTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath("log.csv");
};

TEST_F(AppendRecordTest, HeaderOnlyWhenTheFileIsNewOrEmpty)
{
    ASSERT_TRUE(LogFile::AppendRecord(path, "H\r\n", "r1\r\n"));
    ASSERT_TRUE(LogFile::AppendRecord(path, "H\r\n", "r2\r\n"));
    EXPECT_EQ(ReadAll(path), "H\r\nr1\r\nr2\r\n");

    WriteAll(dir.filePath("empty.csv"), {});
    ASSERT_TRUE(LogFile::AppendRecord(dir.filePath("empty.csv"), "H\r\n", "r\r\n"));
    EXPECT_EQ(ReadAll(dir.filePath("empty.csv")), "H\r\nr\r\n");
}

// A file that another program cut short in the middle of a line: the next
// record starts a line of its own instead of running into the broken one.
TEST_F(AppendRecordTest, RecordAfterABrokenLastLineStartsOnANewLine)
{
    const struct {
        const char* name;
        QByteArray before;
        QByteArray after;
    } cases[] = {
        {"CutInAValue", "H\r\nr1,12", "H\r\nr1,12\r\nr2\r\n"},
        {"CutBetweenCrAndLf", "H\r\nr1\r", "H\r\nr1\r\r\nr2\r\n"},
        {"HeaderOnlyCut", "Da", "Da\r\nr2\r\n"},
        {"WholeLines", "H\r\nr1\r\n", "H\r\nr1\r\nr2\r\n"},
        {"LineFeedOnly", "H\nr1\n", "H\nr1\nr2\r\n"},
    };
    for (const auto& c : cases) {
        WriteAll(path, c.before);
        EXPECT_TRUE(LogFile::AppendRecord(path, "H\r\n", "r2\r\n")) << c.name;
        EXPECT_EQ(ReadAll(path), c.after) << c.name;
    }
}

TEST_F(AppendRecordTest, DeletedFileComesBackWithAHeader)
{
    ASSERT_TRUE(LogFile::AppendRecord(path, "H\r\n", "r1\r\n"));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(LogFile::AppendRecord(path, "H\r\n", "r2\r\n"));
    EXPECT_EQ(ReadAll(path), "H\r\nr2\r\n");
}

TEST_F(AppendRecordTest, ReadOnlyFileIsLeftAloneEvenForRoot)
{
    WriteAll(path, "H\r\nr1\r\n");
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    EXPECT_FALSE(LogFile::AppendRecord(path, "H\r\n", "r2\r\n"));
    EXPECT_EQ(ReadAll(path), "H\r\nr1\r\n");

    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    EXPECT_TRUE(LogFile::AppendRecord(path, "H\r\n", "r2\r\n"));
    EXPECT_EQ(ReadAll(path), "H\r\nr1\r\nr2\r\n");
}

TEST_F(AppendRecordTest, FilesThatCannotBeOpenedFail)
{
    for (const QString& name : {QString(), dir.filePath("no/such/folder/log.csv"), dir.path()}) {
        EXPECT_FALSE(LogFile::AppendRecord(name, "H\r\n", "r\r\n")) << name.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("no/such/folder/log.csv")));
}

TEST_F(AppendRecordTest, WriteThatFailsPartWayLeavesTheFileAsItWas)
{
    const QByteArray before = "H\r\nr1\r\n";
    WriteAll(path, before);
    {
        const FileSizeLimit limit(before.size() + 4);
        EXPECT_FALSE(LogFile::AppendRecord(path, "H\r\n", "a record longer than four bytes\r\n"));
    }
    EXPECT_EQ(ReadAll(path), before);
    // Room again: the next record goes through.
    EXPECT_TRUE(LogFile::AppendRecord(path, "H\r\n", "r2\r\n"));
    EXPECT_EQ(ReadAll(path), before + "r2\r\n");
}

TEST_F(AppendRecordTest, NewFileWhoseHeaderDoesNotFitIsLeftEmptyAndGetsItsHeaderLater)
{
    {
        const FileSizeLimit limit(2);
        EXPECT_FALSE(LogFile::AppendRecord(path, "Header\r\n", "r1\r\n"));
    }
    EXPECT_EQ(ReadAll(path), "");
    EXPECT_TRUE(LogFile::AppendRecord(path, "Header\r\n", "r2\r\n"));
    EXPECT_EQ(ReadAll(path), "Header\r\nr2\r\n");
}
