// The logging dialog: its controls, its settings and its checks of what the
// user types and ticks.

#include "IniFile.h"
#include "LoggingUnit.h"
#include "ScreenFit.h"
#include "WidgetTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace {

const QString ExistingFileWarning =
    "WARNING: Log file currently exists.  Changing the logging parmaters may cause the columns to improperly "
    "align.  Make sure to change the log file if new logging parameters are selected!  Do you want to select a "
    "new log file?";
const QString FrequencyError = "Logging Frequency Must be between 5 and 3600 seconds";

class LoggingDialogTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString settings = dir.filePath("kelvane.ini");
    QString logFile = dir.filePath("existing.csv");

    void WriteSettings(const QByteArray& content)
    {
        QFile file(settings);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    static QCheckBox& Box(TLogging& form, int index)
    {
        return *form.findChild<QCheckBox*>("CB_" + QString::number(index));
    }
    static QLineEdit& Edit(TLogging& form, const char* name) { return *form.findChild<QLineEdit*>(name); }

    // Clicks the check mark itself: the boxes are wider than their texts.
    static void ClickBox(QCheckBox& box) { QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(6, box.height() / 2)); }

    static void ShowActive(TLogging& form)
    {
        form.show();
        form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    }

    // The file chooser runs modally: once it is showing, names a file in
    // folder and accepts. A second timer rejects it should the first miss it.
    static void ChooseFileWhenAsked(TLogging& form, const QString& folder, const QString& name)
    {
        QTimer::singleShot(0, &form, [&form, folder, name] {
            auto* chooser = form.findChild<QFileDialog*>("SaveDialog");
            ASSERT_TRUE(chooser && chooser->isVisible());
            chooser->selectFile(QDir(folder).filePath(name));
            static_cast<QDialog*>(chooser)->accept();
        });
        QTimer::singleShot(5000, &form, [&form] {
            if (auto* chooser = form.findChild<QFileDialog*>("SaveDialog"); chooser->isVisible()) {
                ADD_FAILURE() << "the file chooser was not answered";
                chooser->reject();
            }
        });
    }

    void CreateExistingLog()
    {
        QFile file(dir.filePath("existing-Line_1-1.csv"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Date,Time\r\n");
    }
};

} // namespace

TEST_F(LoggingDialogTest, CheckBoxesSitInTheirGroupsAtTheirPlaces)
{
    TLogging form(settings, dir.path());
    EXPECT_EQ(form.windowTitle(), "Logging");
    const struct {
        const char* group;
        int first;
        int last;
    } groups[] = {{"Basic", 0, 10}, {"Advanced", 10, 32}, {"Detailed", 32, 60}};
    for (const auto& g : groups) {
        auto* group = form.findChild<QGroupBox*>(g.group);
        ASSERT_NE(group, nullptr) << g.group;
        EXPECT_EQ(group->title(), g.group);
        const int top = Box(form, g.first).y();
        EXPECT_GE(top, 15);
        for (int i = g.first; i < g.last; ++i) {
            QCheckBox& box = Box(form, i);
            EXPECT_EQ(box.parentWidget(), group) << i;
            EXPECT_EQ(box.text(), LogParameters[std::size_t(i)].Caption);
            EXPECT_EQ(box.geometry().topLeft(), QPoint(20, top + 15 * (i - g.first))) << i;
            // Wide enough for its caption, never narrower than 185.
            EXPECT_GE(box.width(), std::max(185, box.sizeHint().width())) << i;
            EXPECT_TRUE(group->rect().contains(box.geometry())) << i;
        }
    }
    EXPECT_EQ(form.findChild<QCheckBox*>("cbToggle3")->text(), "All Detailed");
}

TEST_F(LoggingDialogTest, DefaultsWithoutSettingsFile)
{
    TLogging form(settings, dir.path());
    EXPECT_EQ(form.FileName(), dir.filePath("log.csv"));
    EXPECT_EQ(Edit(form, "Frequency").text(), "60");
    EXPECT_EQ(form.Selection(), TLogSelection{});
}

