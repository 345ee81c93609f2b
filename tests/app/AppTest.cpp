#include "AppHarness.h"

#include "DataLogger.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <bit>
#include <functional>

using apptest::Memo;
using apptest::Find;
using apptest::Lines;
using apptest::StatusText;
using apptest::TAppHarness;
using apptest::TypeInto;
using apptest::rSimSetup;
using apptest::TInProcessSim;
using apptest::ChoosePort;
using apptest::Commands;
using apptest::Count;
using apptest::Link;
using apptest::Poller;
using apptest::PollingTimer;
using apptest::Statistics;
using apptest::Logger;
using testsupport::MessageBoxRecorder;

namespace {

// Starts the utility against the harness's simulator with exactly these
// switches after the connection's (the harness's own Start adds a polling
// interval of its own).
TForm1& StartWith(TAppHarness& app, const QStringList& switches)
{
    const QStringList arguments = QStringList{"/MODE=TCP", "/IP=127.0.0.1",
                                              QString("/TCPPORT=%1").arg(app.meter->Port())}
                                  + switches;
    app.windows = std::make_unique<TKelvaneWindows>(app.paths, arguments);
    return app.ShowWindow();
}

// Keys reach a window's shortcuts only while it is the active window.
bool Activate(QWidget& window)
{
    QApplication::setActiveWindow(&window);
    return QTest::qWaitForWindowActive(&window, 10000);
}

void ClickRow(TForm1& form, int row)
{
    const QRect rect = Find<QListWidget>(form, "ListView")->visualItemRect(Find<QListWidget>(form, "ListView")->item(row));
    QTest::mouseClick(Find<QListWidget>(form, "ListView")->viewport(), Qt::LeftButton, {}, rect.center());
}

// The window title that Qt's Linux desktop platforms (xcb, wayland) hand to
// the window manager for a window's own title. Qt exports the function but
// installs no header for it.
using TTitleFormat = QString (*)(const QString& title, const QString& separator);
TTitleFormat DesktopTitleFormat()
{
    return reinterpret_cast<TTitleFormat>(
        dlsym(RTLD_DEFAULT, "_ZN15QPlatformWindow17formatWindowTitleERK7QStringS2_"));
}

} // namespace

TEST(App, StartsFromSettingsAndSwitchesAndShowsTheMetersValues)
{
    TAppHarness app("[Form]\nCaption=Test bench\nBaud=2\nTCP=0\n[Logging]\nEnabled=0\n");
    TForm1& form = app.Start();
    EXPECT_EQ(form.windowTitle(), "Test bench");
    const auto& com = form.Dialogs().ComSelect;
    EXPECT_EQ(com->Kind(), TLinkKind::Tcp); // /MODE=TCP wins over the saved key
    EXPECT_EQ(com->IpText(), "127.0.0.1");
    EXPECT_EQ(com->BaudIndex(), 2);
    EXPECT_EQ(Link(form)->TcpPort(), app.meter->Port());
    EXPECT_TRUE(Lines(Memo(form)).contains("Kelvane Opened on 127.0.0.1 at 38400 baud"));
    EXPECT_FALSE(Find<QGroupBox>(form, "CalibrateBox")->isVisible());
    ASSERT_EQ(Find<QTabWidget>(form, "PageControl1")->count(), 1);
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->widget(0)->objectName(), "TabFloat");
    EXPECT_FALSE(Find<QWidget>(form, "TabGeneral")->isVisible());
    EXPECT_TRUE(Lines(Memo(form)).contains("Software Version: 5.7 (Oct 15, 2014)"));
    // The first pass ran as soon as the window showed; the counts and the
    // trace start again for the pass below.
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    QTest::mouseClick(Find<QPushButton>(form, "bRXTXClear"), Qt::LeftButton);
    apptest::ClearTrace(form);

    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_EQ(StatusText(form, "TX"), "TX: 3");
    EXPECT_EQ(StatusText(form, "RX"), "RX: 3");
    EXPECT_EQ(StatusText(form), "[0x080-0x09e] (Configuration) = OK");
    EXPECT_EQ(Lines(Find<QPlainTextEdit>(form, "ComStatusMemo")).first(), "[0x000-0x07c] (Measurements) = OK");

    // The page shows the simulator's floats: about 50 Hz and 230 V.
    const double frequency = app.FieldText("Freq (Hz)").trimmed().toDouble();
    EXPECT_NEAR(frequency, 50.0, 0.5) << app.FieldText("Freq (Hz)").toStdString();
    const QString volts = app.FieldText("V A-N (V)").trimmed();
    EXPECT_NEAR(QLocale().toDouble(volts), 230.0, 15.0) << volts.toStdString();

    // Four trace lines per bank read, with the frames of the exchange.
    const QString trace = form.Dialogs().ModbusData->TraceText();
    const QStringList lines = trace.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 12);
    // The reply repeats the request's transaction identifier.
    EXPECT_TRUE(lines[0].startsWith("QRY >")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].mid(13).startsWith("(00)(00)(00)(06)(01)(03)(00)(00)(00)(7D)")) << lines[0].toStdString();
    EXPECT_EQ(lines[1].mid(5, 8), lines[0].mid(5, 8));
    EXPECT_TRUE(lines[1].mid(13).startsWith("(00)(00)(00)(FD)(01)(03)(FA)")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("   RESULT: OK   at ")) << lines[2].toStdString();
    EXPECT_EQ(lines[3], QString(35, '-'));
    testsupport::SaveScreenshot(form, "main-window");
}

