// The main window's side of logging: the menu entry, the log timer and the
// records taken from the meter link's register image.

#include "DataLogger.h"
#include "IniFile.h"
#include "KelvaneCOM.h"
#include "LogValues.h"
#include "LoggingUnit.h"
#include "ScriptedServer.h"
#include "WidgetTestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

void PrintTo(const TLogState& state, std::ostream* os)
{
    *os << "{On " << state.On << ", File \"" << state.File.toStdString() << "\", Records " << state.Records
        << ", LastFailure \"" << state.LastFailure.toStdString() << "\"}";
}

namespace {

// The system's words for an error, as the failure reports give them.
QString SystemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

const QString LogError = "Error opening output log file.  Will try again at next logging interval.";

class DataLoggerTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString settings = dir.filePath("kelvane.ini");
    QString logPath = dir.filePath("log-Line_1-1.csv");
    testsupport::LibmodbusServer server;
    std::unique_ptr<testsupport::ScriptedServer> refusing;
    std::unique_ptr<TKelvane> link = std::make_unique<TKelvane>("127.0.0.1", true);
    QStringList memo;
    QAction loggingEnabled{"Enable"};
    std::unique_ptr<TLogging> dialog;
    std::unique_ptr<TDataLogger> logger;
    TMeterKey meter{"127.0.0.1 TCP", 1, "Line 1"};
    QTimer poller;
    // The log timer's ticks.
    int attempts = 0;
    std::vector<TLogState> states;

    void SetUp() override
    {
        link->SetTcpPort(server.Port());
        WriteSettings("[Logging]\nParam0=1\nParam8=1\n");
    }

    void WriteSettings(const QByteArray& content)
    {
        QFile file(settings);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    void CreateLogger()
    {
        dialog = std::make_unique<TLogging>(settings, dir.path());
        logger = std::make_unique<TDataLogger>(*dialog, loggingEnabled, [this](const QString& line) { memo << line; });
        QObject::connect(&poller, &QTimer::timeout, logger.get(), [this] { Pass(); });
        QObject::connect(&logger->LogTimer(), &QTimer::timeout, [this] { ++attempts; });
        poller.start(10);
        QObject::connect(logger.get(), &TDataLogger::StateChanged,
                         [this](const TLogState& state) { states.push_back(state); });
    }

    void Pass() { logger->PassCompleted(meter, *link); }
    void Record() { logger->LoggingTimer(); Pass(); }

    // The message lines that report a failure to write, and those that
    // report writing again.
    int FailureMessages() const { return int(memo.filter(LogError).size()); }
    int RecoveryMessages() const { return int(memo.filter(" works again.").size()); }

    // Puts value as a float into registers reg and reg + 1 in the word order
    // the meter uses (wordOrder 1: second register is the high word).
    void SetFloat(int reg, float value, bool wordOrder = false)
    {
        const auto bits = std::bit_cast<uint32_t>(value);
        const auto high = uint16_t(bits >> 16);
        const auto low = uint16_t(bits & 0xFFFF);
        server.Registers()[reg] = wordOrder ? low : high;
        server.Registers()[reg + 1] = wordOrder ? high : low;
    }

    // Reads registers first to last from the libmodbus server, or, with ok
    // false, from a meter that refuses every request.
    void Read(int first, int last, bool ok)
    {
        if (!refusing)
            refusing = std::make_unique<testsupport::ScriptedServer>(RefuseWithException4);
        link->SetTcpPort(ok ? server.Port() : refusing->Port());
        const bool abort = false;
        const int result = link->ReadRegisters(1, 3, first, last, abort);
        EXPECT_EQ(result == 0, ok) << first << "-" << last << ": " << TKelvane::ErrorCode(result).toStdString();
        link->SetTcpPort(server.Port());
    }

    // The request's MBAP header and unit, then its function with the
    // exception bit and exception 4.
    static testsupport::ScriptedServer::Reply RefuseWithException4(const testsupport::Bytes& request)
    {
        testsupport::Bytes reply(request.begin(), request.begin() + std::min<std::ptrdiff_t>(request.size(), 8));
        reply.resize(8);
        reply[4] = 0;
        reply[5] = 3;
        reply[7] |= 0x80;
        reply.push_back(4);
        return {reply};
    }

    void ReadImage()
    {
        const bool abort = false;
        ASSERT_EQ(link->ReadRegisters(1, 3, 19, 33, abort), 0);
        ASSERT_EQ(link->ReadRegisters(1, 3, 128, 162, abort), 0);
        ASSERT_EQ(link->ReadRegisters(1, 3, 768, 887, abort), 0);
    }

    QStringList LogLines() const { return LogLines(logPath); }
    static QStringList LogLines(const QString& logPath)
    {
        QFile file(logPath);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    }

    // The value fields of a record line (date and time left off).
    static QStringList ValueFields(const QString& line)
    {
        return line.split(LogFile::ListSeparator(QLocale::system())).mid(2);
    }

    static QString Value(double v, int decimals) { return LogFile::FormatValue(v, decimals, QLocale::system()); }

    int WriteMessages() const { return int(memo.filter("Write To Log File ").size()); }

    // Logging on, with the log timer ticking every `ms` milliseconds.
    void LogEvery(int ms)
    {
        loggingEnabled.setChecked(true);
        logger->LoggingChange();
        logger->LogTimer().setInterval(ms);
    }
};

// Answers each message box with `handler` for the life of the object.
class MessageBoxAnswer {
public:
    explicit MessageBoxAnswer(std::function<QMessageBox::StandardButton(const QString& text)> handler)
        : previous_(SetMessageBoxHandler(
              [handler](QWidget*, QMessageBox::Icon, const QString&, const QString& text,
                        QMessageBox::StandardButtons) { return handler(text); }))
    {
    }
    ~MessageBoxAnswer() { SetMessageBoxHandler(previous_); }
    MessageBoxAnswer(const MessageBoxAnswer&) = delete;
    MessageBoxAnswer& operator=(const MessageBoxAnswer&) = delete;

private:
    TMessageBoxHandler previous_;
};

} // namespace

