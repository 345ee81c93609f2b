#include "AppHarness.h"

#include "DataLogger.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using apptest::TAppHarness;
using apptest::TSimulatedMeter;
using testsupport::MessageBoxRecorder;

namespace {

QString StatusText(TForm1& form, int panel)
{
    return form.StatusPanels[static_cast<std::size_t>(panel)]->text();
}

QStringList Lines(const QPlainTextEdit* memo)
{
    return memo->toPlainText().split('\n', Qt::SkipEmptyParts);
}

} // namespace

TEST(App, StartsFromSettingsAndSwitchesAndShowsTheMetersValues)
{
    TAppHarness app("[Form]\nCaption=Test bench\nBaud=2\nTCP=0\n[Logging]\nEnabled=0\n");
    TForm1& form = app.Start();
    EXPECT_EQ(form.windowTitle(), "Test bench");
    const auto& com = form.Dialogs().ComSelect;
    EXPECT_TRUE(com->IsTcp()); // /MODE=TCP wins over the saved key
    EXPECT_EQ(com->IpText(), "127.0.0.1");
    EXPECT_EQ(com->BaudIndex(), 2);
    EXPECT_EQ(form.Kelvane()->TcpPort(), app.meter->Port());
    EXPECT_EQ(StatusText(form, 0), "Kelvane Opened on 127.0.0.1 at 38400 baud");
    EXPECT_FALSE(form.CalibrateBox->isVisible());
    EXPECT_EQ(form.RegisterBanks.size(), 3u);
    ASSERT_EQ(form.PageControl1->count(), 1);
    EXPECT_EQ(form.PageControl1->widget(0)->objectName(), "TabFloat");
    EXPECT_FALSE(form.TabGeneral->isVisible());
    EXPECT_TRUE(Lines(form.Memo).contains("Software Version: 5.7 (Oct 15, 2014)"));

    form.tPollingTimer();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_EQ(StatusText(form, 1), "TX: 3");
    EXPECT_EQ(StatusText(form, 2), "RX: 3");
    EXPECT_EQ(StatusText(form, 0), "[0x080-0x09e] (Configuration) = OK");
    EXPECT_EQ(Lines(form.ComStatusMemo).first(), "[0x000-0x07c] (Measurements) = OK");

    // The page shows the simulator's floats: about 50 Hz and 230 V.
    const double frequency = app.FieldText("Freq (Hz)").trimmed().toDouble();
    EXPECT_NEAR(frequency, 50.0, 0.5) << app.FieldText("Freq (Hz)").toStdString();
    const QString volts = app.FieldText("V A-N (V)").trimmed();
    EXPECT_NEAR(QLocale().toDouble(volts), 230.0, 15.0) << volts.toStdString();

    // Four trace lines per bank read, with the frames of the exchange.
    const QString trace = form.Dialogs().ModbusData->findChild<QPlainTextEdit*>()->toPlainText();
    const QStringList lines = trace.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 12);
    EXPECT_TRUE(lines[0].startsWith("QRY >(00)(00)(00)(00)(00)(06)(01)(03)(00)(00)(00)(7D)")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("RSP <(00)(00)(00)(00)(00)(FD)(01)(03)(FA)")) << lines[1].toStdString();
    EXPECT_EQ(lines[2], "   RESULT: OK");
    EXPECT_EQ(lines[3], QString(35, '-'));
    testsupport::SaveScreenshot(form, "main-window");
}

TEST(App, MeterListRoundTripAndSelection)
{
    TAppHarness app;
    app.WriteFile("Meters.ini", "[Line 1]\nAddress=1\n[Line 2]\nAddress=2\n[Odd]\nAddress=99\n");
    TForm1& form = app.Start();
    ASSERT_EQ(form.ListView->count(), 3);

    form.ListView->setCurrentRow(1);
    EXPECT_EQ(form.PageControl1->tabText(0), "Line 2 (Addr: 2)");
    EXPECT_EQ(form.Dialogs().frmAddress->GetAddress(), 2);
    app.meter->SetRegister(2, 150, 4242);
    form.tPollingTimer();
    EXPECT_EQ(form.Kelvane()->GetRegister(150), 4242); // the pass read unit 2
    EXPECT_EQ(form.Kelvane()->GetRegister(149), app.meter->Register(2, 149));

    form.ListView->setCurrentRow(2); // an address outside 1..63 keeps the device address
    EXPECT_EQ(form.PageControl1->tabText(0), "Odd (Addr: 99)");
    EXPECT_EQ(form.Dialogs().frmAddress->GetAddress(), 2);

    form.ebName->setText("Line 3");
    form.ebAddr->setText("7");
    QTest::mouseClick(form.bAdd, Qt::LeftButton);
    EXPECT_EQ(form.ListView->count(), 4);
    EXPECT_TRUE(form.ebName->text().isEmpty());
    {
        MessageBoxRecorder boxes;
        form.ebName->setText("line 1");
        form.ebAddr->setText("3");
        QTest::mouseClick(form.bAdd, Qt::LeftButton);
        form.ebName->setText("Far");
        form.ebAddr->setText("64");
        QTest::mouseClick(form.bAdd, Qt::LeftButton);
        ASSERT_EQ(boxes.shown.size(), 2u);
        EXPECT_TRUE(boxes.shown[0].text.contains("\"line 1\" is already in the list"));
        EXPECT_EQ(boxes.shown[1].text, "Address must be between 1..63");
        EXPECT_EQ(form.ListView->count(), 4);
    }
    form.ListView->setCurrentRow(1);
    QTest::mouseClick(form.bDelete, Qt::LeftButton);
    EXPECT_EQ(form.ListView->count(), 3);
    EXPECT_EQ(form.ListView->currentItem()->text(), "Line 1");
    EXPECT_EQ(form.PageControl1->tabText(0), "Line 1 (Addr: 1)");

    form.close();
    app.windows.reset();
    EXPECT_EQ(app.ReadFile("Meters.ini"), "[Line 1]\nAddress=1\n\n[Odd]\nAddress=99\n\n[Line 3]\nAddress=7\n\n");
}