TEST(App, MeterListRoundTripAndSelection)
{
    TAppHarness app;
    app.WriteFile("Meters.ini", "[Line 1]\nAddress=1\n[Line 2]\nAddress=2\n[Odd]\nAddress=99\n");
    TForm1& form = app.Start();
    ASSERT_EQ(Find<QListWidget>(form, "ListView")->count(), 3);
    ASSERT_TRUE(Activate(form));

    ClickRow(form, 1);
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), "Line 2 (Addr: 2)");
    EXPECT_EQ(form.Dialogs().frmAddress->GetAddress(), 2);
    app.meter->SetRegister(2, 150, 4242);
    Poller(form).Poll();
    EXPECT_EQ(Link(form)->GetRegister(150), 4242); // the pass read unit 2
    EXPECT_EQ(Link(form)->GetRegister(149), app.meter->Register(2, 149));

    ClickRow(form, 2); // an address outside 1..63 keeps the device address, and the meter polled
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), "Line 2 (Addr: 2)");
    EXPECT_EQ(form.Dialogs().frmAddress->GetAddress(), 2);

    Find<QLineEdit>(form, "ebName")->setText("Line 3");
    Find<QLineEdit>(form, "ebAddr")->setText("7");
    QTest::mouseClick(Find<QPushButton>(form, "bAdd"), Qt::LeftButton);
    EXPECT_EQ(Find<QListWidget>(form, "ListView")->count(), 4);
    EXPECT_TRUE(Find<QLineEdit>(form, "ebName")->text().isEmpty());
    {
        MessageBoxRecorder boxes;
        Find<QLineEdit>(form, "ebName")->setText("Far");
        Find<QLineEdit>(form, "ebAddr")->setText("64");
        QTest::mouseClick(Find<QPushButton>(form, "bAdd"), Qt::LeftButton);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, "Address must be between 1..63");
        EXPECT_EQ(Find<QListWidget>(form, "ListView")->count(), 4);
    }
    ClickRow(form, 1);
    QTest::mouseClick(Find<QPushButton>(form, "bDelete"), Qt::LeftButton);
    EXPECT_EQ(Find<QListWidget>(form, "ListView")->count(), 3);
    ASSERT_EQ(Find<QListWidget>(form, "ListView")->selectedItems().size(), 1);
    EXPECT_EQ(Find<QListWidget>(form, "ListView")->selectedItems()[0]->text(), "Line 1");
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), "Line 1 (Addr: 1)");

    form.close();
    app.windows.reset();
    EXPECT_EQ(app.ReadFile("Meters.ini"), "[Line 1]\nAddress=1\n\n[Odd]\nAddress=99\n\n[Line 3]\nAddress=7\n\n");
}

// The meter list moves the device address only when the user selects a
// meter: not when the list merely gets a current entry (on focus, on a click
// beside the entries) and not when the selected first entry is deleted.
TEST(App, MeterListSwitchesOnlyOnASelection)
{
    TAppHarness app;
    app.WriteFile("Meters.ini", "[Line 1]\nAddress=5\n[Line 2]\nAddress=2\n[Line 3]\nAddress=9\n");
    TForm1& form = app.Start();
    const QString pageCaption = Find<QTabWidget>(form, "PageControl1")->tabText(0);
    const TfrmAddress& address = *form.Dialogs().frmAddress;
    ASSERT_TRUE(Activate(form)); // the list takes the focus
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), pageCaption);
    EXPECT_EQ(address.GetAddress(), 1);

    Find<QLineEdit>(form, "ebName")->setFocus();
    QTest::keyClick(Find<QLineEdit>(form, "ebName"), Qt::Key_Backtab); // back into the list
    ASSERT_TRUE(Find<QListWidget>(form, "ListView")->hasFocus());
    QTest::mouseClick(Find<QListWidget>(form, "ListView")->viewport(), Qt::LeftButton, {},
                      QPoint(10, Find<QListWidget>(form, "ListView")->viewport()->height() - 5)); // below the entries
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), pageCaption);
    EXPECT_EQ(address.GetAddress(), 1);
    EXPECT_TRUE(Find<QListWidget>(form, "ListView")->selectedItems().isEmpty());

    ClickRow(form, 0);
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), "Line 1 (Addr: 5)");
    EXPECT_EQ(address.GetAddress(), 5);
    QTest::mouseClick(Find<QPushButton>(form, "bDelete"), Qt::LeftButton); // nothing before the first entry to select
    ASSERT_EQ(Find<QListWidget>(form, "ListView")->count(), 2);
    EXPECT_TRUE(Find<QListWidget>(form, "ListView")->selectedItems().isEmpty());
    EXPECT_EQ(address.GetAddress(), 5);
    QTest::mouseClick(Find<QPushButton>(form, "bDelete"), Qt::LeftButton); // nothing selected: nothing deleted
    EXPECT_EQ(Find<QListWidget>(form, "ListView")->count(), 2);

    Find<QListWidget>(form, "ListView")->setFocus(); // makes the first entry current, unselected
    EXPECT_EQ(address.GetAddress(), 5);
    QTest::keyClick(Find<QListWidget>(form, "ListView"), Qt::Key_Down); // the keyboard selects too
    ASSERT_EQ(Find<QListWidget>(form, "ListView")->selectedItems().size(), 1);
    EXPECT_EQ(Find<QListWidget>(form, "ListView")->selectedItems()[0]->text(), "Line 3");
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), "Line 3 (Addr: 9)");
    EXPECT_EQ(address.GetAddress(), 9);
    QTest::keyClick(Find<QListWidget>(form, "ListView"), Qt::Key_Up);
    EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->tabText(0), "Line 2 (Addr: 2)");
    EXPECT_EQ(address.GetAddress(), 2);
}