TEST_F(DataLoggerTest, MenuEntryCaptionAndTimerFollowTheCheckMark)
{
    CreateLogger();
    EXPECT_EQ(loggingEnabled.text(), "Enable");
    EXPECT_FALSE(logger->LogTimer().isActive());
    logger->LoggingEnabledClick();
    EXPECT_TRUE(loggingEnabled.isChecked());
    EXPECT_EQ(loggingEnabled.text(), "Enabled");
    EXPECT_TRUE(logger->LogTimer().isActive());
    loggingEnabled.trigger();
    EXPECT_FALSE(loggingEnabled.isChecked());
    EXPECT_EQ(loggingEnabled.text(), "Enable");
    EXPECT_FALSE(logger->LogTimer().isActive());
}

TEST_F(DataLoggerTest, SetLogTimerRefusesValuesOutsideTheRange)
{
    CreateLogger();
    const std::pair<int, int> cases[] = {{4, 60000}, {5, 5000}, {3600, 3600000}, {3601, 60000}, {-1, 60000}};
    for (auto [seconds, ms] : cases) {
        memo.clear();
        logger->SetLogTimer(seconds);
        EXPECT_EQ(logger->LogTimer().interval(), ms) << seconds;
        EXPECT_EQ(memo, QStringList{QString("Timer set to %1").arg(ms)}) << seconds;
    }
}

TEST_F(DataLoggerTest, StartUpSettingsWithFrequency4GiveSixtySeconds)
{
    WriteSettings("[Logging]\nEnabled=1\nFrequency=4\n");
    CreateLogger();
    memo.clear();
    logger->LoadSettings(TIniFile(settings));
    EXPECT_TRUE(loggingEnabled.isChecked());
    EXPECT_TRUE(logger->LogTimer().isActive());
    EXPECT_EQ(logger->LogTimer().interval(), 60000);
    EXPECT_EQ(memo, QStringList{"Timer set to 60000"});

    TIniFile ini(settings);
    loggingEnabled.trigger();
    logger->StoreSettings(ini);
    EXPECT_EQ(ini.ReadString("Logging", "Enabled", ""), "0");
}

TEST_F(DataLoggerTest, TickWritesTheHeaderOnceAndARecordPerTick)
{
    SetFloat(768, 1234.567f);
    SetFloat(768 + 16, 50.0f);
    ReadImage();
    CreateLogger();
    logger->LoggingTimer();
    EXPECT_TRUE(LogLines().isEmpty()) << "no record while logging is off";

    loggingEnabled.trigger();
    Record();
    Record();
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 3);
    const QString separator = LogFile::ListSeparator(QLocale::system());
    EXPECT_EQ(lines[0], QStringList({"Date", "Time", "Total Energy Consumption", "Frequency"}).join(separator));
    EXPECT_EQ(ValueFields(lines[1]), QStringList({Value(1234.567, 3), Value(50, 1)}));
    EXPECT_EQ(ValueFields(lines[2]), ValueFields(lines[1]));
    EXPECT_TRUE(memo.last().startsWith("Write To Log File " + logPath + " at "));
}