TEST_F(LoggingDialogTest, SettingsLoadedAndStoredAtClose)
{
    WriteSettings("[Form]\nCaption=Meter room\n[logging]\nfilename=/data/x.csv\nFrequency=300\nParam0=1\n"
                  "Param8=7\nParam59=1\nParam10=yes\n");
    TLogging form(settings, dir.path());
    EXPECT_EQ(form.FileName(), "/data/x.csv");
    EXPECT_EQ(form.FrequencySeconds(), 300);
    TLogSelection expected{};
    expected[0] = expected[8] = expected[59] = true;
    EXPECT_EQ(form.Selection(), expected);

    form.show();
    Box(form, 8).setChecked(false);
    Box(form, 1).setChecked(true);
    Edit(form, "Filename").setText(dir.filePath("new.csv"));
    Edit(form, "Frequency").setText("abc");
    QTest::mouseClick(form.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(Edit(form, "Frequency").text(), "60");

    const TIniFile ini(settings);
    EXPECT_EQ(ini.ReadString("Form", "Caption", ""), "Meter room");
    EXPECT_EQ(ini.ReadString("Logging", "Filename", ""), dir.filePath("new.csv"));
    EXPECT_EQ(ini.ReadString("Logging", "Frequency", ""), "60");
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(ini.ReadString("Logging", "Param" + QString::number(i), ""), i == 0 || i == 1 || i == 59 ? "1" : "0")
            << i;

    TLogging reloaded(settings, dir.path());
    EXPECT_EQ(reloaded.FileName(), dir.filePath("new.csv"));
    EXPECT_EQ(reloaded.Selection()[1], true);
    EXPECT_EQ(reloaded.Selection()[8], false);
}

// Escape is Cancel: whatever was changed since the dialog opened is put
// back, the settings file is left as it was and the main window is not told.
TEST_F(LoggingDialogTest, EscapeForgetsTheChangesSinceTheDialogOpened)
{
    const QByteArray stored = "[Logging]\nFilename=" + logFile.toUtf8() + "\nFrequency=300\nParam0=1\n";
    const struct {
        const char* name;
        std::function<void(TLogging&)> change;
    } cases[] = {
        {"FileName",
         [](TLogging& form) {
             QTest::mouseClick(&Edit(form, "Filename"), Qt::LeftButton);
             QTest::keyClicks(&Edit(form, "Filename"), "-new");
         }},
        {"Frequency",
         [](TLogging& form) {
             QLineEdit& frequency = Edit(form, "Frequency");
             QTest::mouseClick(&frequency, Qt::LeftButton);
             QTest::keyClick(&frequency, Qt::Key_End);
             QTest::keyClick(&frequency, Qt::Key_Backspace);
             QTest::keyClicks(&frequency, "5");
         }},
        {"Boxes",
         [](TLogging& form) {
             ClickBox(Box(form, 0));
             ClickBox(Box(form, 8));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteSettings(stored);
        TLogging form(settings, dir.path());
        bool told = false;
        form.SetMessageTarget([&] { told = true; });
        ShowActive(form);
        const TLogSelection before = form.Selection();
        c.change(form);
        ASSERT_NE(std::make_tuple(form.FileName(), Edit(form, "Frequency").text(), Box(form, 0).isChecked()),
                  std::make_tuple(logFile, QString("300"), true))
            << "the change did not reach the dialog";

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        EXPECT_FALSE(form.isVisible());
        EXPECT_FALSE(told);
        EXPECT_EQ(form.FileName(), logFile);
        EXPECT_EQ(Edit(form, "Frequency").text(), "300");
        EXPECT_EQ(form.Selection(), before);
        EXPECT_TRUE(Box(form, 0).isChecked());
        EXPECT_FALSE(Box(form, 8).isChecked());
        QFile file(settings);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), stored);
    }
}

TEST_F(LoggingDialogTest, OutOfRangeFrequencyInTheSettingsShowsAs60)
{
    for (const char* stored : {"4", "3601", "x"}) {
        WriteSettings(QByteArray("[Logging]\nFrequency=") + stored + "\n");
        TLogging form(settings, dir.path());
        EXPECT_EQ(Edit(form, "Frequency").text(), "60") << stored;
    }
}

TEST_F(LoggingDialogTest, OkCallsTheMainWindowThenClosesAndStores)
{
    TLogging form(settings, dir.path());
    int calls = 0;
    int secondsSeen = 0;
    form.SetMessageTarget([&] {
        ++calls;
        secondsSeen = form.FrequencySeconds();
        EXPECT_TRUE(form.isVisible());
    });
    form.show();
    Edit(form, "Frequency").setText("15");
    QTest::mouseClick(form.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(secondsSeen, 15);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(TIniFile(settings).ReadInteger("Logging", "Frequency", 0), 15);
}

TEST_F(LoggingDialogTest, CloseBoxStoresWithoutCallingTheMainWindow)
{
    TLogging form(settings, dir.path());
    bool called = false;
    form.SetMessageTarget([&] { called = true; });
    form.show();
    Box(form, 3).setChecked(true);
    form.close();
    EXPECT_FALSE(called);
    EXPECT_TRUE(TIniFile(settings).ReadBool("Logging", "Param3", false));
}

TEST_F(LoggingDialogTest, SettingsThatCannotBeWrittenAreReported)
{
    TLogging form(dir.filePath("missing/kelvane.ini"), dir.path());
    form.show();
    testsupport::MessageBoxRecorder boxes;
    form.close();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(boxes.shown[0].text.startsWith("The logging settings could not be saved to"));
    EXPECT_TRUE(boxes.shown[0].text.contains("missing/kelvane.ini"));
}

TEST_F(LoggingDialogTest, FrequencyTakesOnlyDigitsAndBackspace)
{
    TLogging form(settings, dir.path());
    ShowActive(form);
    QLineEdit& frequency = Edit(form, "Frequency");
    frequency.setFocus();
    frequency.selectAll();
    QTest::keyClicks(&frequency, "1a2-.,b 0");
    EXPECT_EQ(frequency.text(), "120");
    QTest::keyClick(&frequency, Qt::Key_Backspace);
    EXPECT_EQ(frequency.text(), "12");
}

TEST_F(LoggingDialogTest, FrequencyOutOfRangeIsRefusedOnLeavingTheField)
{
    TLogging form(settings, dir.path());
    ShowActive(form);
    QLineEdit& frequency = Edit(form, "Frequency");
    const struct {
        const char* typed;
        bool refused;
    } cases[] = {{"4", true}, {"5", false}, {"3600", false}, {"3601", true}, {"", true}, {"0", true}};
    for (const auto& c : cases) {
        testsupport::MessageBoxRecorder boxes;
        frequency.setFocus();
        frequency.setText(c.typed);
        QTest::keyClick(&frequency, Qt::Key_Tab);
        EXPECT_FALSE(frequency.hasFocus()) << c.typed;
        if (c.refused) {
            ASSERT_EQ(boxes.shown.size(), 1u) << c.typed;
            EXPECT_EQ(boxes.shown[0].text, FrequencyError);
            EXPECT_EQ(boxes.shown[0].buttons, QMessageBox::Ok);
            EXPECT_EQ(frequency.text(), "60");
        } else {
            EXPECT_TRUE(boxes.shown.empty()) << c.typed;
            EXPECT_EQ(frequency.text(), c.typed);
        }
    }
}

TEST_F(LoggingDialogTest, TogglesTickTheirGroupsWithoutAskingWhenNoFileExists)
{
    TLogging form(settings, dir.path());
    form.show();
    ClickBox(*form.findChild<QCheckBox*>("cbToggle2"));
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(Box(form, i).isChecked(), i >= 10 && i < 32) << i;
    ClickBox(*form.findChild<QCheckBox*>("cbToggle2"));
    EXPECT_EQ(form.Selection(), TLogSelection{});
}

TEST_F(LoggingDialogTest, ToggleAsksOnceForEveryBoxThatChangesWhenTheFileExists)
{
    CreateExistingLog();
    WriteSettings(QByteArray("[Logging]\nFilename=") + logFile.toUtf8() + "\nParam40=1\nParam41=1\n");
    TLogging form(settings, dir.path());
    form.show();
    auto* toggle = form.findChild<QCheckBox*>("cbToggle3");
    {
        testsupport::MessageBoxRecorder boxes(QMessageBox::No);
        ClickBox(*toggle);
        EXPECT_EQ(boxes.shown.size(), 26u);
        ASSERT_FALSE(boxes.shown.empty());
        EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Warning);
        EXPECT_EQ(boxes.shown[0].text, ExistingFileWarning);
        EXPECT_EQ(boxes.shown[0].buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    }
    for (int i = 32; i < 60; ++i)
        EXPECT_TRUE(Box(form, i).isChecked()) << i;
    {
        // Cancel puts every mark back, and putting it back asks nothing more.
        testsupport::MessageBoxRecorder boxes(QMessageBox::Cancel);
        ClickBox(*toggle);
        EXPECT_EQ(boxes.shown.size(), 28u);
    }
    for (int i = 32; i < 60; ++i)
        EXPECT_TRUE(Box(form, i).isChecked()) << i;
}

TEST_F(LoggingDialogTest, AnswersToTheExistingFileWarning)
{
    CreateExistingLog();
    WriteSettings(QByteArray("[Logging]\nFilename=") + logFile.toUtf8() + "\n");
    TLogging form(settings, dir.path());
    form.show();
    {
        testsupport::MessageBoxRecorder boxes(QMessageBox::Cancel);
        ClickBox(Box(form, 0));
        EXPECT_EQ(boxes.shown.size(), 1u);
        EXPECT_FALSE(Box(form, 0).isChecked());
    }
    {
        testsupport::MessageBoxRecorder boxes(QMessageBox::No);
        ClickBox(Box(form, 0));
        EXPECT_EQ(boxes.shown.size(), 1u);
        EXPECT_TRUE(Box(form, 0).isChecked());
        EXPECT_EQ(form.FileName(), logFile);
    }
    {
        testsupport::MessageBoxRecorder boxes(QMessageBox::Yes);
        ChooseFileWhenAsked(form, dir.path(), "fresh");
        ClickBox(Box(form, 1));
        EXPECT_EQ(boxes.shown.size(), 1u);
        EXPECT_TRUE(Box(form, 1).isChecked());
        EXPECT_EQ(form.FileName(), dir.filePath("fresh.csv"));
        // The new file does not exist yet: further changes ask nothing.
        ClickBox(Box(form, 2));
        EXPECT_EQ(boxes.shown.size(), 1u);
    }
}

TEST_F(LoggingDialogTest, HiddenDialogAsksNothing)
{
    CreateExistingLog();
    WriteSettings(QByteArray("[Logging]\nFilename=") + logFile.toUtf8() + "\nParam5=1\n");
    TLogging form(settings, dir.path());
    Box(form, 6).setChecked(true);
    EXPECT_TRUE(form.Selection()[5]);
    EXPECT_TRUE(form.Selection()[6]);
}

TEST_F(LoggingDialogTest, BrowseButtonPutsTheChosenFileIntoFilename)
{
    TLogging form(settings, dir.path());
    form.show();
    ChooseFileWhenAsked(form, dir.path(), "chosen");
    QTest::mouseClick(form.findChild<QToolButton*>("SpeedButton1"), Qt::LeftButton);
    EXPECT_EQ(form.FileName(), dir.filePath("chosen.csv"));
    auto* chooser = form.findChild<QFileDialog*>("SaveDialog");
    EXPECT_EQ(chooser->defaultSuffix(), "csv");
    EXPECT_EQ(chooser->nameFilters(), QStringList({"CSV (*.csv)", "Text File (*.txt)", "All Files (*)"}));
    EXPECT_FALSE(chooser->testOption(QFileDialog::DontConfirmOverwrite));
}

TEST_F(LoggingDialogTest, WriteToLogUsesTheTickedEntriesAndTheFileNamed)
{
    const QString path = dir.filePath("out.csv");
    WriteSettings(QByteArray("[Logging]\nFilename=") + path.toUtf8() + "\nParam0=1\nParam8=1\n");
    TLogging form(settings, dir.path());
    TLogValues values{};
    values[0] = 1234.567;
    values[8] = 50;
    const QLocale german(QLocale::German, QLocale::Germany);
    ASSERT_TRUE(form.WriteToLog({"", 3, "Plant A/2.b"}, values, QDateTime::currentDateTime(), german).Written);
    QFile file(dir.filePath("out-Plant_A_2_b-3.csv"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readLine(), "Date;Time;Total Energy Consumption;Frequency\r\n");
    const QString record = QString::fromUtf8(file.readLine());
    const QStringList fields = record.chopped(2).split(';');
    ASSERT_EQ(fields.size(), 4) << record.toStdString();
    const QDateTime stamped(german.toDate(fields[0], "dd.MM.yyyy"), german.toTime(fields[1], "HH:mm:ss"));
    EXPECT_LE(std::abs(stamped.secsTo(QDateTime::currentDateTime())), 5) << record.toStdString();
    EXPECT_EQ(fields[2], "1234,567");
    EXPECT_EQ(fields[3], "50,0");
    EXPECT_TRUE(record.endsWith("\r\n"));
}

// However small the screen, the dialog fits it: the file, the interval and
// OK are in sight, and the quantities scroll.
TEST_F(LoggingDialogTest, FitsTheScreenWithOkInSight)
{
    TLogging form(settings, dir.path());
    ShowActive(form);
    EXPECT_TRUE(testsupport::FitsItsScreen(form, {&Edit(form, "Filename"), &Edit(form, "Frequency"),
                                                  form.findChild<QPushButton*>("BitBtn1")},
                                           *form.findChild<QScrollArea*>("sbBody")));
}

TEST_F(LoggingDialogTest, Screenshot)
{
    WriteSettings("[Logging]\nFilename=/home/technician/logs/substation-4.csv\nFrequency=30\nParam0=1\n"
                  "Param1=1\nParam8=1\nParam16=1\nParam17=1\nParam18=1\nParam35=1\n");
    TLogging form(settings, dir.path());
    form.show();
    EXPECT_TRUE(testsupport::SaveScreenshot(form, "logging_dialog"));
}