// Meters.ini keeps one section per name, trimmed and matched without regard
// to case, so the list takes names the same way.
TEST(App, MeterNamesAreTakenAsTheIniFileKeepsThem)
{
    TAppHarness app;
    app.WriteFile("Meters.ini", "[Line 1]\nAddress=1\n");
    TForm1& form = app.Start();
    struct Row {
        const char* name;
        const char* address;
        const char* refusal; // part of the message, or nullptr when the meter is added
    };
    const Row rows[] = {
        {"  lead  ", "3", nullptr},
        {"   ", "4", "Enter a name"},
        {"", "4", "Enter a name"},
        {" LINE 1", "5", "\"LINE 1\" is already in the list"},
        {"Lead", "6", "\"Lead\" is already in the list"},
        {"Far", "64", "Address must be between 1..63"},
        {"Other", "1", "\"Line 1\" has address 1 already"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("name \"") + row.name + "\"");
        MessageBoxRecorder boxes;
        Find<QLineEdit>(form, "ebName")->clear();
        Find<QLineEdit>(form, "ebAddr")->clear();
        QTest::keyClicks(Find<QLineEdit>(form, "ebName"), row.name);
        QTest::keyClicks(Find<QLineEdit>(form, "ebAddr"), row.address);
        QTest::mouseClick(Find<QPushButton>(form, "bAdd"), Qt::LeftButton);
        if (row.refusal) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_TRUE(boxes.shown[0].text.contains(row.refusal)) << boxes.shown[0].text.toStdString();
            EXPECT_EQ(Find<QLineEdit>(form, "ebName")->text(), row.name); // the edits keep what was typed
        } else {
            EXPECT_TRUE(boxes.shown.empty());
            EXPECT_TRUE(Find<QLineEdit>(form, "ebName")->text().isEmpty());
        }
    }
    ASSERT_EQ(Find<QListWidget>(form, "ListView")->count(), 2);
    EXPECT_EQ(Find<QListWidget>(form, "ListView")->item(1)->text(), "lead");

    form.close();
    app.windows.reset();
    EXPECT_EQ(app.ReadFile("Meters.ini"), "[Line 1]\nAddress=1\n\n[lead]\nAddress=3\n\n");
    TForm1& again = app.Start();
    ASSERT_EQ(Find<QListWidget>(again, "ListView")->count(), 2);
    EXPECT_EQ(Find<QListWidget>(again, "ListView")->item(1)->text(), "lead");
}

TEST(App, CloseSavesSettingsAndExitSavesNothing)
{
    {
        TAppHarness app;
        TForm1& form = app.Start();
        Find<QLineEdit>(form, "ebName")->setText("Kept");
        QTest::mouseClick(Find<QPushButton>(form, "bAdd"), Qt::LeftButton);
        form.close();
        const QByteArray settings = app.ReadFile("kelvane.ini");
        EXPECT_TRUE(settings.contains("Caption=New Form")) << settings.toStdString();
        EXPECT_TRUE(settings.contains("IP Address=127.0.0.1"));
        EXPECT_TRUE(settings.contains(QString("TCP Port=%1").arg(app.meter->Port()).toUtf8()));
        EXPECT_TRUE(settings.contains("TCP=1"));
        EXPECT_TRUE(app.ReadFile("Meters.ini").contains("[Kept]"));
        EXPECT_TRUE(form.Closing());
    }
    {
        TAppHarness app("[Form]\nCaption=Untouched\n");
        TForm1& form = app.Start();
        form.setWindowTitle("Changed");
        form.Exit1Click();
        app.windows.reset();
        EXPECT_EQ(app.ReadFile("kelvane.ini"), "[Form]\nCaption=Untouched\n");
        EXPECT_FALSE(QFile::exists(app.dir.filePath("Meters.ini")) && app.ReadFile("Meters.ini").contains("["));
    }
}