TEST_F(DataLoggerTest, WordOrderFlagOfRegister142)
{
    server.Registers()[142] = 0x2000;
    SetFloat(768, 2.5f, true);
    SetFloat(768 + 16, 49.9f, true);
    ReadImage();
    const TLogValues values = LogValues(*link, false);
    EXPECT_FLOAT_EQ(values[0], 2.5f);
    EXPECT_FLOAT_EQ(values[8], 49.9f);
}

TEST_F(DataLoggerTest, LogButtonScalesThePhasePowersByThePtAndCtRatios)
{
    const int registers[] = {19, 20, 21, 22, 23, 24, 25, 32, 33};
    for (int k = 0; k < 9; ++k) {
        server.Registers()[registers[k]] = uint16_t(100 * (k + 1));
        SetFloat(768 + 2 * (19 + k), 7.0f);
    }
    server.Registers()[128] = 400; // PT 400:100
    server.Registers()[129] = 100;
    server.Registers()[130] = 200; // CT 200:5
    server.Registers()[131] = 5;
    ReadImage();

    QPushButton bLogData;
    bLogData.setObjectName("bLogData");
    const TLogValues scaled = LogValues(*link, true);
    const TLogValues plain = LogValues(*link, false);
    for (int k = 0; k < 9; ++k) {
        EXPECT_DOUBLE_EQ(scaled[std::size_t(19 + k)], 100.0 * (k + 1) * 4 * 40 / 10) << k;
        EXPECT_DOUBLE_EQ(plain[std::size_t(19 + k)], 7.0) << k;
    }

    // The button's record carries the scaled values.
    WriteSettings("[Logging]\nParam19=1\nParam27=1\n");
    CreateLogger();
    Pass();
    logger->DoLogging(&bLogData);
    ASSERT_EQ(LogLines().size(), 2);
    EXPECT_EQ(ValueFields(LogLines()[1]), QStringList({Value(1600, 3), Value(14400, 3)}));
}

TEST_F(DataLoggerTest, LogButtonWithoutRatiosLogsUnscaledValues)
{
    server.Registers()[19] = 1234;
    server.Registers()[128] = 400;
    server.Registers()[130] = 200;
    for (auto [pt, ct] : {std::pair<uint16_t, uint16_t>{0, 5}, {100, 0}, {0, 0}}) {
        server.Registers()[129] = pt;
        server.Registers()[131] = ct;
        ReadImage();
        const double expected = 1234.0 / 10 * (pt ? 4 : 1) * (ct ? 40 : 1);
        EXPECT_DOUBLE_EQ(LogValues(*link, true)[19], expected) << pt << ":" << ct;
    }
}

// A file nobody may write to (refused even to root) is reported once, in
// the message lines and in the state, and writing again is reported once.
TEST_F(DataLoggerTest, ReadOnlyFileIsReportedOnceAndTheNextTickSucceedsOnceWritable)
{
    CreateLogger();
    loggingEnabled.trigger();
    Record();
    ASSERT_EQ(LogLines().size(), 2);
    ASSERT_TRUE(QFile::setPermissions(logPath, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    memo.clear();
    Record();
    Record();
    EXPECT_EQ(LogLines().size(), 2);
    EXPECT_EQ(memo, QStringList{LogError + "\nFile: " + logPath + "\nReason: " + SystemText(EACCES)});
    EXPECT_EQ(logger->State(), (TLogState{true, logPath, 1, SystemText(EACCES)}));

    ASSERT_TRUE(QFile::setPermissions(logPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    memo.clear();
    Record();
    EXPECT_EQ(LogLines().size(), 3);
    ASSERT_EQ(memo.size(), 2);
    EXPECT_EQ(memo[0], "Logging to " + logPath + " works again.");
    EXPECT_TRUE(memo[1].startsWith("Write To Log File " + logPath + " at "));
    EXPECT_EQ(logger->State(), (TLogState{true, logPath, 2, ""}));
}

// Writing that starts to fail while the log timer runs is reported once,
// whatever the number of intervals it goes on failing, without a box and
// without a line per interval; the state carries the reason meanwhile.
// Once the folder is there the records go on, counted, and that is
// reported once. The folder's place is taken by a regular file, which
// stops root as it stops everyone.
TEST_F(DataLoggerTest, FailingWritesAreReportedOnceAndTheirEndOnce)
{
    const QString folder = dir.filePath("logs");
    const QString path = QDir(folder).filePath("log-Line_1-1.csv");
    {
        QFile blocker(folder);
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    WriteSettings(QByteArray("[Logging]\nFilename=") + folder.toUtf8() + "/log.csv\nParam0=1\n");
    CreateLogger();
    LogEvery(20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return attempts >= 6; }, 20000));
    EXPECT_EQ(FailureMessages(), 1);
    EXPECT_EQ(memo.filter(LogError), QStringList{LogError + "\nFile: " + path + "\nReason: " + SystemText(ENOTDIR)});
    EXPECT_EQ(WriteMessages(), 0) << "no record was written";
    EXPECT_EQ(logger->State(), (TLogState{true, path, 0, SystemText(ENOTDIR)}));
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), logger->State());

    ASSERT_TRUE(QFile::remove(folder));
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QTest::qWaitFor([&] { return LogLines(path).size() >= 4; }, 20000));
    loggingEnabled.trigger();
    const auto records = LogLines(path).size() - 1;
    EXPECT_EQ(FailureMessages(), 1);
    EXPECT_EQ(RecoveryMessages(), 1);
    EXPECT_EQ(memo.filter(" works again."), QStringList{"Logging to " + path + " works again."});
    EXPECT_EQ(logger->State(), (TLogState{false, path, records, ""}));
    EXPECT_EQ(states.back(), logger->State());
}