TEST(App, CloseSavesSettingsAndExitSavesNothing)
{
    {
        TAppHarness app;
        TForm1& form = app.Start();
        form.ebName->setText("Kept");
        form.bAddClick();
        form.close();
        const QByteArray settings = app.ReadFile("kelvane.ini");
        EXPECT_TRUE(settings.contains("Caption=New Form")) << settings.toStdString();
        EXPECT_TRUE(settings.contains("IP Address=127.0.0.1"));
        EXPECT_TRUE(settings.contains(QString("TCP Port=%1").arg(app.meter->Port()).toUtf8()));
        EXPECT_TRUE(settings.contains("TCP=1"));
        EXPECT_TRUE(app.ReadFile("Meters.ini").contains("[Kept]"));
        EXPECT_TRUE(form.AppClosing);
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
    form.tPollingTimer();
    TConfigWord& editor = *form.Dialogs().ConfigWord;
    ASSERT_EQ(editor.ReadValues()[150], app.meter->Register(1, 150));
    // A scratchpad typed into the editor and committed with OK.
    auto* scratch = editor.findChild<QLineEdit*>("ebSP1");
    ASSERT_NE(scratch, nullptr);
    editor.show();
    scratch->setFocus();
    scratch->selectAll();
    QTest::keyClicks(scratch, "777");
    QTest::mouseClick(editor.findChild<QPushButton*>("bOK"), Qt::LeftButton);
    EXPECT_EQ(editor.Tag(), 1);
    form.tPollingTimer();
    EXPECT_EQ(app.meter->Register(1, 150), 777);
    EXPECT_EQ(editor.Tag(), 0);
    EXPECT_TRUE(Lines(form.Memo).contains("Writing 0x96=777"));
    EXPECT_EQ(form.Kelvane()->GetRegister(150), 777);
}

TEST(App, AMeterThatStopsAnsweringAndComesBack)
{
    TAppHarness app;
    const uint16_t port = app.meter->Port();
    TForm1& form = app.Start();
    form.tPollingTimer();
    ASSERT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");

    app.meter.reset();
    app.meter = std::make_unique<TSimulatedMeter>(port, rFaultOptions{1, 0, 0, false});
    form.Kelvane()->SetRXTimeout(100);
    form.tPollingTimer();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "NO COMM");
    EXPECT_EQ(app.FieldText("Freq (Hz)"), "-- ");
    EXPECT_TRUE(form.tPolling.isActive()); // polling goes on

    app.meter.reset();
    app.meter = std::make_unique<TSimulatedMeter>(port);
    form.tPollingTimer();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_NE(app.FieldText("Freq (Hz)"), "-- ");
}

// The "Port" menu may run inside a pass, while the pass still uses the old
// link: the old link lives until the pass is done with it, and is freed then.
TEST(App, ReopeningTheConnectionDuringAPass)
{
    TAppHarness app;
    TForm1& form = app.Start();
    std::weak_ptr<TKelvane> oldLink = form.Kelvane();
    bool reopened = false;
    QTimer::singleShot(0, &form, [&] {
        QTimer::singleShot(0, form.Dialogs().ComSelect, [&] { form.Dialogs().ComSelect->accept(); });
        form.MenuPortClick();
        reopened = true;
    });
    form.bReadRegsClick(); // the pass processes events between banks
    EXPECT_TRUE(reopened);
    EXPECT_TRUE(oldLink.expired());
    EXPECT_NE(form.Kelvane(), nullptr);
    form.tPollingTimer();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
}

TEST(App, RegisterWriteBoxAndFunction17)
{
    TAppHarness app;
    TForm1& form = app.Start();
    form.ebRead->setText("96");
    form.rbHex->setChecked(true);
    form.cb32bit->setChecked(true);
    form.ebWriteValue->setText("12345678");
    form.bWriteSendClick();
    EXPECT_EQ(app.meter->Register(1, 150), 0x1234);
    EXPECT_EQ(app.meter->Register(1, 151), 0x5678);

    form.cb32bit->setChecked(false);
    form.rbDec->setChecked(true);
    form.ebWriteValue->setText("10");
    QTest::keyClick(form.ebWriteValue, Qt::Key_Up);
    EXPECT_EQ(form.ebWriteValue->text(), "11");
    EXPECT_EQ(app.meter->Register(1, 150), 11);
    QTest::keyClicks(form.ebWriteValue, "g");
    EXPECT_EQ(form.ebWriteValue->text(), "11");

    form.bFunc17Click();
    EXPECT_TRUE(form.memoF17->toPlainText().contains("needs a serial link"));
}

TEST(App, PollingRunsPassAfterPass)
{
    TAppHarness app;
    TForm1& form = app.Start({"/POLLING=600000"});
    form.tPolling.setInterval(20);
    form.tPolling.start();
    QTest::qWait(600);
    EXPECT_GE(form.TX, 9u) << "passes stopped after " << form.TX / 3;
    EXPECT_EQ(form.RX, form.TX);
}