TEST(App, ConfigEditorOkWritesTheChangedRegisters)
{
    TAppHarness app;
    TForm1& form = app.Start();
    Poller(form).Poll();
    TConfigWord& editor = *form.Dialogs().ConfigWord;
    ASSERT_EQ(editor.ReadValues()[150], app.meter->Register(1, 150));
    // A scratchpad typed into the editor and committed with OK.
    editor.show();
    TypeInto(editor.findChild<QLineEdit*>("ebSP1"), "777");
    QTest::mouseClick(editor.findChild<QPushButton*>("bOK"), Qt::LeftButton);
    EXPECT_EQ(editor.PendingCommit(), TConfigWord::TPendingCommit::AfterOk);
    Poller(form).Poll();
    EXPECT_EQ(app.meter->Register(1, 150), 777);
    EXPECT_EQ(editor.PendingCommit(), TConfigWord::TPendingCommit::None);
    EXPECT_TRUE(Lines(Memo(form)).contains("Writing 0x96=777"));
    EXPECT_EQ(Link(form)->GetRegister(150), 777);
}

TEST(App, AMeterThatStopsAnsweringAndComesBack)
{
    TAppHarness app;
    const uint16_t port = app.meter->Port();
    TForm1& form = app.Start();
    Poller(form).Poll();
    ASSERT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");

    app.meter.reset();
    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .Faults = {.DropEvery = 1}, .Port = port});
    Link(form)->SetRXTimeout(100);
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "NO COMM");
    EXPECT_EQ(app.FieldText("Freq (Hz)"), "-- ");
    EXPECT_TRUE(PollingTimer(form).isActive()); // polling goes on

    app.meter.reset();
    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .Port = port});
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_NE(app.FieldText("Freq (Hz)"), "-- ");
}

// The "Port" menu may run inside a pass, while the pass still uses the old
// link: the old link lives until the pass is done with it, and is freed then.
TEST(App, ReopeningTheConnectionDuringAPass)
{
    TAppHarness app;
    TForm1& form = app.Start();
    std::weak_ptr<TKelvane> oldLink = Link(form);
    bool reopened = false;
    QTimer::singleShot(0, &form, [&] {
        QTimer::singleShot(0, form.Dialogs().ComSelect, [&] { form.Dialogs().ComSelect->accept(); });
        ChoosePort(form);
        reopened = true;
    });
    Poller(form).ReadAll(); // the pass processes events between banks
    EXPECT_TRUE(reopened);
    EXPECT_TRUE(oldLink.expired());
    EXPECT_NE(Link(form), nullptr);
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
}

TEST(App, RegisterWriteBoxAndFunction17)
{
    TAppHarness app;
    TForm1& form = app.Start();
    Find<QLineEdit>(form, "ebRead")->setText("96");
    Find<QRadioButton>(form, "rbHex")->setChecked(true);
    Find<QCheckBox>(form, "cb32bit")->setChecked(true);
    Find<QLineEdit>(form, "ebWriteValue")->setText("12345678");
    Commands(form).WriteSendClick();
    EXPECT_EQ(app.meter->Register(1, 150), 0x1234);
    EXPECT_EQ(app.meter->Register(1, 151), 0x5678);

    Find<QCheckBox>(form, "cb32bit")->setChecked(false);
    Find<QRadioButton>(form, "rbDec")->setChecked(true);
    Find<QLineEdit>(form, "ebWriteValue")->setText("10");
    QTest::keyClick(Find<QLineEdit>(form, "ebWriteValue"), Qt::Key_Up);
    EXPECT_EQ(Find<QLineEdit>(form, "ebWriteValue")->text(), "11");
    EXPECT_EQ(app.meter->Register(1, 150), 11);
    QTest::keyClicks(Find<QLineEdit>(form, "ebWriteValue"), "g");
    EXPECT_EQ(Find<QLineEdit>(form, "ebWriteValue")->text(), "11");

    Commands(form).Func17Click();
    EXPECT_TRUE(Find<QPlainTextEdit>(form, "memoF17")->toPlainText().contains("needs a serial link"));
}

TEST(App, PollingRunsPassAfterPass)
{
    TAppHarness app;
    TForm1& form = app.Start({"/POLLING=600000"});
    PollingTimer(form).setInterval(20);
    PollingTimer(form).start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Count(form, "TX") >= 9u; }, 20000)) << "passes stopped after " << Count(form, "TX") / 3;
    EXPECT_EQ(Count(form, "RX"), Count(form, "TX"));
}