// A quantity whose registers the latest read did not bring is logged as an
// empty field: the record keeps its date, time and number of fields, and
// neither the last values read nor the zeros of a reset image stand in.
TEST_F(DataLoggerTest, QuantitiesWhoseLatestReadFailedAreLoggedEmpty)
{
    WriteSettings(QByteArray("[Logging]\nParam0=1\nParam8=1\nParam16=1\nParam59=1\n"));
    SetFloat(768, 1.5f);
    SetFloat(768 + 2 * 8, 50.0f);
    SetFloat(768 + 2 * 16, 2.25f);
    SetFloat(768 + 2 * 59, 99.0f);
    const QStringList measured{Value(1.5, 3), Value(50, 1), Value(2.25, 3), Value(99, 3)};
    struct ReadStep {
        int first;
        int last;
        bool ok;
    };
    const struct {
        const char* name;
        std::vector<ReadStep> reads;
        bool reset;
        QStringList fields;
    } cases[] = {
        {"AllRead", {{768, 887, true}}, false, measured},
        {"LatestReadFailed", {{768, 887, true}, {768, 887, false}}, false, {"", "", "", ""}},
        {"PartOfTheBlockFailed", {{768, 887, true}, {800, 887, false}}, false, {measured[0], measured[1], "", ""}},
        {"ReadAgain", {{768, 887, false}, {768, 887, true}}, false, measured},
        {"OtherRegistersFailed", {{768, 887, true}, {0, 124, false}}, false, measured},
        {"NeverRead", {}, false, {"", "", "", ""}},
        {"ImageReset", {{768, 887, true}}, true, {"", "", "", ""}},
    };
    CreateLogger();
    loggingEnabled.trigger();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link = std::make_unique<TKelvane>("127.0.0.1", true);
        for (const ReadStep& step : c.reads)
            Read(step.first, step.last, step.ok);
        if (c.reset)
            link->ResetRegisters();
        QFile::remove(logPath);
        Record();
        const QStringList lines = LogLines();
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(ValueFields(lines[1]), c.fields);
        EXPECT_FALSE(lines[1].split(LogFile::ListSeparator(QLocale::system()))[0].isEmpty()) << "the date";
    }
}

// While the question about an existing log file is open, and after Cancel,
// the records keep the entries as they were; after No they take the new one.
TEST_F(DataLoggerTest, RecordsUseOnlyConfirmedEntries)
{
    const struct {
        const char* name;
        QMessageBox::StandardButton answer;
        int fieldsAfter;
    } cases[] = {{"Cancel", QMessageBox::Cancel, 3}, {"No", QMessageBox::No, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(logPath);
        WriteSettings("[Logging]\nParam0=1\n");
        CreateLogger();
        dialog->show();
        LogEvery(20);
        ASSERT_TRUE(QTest::qWaitFor([&] { return LogLines().size() >= 2; }, 10000));
        const auto fields = [](const QString& line) {
            return int(line.split(LogFile::ListSeparator(QLocale::system())).size());
        };
        int questions = 0;
        {
            MessageBoxAnswer answer([&](const QString& text) {
                ++questions;
                EXPECT_TRUE(text.startsWith("WARNING: Log file currently exists."));
                const auto before = LogLines().size();
                EXPECT_TRUE(QTest::qWaitFor([&] { return LogLines().size() >= before + 2; }, 10000));
                for (const QString& line : LogLines())
                    EXPECT_EQ(fields(line), 3) << line.toStdString();
                return c.answer;
            });
            auto* box = dialog->findChild<QCheckBox*>("CB_8");
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
        }
        EXPECT_EQ(questions, 1);
        const auto before = LogLines().size();
        ASSERT_TRUE(QTest::qWaitFor([&] { return LogLines().size() >= before + 2; }, 10000));
        loggingEnabled.trigger();
        EXPECT_EQ(fields(LogLines().last()), c.fieldsAfter);
        dialog->hide();
    }
}

TEST_F(DataLoggerTest, DeletedFileComesBackWithAHeader)
{
    CreateLogger();
    loggingEnabled.trigger();
    Record();
    Record();
    ASSERT_EQ(LogLines().size(), 3);
    ASSERT_TRUE(QFile::remove(logPath));
    Record();
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("Date"));
}