// In a text field the editing keys are the field's: Ctrl+A selects all and
// opens nothing. Keys the field has no use for, and every menu key outside
// a text field (the meter list would take Ctrl+A as "select all"), act as
// the menu's.
TEST(App, EditingKeysBelongToTheTextFieldMenuKeysActElsewhere)
{
    struct Row {
        const char* name;
        QKeySequence key;
        std::function<QWidget*(TForm1&)> focus;
        std::function<QWidget*(TForm1&)> opens; // nothing: the key stays in the field
    };
    const Row rows[] = {
        {"Ctrl+A in the name edit", QKeySequence("Ctrl+A"), [](TForm1& f) -> QWidget* { return f.findChild<QWidget*>("ebName"); }, {}},
        {"Ctrl+A in the address edit", QKeySequence("Ctrl+A"), [](TForm1& f) -> QWidget* { return f.findChild<QWidget*>("ebAddr"); }, {}},
        {"Ctrl+A in the meter list", QKeySequence("Ctrl+A"), [](TForm1& f) -> QWidget* { return f.findChild<QWidget*>("ListView"); },
         [](TForm1& f) -> QWidget* { return f.Dialogs().frmAddress; }},
        {"Ctrl+G in the name edit", QKeySequence("Ctrl+G"), [](TForm1& f) -> QWidget* { return f.findChild<QWidget*>("ebName"); },
         [](TForm1& f) -> QWidget* { return f.Dialogs().ConfigWord; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TAppHarness app;
        app.WriteFile("Meters.ini", "[Line 1]\nAddress=1\n[Line 2]\nAddress=2\n");
        TForm1& form = app.Start();
        ASSERT_TRUE(Activate(form));
        QWidget* focus = row.focus(form);
        focus->setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return focus->hasFocus(); }, 5000));
        auto* edit = qobject_cast<QLineEdit*>(focus);
        if (edit)
            QTest::keyClicks(edit, "12");
        QTest::keySequence(focus, row.key);
        if (row.opens) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return row.opens(form)->isVisible(); }, 5000));
            if (edit) {
                EXPECT_FALSE(edit->hasSelectedText());
            }
        } else {
            ASSERT_NE(edit, nullptr);
            EXPECT_EQ(edit->selectedText(), edit->text());
            EXPECT_FALSE(form.Dialogs().frmAddress->isVisible());
        }
        EXPECT_TRUE(Find<QListWidget>(form, "ListView")->selectedItems().isEmpty());
    }
}

// Ctrl+X in a text field cuts: typing a meter's name can never end the run
// and lose the meter just added.
TEST(App, CtrlXInAnEditCutsAndTheRunGoesOn)
{
    TAppHarness app;
    TForm1& form = app.Start();
    ASSERT_TRUE(Activate(form));
    Find<QLineEdit>(form, "ebName")->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Find<QLineEdit>(form, "ebName")->hasFocus(); }, 5000));
    QTest::keyClicks(Find<QLineEdit>(form, "ebName"), "Line 9");
    QTest::keySequence(Find<QLineEdit>(form, "ebName"), QKeySequence("Ctrl+A"));
    QTest::keySequence(Find<QLineEdit>(form, "ebName"), QKeySequence("Ctrl+X"));
    EXPECT_EQ(Find<QLineEdit>(form, "ebName")->text(), "");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "Line 9");
    QTest::keySequence(Find<QLineEdit>(form, "ebName"), QKeySequence("Ctrl+V"));
    EXPECT_EQ(Find<QLineEdit>(form, "ebName")->text(), "Line 9");
    EXPECT_FALSE(form.Closing());
    EXPECT_TRUE(form.isVisible());
}

// A polling interval outside 50 ms ... one hour would poll the meter flat
// out or not at all: it is refused with a message, and 1000 ms applies.
TEST(App, PollingSwitchOutsideItsRangeIsRefused)
{
    struct Row {
        const char* argument;
        int interval;
        bool refused;
    };
    const Row rows[] = {
        {"/POLLING=0", 1000, true},      {"/POLLING=-5", 1000, true},          {"/POLLING=49", 1000, true},
        {"/POLLING=3600001", 1000, true}, {"/POLLING=fast", 1000, true},        {"/POLLING=50", 50, false},
        {"/POLLING=3600000", 3600000, false}, {"/POLLING=250", 250, false}, {"/POLLING", 1000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.argument);
        TAppHarness app;
        MessageBoxRecorder boxes;
        TForm1& form = StartWith(app, {row.argument});
        EXPECT_EQ(PollingTimer(form).interval(), row.interval);
        EXPECT_TRUE(PollingTimer(form).isActive());
        ASSERT_EQ(boxes.shown.size(), row.refused ? 1u : 0u);
        if (row.refused) {
            const QString& text = boxes.shown[0].text;
            EXPECT_TRUE(text.contains(QString(row.argument).mid(9))) << text.toStdString();
            EXPECT_TRUE(text.contains("50 to 3600000 ms")) << text.toStdString();
            EXPECT_TRUE(text.contains("1000 ms")) << text.toStdString();
        }
        app.windows.reset();
    }
}

// Without its page file the window has no data page, and without the bank
// file nothing is read: one message names what is missing and where.
TEST(App, AMissingPageOrBankFileIsNamedOnce)
{
    const QStringList rows[] = {{"Float.ini"}, {"RegisterBanks.ini"}, {"Float.ini", "RegisterBanks.ini"}};
    for (const QStringList& missing : rows) {
        SCOPED_TRACE(missing.join(", ").toStdString());
        TAppHarness app;
        for (const QString& name : missing)
            ASSERT_TRUE(QFile::remove(app.dir.filePath(name)));
        MessageBoxRecorder boxes;
        TForm1& form = app.Start();
        ASSERT_EQ(boxes.shown.size(), 1u);
        const QString& text = boxes.shown[0].text;
        for (const QString& name : {QString("Float.ini"), QString("RegisterBanks.ini")})
            EXPECT_EQ(text.contains(name), missing.contains(name)) << text.toStdString();
        EXPECT_TRUE(text.contains(QDir::toNativeSeparators(app.dir.path()))) << text.toStdString();
        EXPECT_EQ(Find<QTabWidget>(form, "PageControl1")->count(), missing.contains("Float.ini") ? 0 : 1);
        app.windows.reset();
    }
}

namespace {

// Started unattended with something to warn of, the utility warns without
// waiting for an answer: the warning stays on screen and in the window's log
// while polling reads the meter.
void WarnsWithoutStoppingThePolling(TAppHarness& app, const QStringList& switches, const QString& named)
{
    const TMessageBoxHandler previous = SetMessageBoxHandler({}); // the real boxes
    bool rescued = false;
    // Ends a modal loop should the warning wait for an answer, so that the
    // test fails instead of hanging.
    QTimer rescue;
    QObject::connect(&rescue, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            rescued = true;
            modal->close();
        }
    });
    rescue.start(10000);
    TForm1& form = StartWith(app, switches);
    SetMessageBoxHandler(previous);
    EXPECT_FALSE(rescued);
    QMessageBox* warning = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
            warning = box;
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->text().contains(named)) << warning->text().toStdString();
    EXPECT_TRUE(Memo(form)->toPlainText().contains(named));
    EXPECT_TRUE(PollingTimer(form).isActive());
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    warning->close();
    app.windows.reset();
}

} // namespace

TEST(App, StartUpWarningsDoNotStopThePolling)
{
    TAppHarness noPage, refusedInterval, unusableName;
    ASSERT_TRUE(QFile::remove(noPage.dir.filePath("Float.ini")));
    WarnsWithoutStoppingThePolling(noPage, {}, "Float.ini");
    WarnsWithoutStoppingThePolling(refusedInterval, {"/POLLING=fast"}, "/POLLING=fast");
    unusableName.WriteFile("Float.ini", "[Volts]\nName=1st\n");
    WarnsWithoutStoppingThePolling(unusableName, {}, "\"1st\" (field \"Volts\") is not a name");
}

// Under /POLLING a bank is tried once unless the technician chose the tries
// in the "Port" dialog; the tries of a start without the switch are no such
// choice.
TEST(App, PollingSwitchTriesOnceUnlessTheTriesWereChosen)
{
    TAppHarness app;
    const struct {
        QStringList switches;
        int tries, chosen; // at the start, and typed into the "Port" dialog (0: it is cancelled)
    } steps[] = {{{}, 3, 0}, {{"/POLLING"}, 1, 2}, {{"/POLLING"}, 2, 0}};
    for (const auto& step : steps) {
        TForm1& form = StartWith(app, step.switches);
        TComSelect& com = *form.Dialogs().ComSelect;
        EXPECT_EQ(com.ebTries->value(), step.tries) << step.switches.join(' ').toStdString();
        QTimer::singleShot(0, &com, [&] {
            com.ebTries->selectAll();
            QTest::keyClicks(com.ebTries, QString::number(step.chosen));
            QTest::mouseClick(step.chosen ? com.BitBtn1 : com.bCancel, Qt::LeftButton);
        });
        ChoosePort(form);
        form.close();
    }
}

// A first start on a port that does not open says so once: polling waits
// for the "Port" menu instead of failing a second time on the closed link.
TEST(App, APortThatDoesNotOpenIsReportedOnce)
{
    TAppHarness app; // no settings file: a first start
    const QString port = "/dev/kelvane-test-no-such-port";
    MessageBoxRecorder boxes;
    app.windows = std::make_unique<TKelvaneWindows>(app.paths, QStringList{"/PORT=" + port});
    TForm1& form = app.windows->Form1;
    form.show();
    ASSERT_EQ(boxes.shown.size(), 1u);
    // The one box names the port and says why it did not open.
    EXPECT_EQ(boxes.shown[0].text, "ERROR: Could not connect to " + port + "\n\nCould not open serial port: " + port
                                       + ": No such file or directory");
    EXPECT_EQ(StatusText(form), "Failed to Open " + port);
    EXPECT_FALSE(PollingTimer(form).isActive());

    TComSelect& com = *form.Dialogs().ComSelect;
    QTimer::singleShot(0, &com, [&] {
        com.SetKind(TLinkKind::Tcp);
        com.SetIpText("127.0.0.1");
        com.SetTcpPort(app.meter->Port());
        com.accept();
    });
    ChoosePort(form);
    EXPECT_TRUE(PollingTimer(form).isActive());
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_EQ(boxes.shown.size(), 1u);
}