TEST_F(DataLoggerTest, FirstCompletedPollWritesOneEarlyRecord)
{
    WriteSettings("[Logging]\nEnabled=1\nFrequency=60\nParam0=1\n");
    CreateLogger();
    logger->LoadSettings(TIniFile(settings));
    EXPECT_TRUE(logger->FirstLogPending());
    Pass();
    EXPECT_FALSE(logger->FirstLogPending());
    EXPECT_EQ(LogLines().size(), 2);
    Pass();
    EXPECT_EQ(LogLines().size(), 2) << "later polls leave logging to the timer";
}

TEST_F(DataLoggerTest, FirstPollWithLoggingOffWritesNothingAndClearsTheFlag)
{
    CreateLogger();
    Pass();
    EXPECT_FALSE(logger->FirstLogPending());
    EXPECT_FALSE(QFile::exists(logPath));
}

// Records come from completed passes only, to the file of the pass's meter.
TEST_F(DataLoggerTest, RecordsComeOnlyFromCompletedPassesToTheirMetersFiles)
{
    QPushButton bLogData;
    bLogData.setObjectName("bLogData");
    CreateLogger();
    logger->DoLogging(&bLogData);
    Pass(); // logging off: nothing written
    loggingEnabled.trigger();
    for (int tick = 0; tick < 3; ++tick)
        logger->LoggingTimer();
    EXPECT_EQ(memo, QStringList({"No pass has read a meter yet: no log record written",
                                 "No log record written: no pass read the meter in the last logging interval."}));
    meter = {"127.0.0.1 TCP", 7, ""};
    Pass();
    logger->DoLogging(&bLogData);
    EXPECT_EQ(LogLines(dir.filePath("log-address-7.csv")).size(), 3);
    EXPECT_EQ(logger->State(), (TLogState{true, dir.filePath("log-address-7.csv"), 2, ""}));
}

TEST_F(DataLoggerTest, ConfigureThenOkSetsTheIntervalTypedInTheDialog)
{
    CreateLogger();
    logger->Configure1Click();
    EXPECT_TRUE(dialog->isVisible());
    dialog->findChild<QLineEdit*>("Frequency")->setText("120");
    memo.clear();
    QTest::mouseClick(dialog->findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(logger->LogTimer().interval(), 120000);
    EXPECT_EQ(memo, QStringList{"Timer set to 120000"});
}

// The state names the file the next record goes to: a file typed in the
// dialog counts once OK takes it, not after Escape, and its count starts
// from zero.
TEST_F(DataLoggerTest, TheStateFollowsTheFileTheDialogSettlesOn)
{
    CreateLogger();
    loggingEnabled.trigger();
    Record();
    ASSERT_EQ(logger->State(), (TLogState{true, logPath, 1, ""}));
    const QString other = dir.filePath("other.csv");
    const struct {
        const char* name;
        Qt::Key key;
        QString file;
    } cases[] = {{"Escape", Qt::Key_Escape, logPath}, {"Return", Qt::Key_Return, dir.filePath("other-Line_1-1.csv")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logger->Configure1Click();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        auto* filename = dialog->findChild<QLineEdit*>("Filename");
        QTest::mouseClick(filename, Qt::LeftButton);
        filename->selectAll();
        QTest::keyClicks(filename, other);
        QTest::keyClick(filename, c.key);
        EXPECT_FALSE(dialog->isVisible());
        const TLogState expected{true, c.file, c.file == logPath ? 1 : 0, ""};
        EXPECT_EQ(logger->State(), expected);
        EXPECT_EQ(states.back(), expected);
    }
}

TEST_F(DataLoggerTest, TimerTicksWriteRecords)
{
    CreateLogger();
    logger->SetLogTimer(5);
    loggingEnabled.trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return LogLines().size() == 2; }, 8000));
}