// The status bar names the link and the meter polled, which a selection in
// the meter list changes for the windows that keep a history too; each
// meter's requests and replies are counted apart, at a glance and in the
// "Communication Statistics" window.
TEST(App, TheStatusBarNamesTheLinkAndTheMeterAndCountsItsReplies)
{
    TAppHarness app;
    TForm1& form = app.Start();
    const QString link = QString("Modbus/TCP 127.0.0.1:%1").arg(app.meter->Port());
    EXPECT_EQ(StatusText(form, "Link"), link);
    EXPECT_EQ(StatusText(form, "Meter"), "Address 1");
    EXPECT_EQ(StatusText(form, "Communication"), "Replies 3/3");

    QSignalSpy changes(&form, &TForm1::MeterChanged);
    TypeInto(Find<QLineEdit>(form, "ebName"), "Pump house");
    TypeInto(Find<QLineEdit>(form, "ebAddr"), "2");
    QTest::mouseClick(Find<QPushButton>(form, "bAdd"), Qt::LeftButton);
    auto* list = Find<QListWidget>(form, "ListView");
    ASSERT_EQ(list->count(), 1);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
    EXPECT_EQ(StatusText(form, "Meter"), "Pump house (2)");
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes[0][0].toString(), "Pump house (2)");
    EXPECT_EQ(StatusText(form, "Communication"), "Replies -");

    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_EQ(StatusText(form, "Communication"), "Replies 3/3");
    const std::vector<TCommCounters>& meters = Statistics(form).Meters();
    ASSERT_EQ(meters.size(), 2u);
    EXPECT_EQ(meters[1].Meter.Name, "Pump house");
    EXPECT_EQ(meters[1].Meter.Link, link);
    EXPECT_EQ(meters[1].Meter.Address, 2);
    EXPECT_EQ(meters[1].Ok, 3);
    EXPECT_TRUE(Find<QLabel>(*form.Dialogs().frmAddress, "labStatistics")->text().startsWith("Requests 3 · OK 3"));
}

// "File > Dump Registers..." saves the register image of the banks as read:
// a register's value while its latest read succeeded, none once it failed.
// The name chosen without an extension gets ".csv".
TEST(App, DumpRegistersSavesWhatTheLatestReadsBrought)
{
    TAppHarness app;
    TForm1& form = app.Start();
    QAction* dump = nullptr;
    for (QAction* menu : form.menuBar()->actions())
        if (menu->menu())
            for (QAction* item : menu->menu()->actions())
                if (item->text().remove('&') == "Dump Registers...")
                    dump = item;
    ASSERT_NE(dump, nullptr);
    const auto dumpTo = [&](const QString& name) {
        testsupport::TFileDialogAnswer answer(form, app.dir.filePath(name));
        dump->trigger();
        EXPECT_TRUE(answer.answered);
        QFile file(app.dir.filePath(name + ".csv"));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    };
    const QStringList read = dumpTo("answered");
    ASSERT_FALSE(read.isEmpty());
    EXPECT_EQ(read[0], "Register,Value,Latest read OK");
    EXPECT_TRUE(read.contains("133,12345,yes"));
    EXPECT_EQ(read.filter(",no").size(), 0) << read.filter(",no").join(' ').toStdString();

    app.meter.reset();
    Poller(form).Poll();
    const QStringList failed = dumpTo("silent");
    EXPECT_TRUE(failed.contains("133,,no"));
    EXPECT_EQ(failed.filter(",yes").size(), 0);
}

// Keyboard only: each drop-down menu opens with its Alt letter.
TEST(App, EveryMenuOpensWithItsAltLetter)
{
    TAppHarness app;
    TForm1& form = app.Start();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    const struct {
        Qt::Key key;
        const char* menu;
    } rows[] = {{Qt::Key_F, "File"}, {Qt::Key_L, "Logging"}, {Qt::Key_O, "Options"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.menu);
        QMenu* menu = nullptr;
        for (QAction* action : form.menuBar()->actions())
            if (action->text().remove('&') == row.menu)
                menu = action->menu();
        ASSERT_NE(menu, nullptr);
        QTest::keyClick(&form, row.key, Qt::AltModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 5000));
        menu->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !menu->isVisible(); }, 5000));
    }
}

// Logging that cannot write shows in the status bar, with the reason on
// hover, until it writes again at its next interval (5 s, the shortest);
// the window's log tells each change once.
TEST(App, TheStatusBarShowsALogThatFailsUntilItWritesAgain)
{
    TAppHarness app;
    const QString blocker = app.dir.filePath("blocker"); // a file where a folder should be
    app.WriteFile("blocker", "not a folder");
    const QString log = blocker + "/log.csv";
    app.WriteFile("kelvane.ini", QString("[Logging]\nEnabled=1\nFrequency=5\nFilename=%1\n").arg(log).toUtf8());
    TForm1& form = app.Start();
    PollingTimer(form).setInterval(500);
    PollingTimer(form).start();
    const auto* panel = Find<QLabel>(form, "Logging");
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel->text() == "Logging FAILS: log-address-1.csv"; }, 20000))
        << panel->text().toStdString();
    EXPECT_TRUE(panel->toolTip().contains("Last failure: ")) << panel->toolTip().toStdString();

    ASSERT_TRUE(QFile::remove(blocker));
    ASSERT_TRUE(QDir(app.dir.path()).mkdir("blocker"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel->text().startsWith("Logging: log-address-1.csv, "); }, 20000))
        << panel->text().toStdString() << "\n" << Lines(Memo(form)).join('\n').toStdString() << "\n"
        << panel->toolTip().toStdString();
    const QStringList lines = Lines(Memo(form));
    EXPECT_EQ(lines.filter("Error opening output log file.").size(), 1) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.filter("works again").size(), 1) << lines.join('\n').toStdString();
}

// The log ticks inside the passes of a slow meter with two float banks while clicks switch meters:
// each meter's file holds whole records of its own total energy, in both banks (quantities 0 and 43).
TEST(App, EachMeterLogsWholePassesToAFileOfItsOwn)
{
    TAppHarness app("[Logging]\nEnabled=1\nParam0=1\nParam43=1\n");
    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .DelayMs = 15});
    app.WriteFile("RegisterBanks.ini", "[A]\nStart=768\nEnd=827\nActive=1\n[B]\nStart=828\nEnd=887\nActive=1\n");
    app.WriteFile("Meters.ini", "[Line 1]\nAddress=1\n[Line 2]\nAddress=2\n");
    TForm1& form = app.Start();
    Logger(form).LogTimer().setInterval(10);
    PollingTimer(form).start(10);
    const auto records = [&](const QString& f) { return QString(app.ReadFile(f)).split("\r\n", Qt::SkipEmptyParts).mid(1); };
    for (const int row : {0, 1, 0, 1}) {
        ClickRow(form, row);
        const QString file = row == 0 ? "log-Line_1-1.csv" : "log-Line_2-2.csv";
        const auto before = records(file).size();
        ASSERT_TRUE(QTest::qWaitFor([&] { return records(file).size() >= before + 3; }, 20000)) << file.toStdString();
        EXPECT_TRUE(StatusText(form, "Logging").startsWith("Logging: " + file + ", ")) << file.toStdString();
    }
    for (const auto& [unit, file] : {std::pair{1, "log-Line_1-1.csv"}, {2, "log-Line_2-2.csv"}}) {
        EXPECT_FALSE(records(file).isEmpty()) << file;
        const auto energy = std::bit_cast<float>(uint32_t(app.meter->Register(unit, 768)) << 16 |
                                                 app.meter->Register(unit, 769));
        for (const QString& record : records(file))
            for (const QString& field : record.split(LogFile::ListSeparator(QLocale::system())).mid(2))
                EXPECT_NEAR(QLocale::system().toDouble(field), energy, 1.0) << record.toStdString();
    }
}

// Escape in the "Port" dialog keeps the link and the dialog's choice as they
// were. A switch to a port that does not open is reported once, and a
// polling tick that the report's box lets through polls nothing; the way
// back to Modbus/TCP reads the meter with no error on the way.
TEST(App, PortDialogEscapeKeepsTheLinkAndAFailedSwitchPollsNothing)
{
    TAppHarness app;
    TForm1& form = app.Start();
    const std::shared_ptr<TKelvane> tcp = Link(form);
    TComSelect& com = *form.Dialogs().ComSelect;
    QTimer::singleShot(0, &com, [&] {
        QTest::mouseClick(com.cbRTU, Qt::LeftButton);
        com.ComPort->lineEdit()->clear();
        QTest::keyClicks(com.ComPort->lineEdit(), "/dev/ttyUSB7");
        QTest::keyClick(&com, Qt::Key_Escape);
    });
    ChoosePort(form);
    EXPECT_EQ(Link(form), tcp);
    EXPECT_EQ(com.Kind(), TLinkKind::Tcp);
    EXPECT_EQ(com.IpText(), "127.0.0.1");

    std::vector<QString> shown;
    const TMessageBoxHandler previous = SetMessageBoxHandler(
        [&](QWidget*, QMessageBox::Icon, const QString&, const QString& text, QMessageBox::StandardButtons) {
            shown.push_back(text);
            Poller(form).Poll(); // a tick that came due while the box was open
            return QMessageBox::Ok;
        });
    const QString missing = "/dev/kelvane-test-no-such-port";
    QTimer::singleShot(0, &com, [&] {
        QTest::mouseClick(com.cbRTU, Qt::LeftButton);
        com.SetPortText(missing);
        QTest::mouseClick(com.BitBtn1, Qt::LeftButton);
    });
    ChoosePort(form);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].startsWith("ERROR: Could not connect to " + missing)) << shown[0].toStdString();

    QTimer::singleShot(0, &com, [&] {
        QTest::mouseClick(com.cbTCP, Qt::LeftButton);
        QTest::mouseClick(com.BitBtn1, Qt::LeftButton);
    });
    ChoosePort(form);
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_EQ(shown.size(), 1u);
    SetMessageBoxHandler(previous);
}

// Every window's title is its own caption, also as a Linux desktop shows it,
// and the application keeps its name.
TEST(App, EveryWindowTitleIsItsOwnCaption)
{
    TAppHarness app("[Form]\nCaption=Test bench\n");
    app.Start();
    const TTitleFormat desktopTitle = DesktopTitleFormat();
    ASSERT_NE(desktopTitle, nullptr) << dlerror();
    TKelvaneWindows& w = *app.windows;
    const QWidget* windows[] = {&w.Form1, &w.ProgressDialog, &w.frmAddress, &w.ConfigWord, &w.ComSelect,
                                &w.Logging, &w.TextView, &w.ModbusData, &w.FactoryTest, &w.CTSettings};
    for (const QWidget* window : windows) {
        const QString title = window->windowTitle();
        EXPECT_FALSE(title.isEmpty()) << window->metaObject()->className();
        EXPECT_EQ(desktopTitle(title, QString(" \u2014 ")), title);
    }
    EXPECT_EQ(w.Form1.windowTitle(), "Test bench");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Kelvane");
}
