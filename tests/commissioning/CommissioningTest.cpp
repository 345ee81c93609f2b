// Commissioning a bus of meters through the whole utility: finding the
// meters on the link, and carrying a configuration from one meter to
// another as a profile.

#include "AppHarness.h"
#include "FindMeters.h"
#include "ScriptedServer.h"

#include <QDate>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

using apptest::Link;
using apptest::Poller;
using apptest::PollingTimer;
using apptest::TAppHarness;
using simharness::rSimSetup;
using simharness::TInProcessRtuSim;
using simharness::TInProcessSim;
using testsupport::MessageBoxRecorder;

const std::vector<uint8_t> BusUnits{1, 2, 7};

// The utility on one transport against simulated meters at BusUnits; replies
// come after delayMs.
class TBench {
public:
    TBench(bool rtu, int delayMs = 0)
    {
        const rSimSetup setup{.Units = BusUnits, .DelayMs = delayMs};
        if (rtu)
            rtu_ = std::make_unique<TInProcessRtuSim>(setup);
        else
            app.meter = std::make_unique<TInProcessSim>(setup);
    }

    TForm1& Start()
    {
        if (!rtu_)
            return app.Start();
        const QStringList arguments{"/MODE=RTU", "/PORT=" + QString::fromStdString(rtu_->Path()), "/BAUD=19200",
                                    "/POLLING=600000"};
        app.windows = std::make_unique<TKelvaneWindows>(app.paths, arguments);
        return app.ShowWindow();
    }

    TAppHarness app;

private:
    std::unique_ptr<TInProcessRtuSim> rtu_;
};

QAction* MenuAction(TForm1& form, const QString& text)
{
    for (QAction* menu : form.menuBar()->actions())
        if (menu->menu())
            for (QAction* action : menu->menu()->actions())
                if (action->text().remove(QChar('&')) == text)
                    return action;
    return nullptr;
}

TFindMeters& OpenFindMeters(TForm1& form)
{
    QAction* action = MenuAction(form, "Find Meters...");
    EXPECT_NE(action, nullptr);
    if (action)
        action->trigger();
    auto* window = form.findChild<TFindMeters*>();
    EXPECT_NE(window, nullptr);
    EXPECT_TRUE(window && window->isVisible());
    return *window;
}

void Scan(TFindMeters& finder, int first, int last)
{
    finder.ebFirst->setText(QString::number(first));
    finder.ebLast->setText(QString::number(last));
    QTest::mouseClick(finder.bScan, Qt::LeftButton);
}

// Column texts of the rows found: address, serial, version, model, remark.
std::vector<QStringList> Rows(const TFindMeters& finder)
{
    std::vector<QStringList> rows;
    for (int i = 0; i < finder.lvFound->topLevelItemCount(); ++i) {
        QStringList row;
        for (int c = 0; c < finder.lvFound->columnCount(); ++c)
            row << finder.lvFound->topLevelItem(i)->text(c);
        rows.push_back(row);
    }
    return rows;
}

QString FloatPageCaption(TForm1& form)
{
    for (int i = 0; i < form.findChild<QTabWidget*>("PageControl1")->count(); ++i)
        if (form.findChild<QTabWidget*>("PageControl1")->widget(i)->objectName() == "TabFloat")
            return form.findChild<QTabWidget*>("PageControl1")->tabText(i);
    return {};
}

// Selects the one meter of the list, as a click does: the device address and
// the page caption follow it.
void SelectSavedMeter(TForm1& form)
{
    form.findChild<QListWidget*>("ListView")->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
}

struct rTransportRow {
    const char* Name;
    bool Rtu;
};

void PrintTo(const rTransportRow& row, std::ostream* os)
{
    *os << row.Name;
}

class FindMetersTest : public ::testing::TestWithParam<rTransportRow> {};

const rTransportRow Transports[] = {{"ModbusTcp", false}, {"ModbusRtu", true}};

std::string TransportName(const ::testing::TestParamInfo<rTransportRow>& info)
{
    return info.param.Name;
}

} // namespace

TEST_P(FindMetersTest, FindsEveryMeterOfARangeAndAddsOneToTheMeterList)
{
    TBench bench(GetParam().Rtu);
    TForm1& form = bench.Start();
    Poller(form).Poll();
    ASSERT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    const std::shared_ptr<TKelvane> link = Link(form);
    const int32_t timeout = link->RXTimeout();
    const QString caption = FloatPageCaption(form);

    TFindMeters& finder = OpenFindMeters(form);
    Scan(finder, 1, 10);

    // Only a serial line has the identification report with the model.
    const auto model = [](int serial) {
        return GetParam().Rtu ? QString("Kelvane power transducer, serial %1, firmware 5.70").arg(serial) : "";
    };
    const std::vector<QStringList> expected{
        {"1", "10001", "5.70", model(10001), "Kelvane meter"},
        {"2", "10002", "5.70", model(10002), "Kelvane meter"},
        {"7", "10007", "5.70", model(10007), "Kelvane meter"},
    };
    EXPECT_EQ(Rows(finder), expected);
    EXPECT_EQ(finder.labScan->text(), "Addresses 1 to 10 asked: 3 Kelvane meters found.");
    testsupport::SaveScreenshot(finder, QString("find-meters-") + GetParam().Name);

    // The link is as the scan found it: its timeout, the device address, the
    // page caption, polling, and the image of the meter at the device address.
    EXPECT_EQ(link->RXTimeout(), timeout);
    EXPECT_EQ(form.Dialogs().frmAddress->GetAddress(), 1);
    EXPECT_EQ(FloatPageCaption(form), caption);
    EXPECT_TRUE(PollingTimer(form).isActive());
    EXPECT_FALSE(form.Dialogs().ProgressDialog->isVisible());
    EXPECT_EQ(link->GetRegister(149), 10001);
    EXPECT_TRUE(link->LatestReadOk(149));

    finder.lvFound->setCurrentItem(finder.lvFound->topLevelItem(2));
    EXPECT_EQ(finder.ebMeterName->text(), "SN 10007");
    QTest::mouseClick(finder.bAddMeter, Qt::LeftButton);
    ASSERT_EQ(form.findChild<QListWidget*>("ListView")->count(), 1);
    EXPECT_EQ(form.findChild<QListWidget*>("ListView")->item(0)->text(), "SN 10007");
    EXPECT_EQ(form.findChild<QListWidget*>("ListView")->item(0)->data(Qt::UserRole).toInt(), 7);

    // A meter the list has is not added a second time.
    EXPECT_EQ(finder.lvFound->topLevelItem(2)->text(4), "Kelvane meter, in the meter list as \"SN 10007\"");
    EXPECT_FALSE(finder.bAddMeter->isEnabled());

    // The meter list's own rule: a name already there is refused.
    finder.lvFound->setCurrentItem(finder.lvFound->topLevelItem(0));
    finder.ebMeterName->setText("SN 10007");
    MessageBoxRecorder boxes;
    QTest::mouseClick(finder.bAddMeter, Qt::LeftButton);
    EXPECT_EQ(form.findChild<QListWidget*>("ListView")->count(), 1);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.contains("\"SN 10007\" is already in the list")) << boxes.shown[0].text.toStdString();

    // Polling goes on with the meter at the device address.
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_EQ(link->GetRegister(149), 10001);
}

TEST_P(FindMetersTest, ACancelHalfWayStopsAfterTheRequestUnderWayAndLeavesTheLinkAsItWas)
{
    // Every address takes a while, so that the cancel comes in the middle.
    TBench bench(GetParam().Rtu, 20);
    bench.app.WriteFile("Meters.ini", "[Line 2]\nAddress=2\n");
    TForm1& form = bench.Start();
    SelectSavedMeter(form);
    Poller(form).Poll();
    ASSERT_EQ(form.Dialogs().frmAddress->GetAddress(), 2);
    ASSERT_EQ(FloatPageCaption(form), "Line 2 (Addr: 2)");
    const std::shared_ptr<TKelvane> link = Link(form);
    const int32_t timeout = link->RXTimeout();

    TFindMeters& finder = OpenFindMeters(form);
    TProgressDialog& progress = *form.Dialogs().ProgressDialog;
    bool cancelled = false;
    QTimer canceller;
    QObject::connect(&canceller, &QTimer::timeout, [&] {
        if (!cancelled && progress.isVisible() && progress.Position() >= 4) {
            cancelled = true;
            EXPECT_EQ(progress.bClose->text(), "Cancel");
            QTest::mouseClick(progress.bClose, Qt::LeftButton);
        }
    });
    canceller.start(1);
    Scan(finder, 1, 40);
    canceller.stop();

    ASSERT_TRUE(cancelled);
    // Asking address 5 when the cancel came: that request ends, no other starts.
    EXPECT_EQ(finder.labScan->text(), "Scan cancelled after address 5: 2 Kelvane meters found.");
    const std::vector<QStringList> rows = Rows(finder);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "1");
    EXPECT_EQ(rows[1][0], "2");
    EXPECT_EQ(form.Dialogs().frmAddress->GetAddress(), 2);
    EXPECT_EQ(FloatPageCaption(form), "Line 2 (Addr: 2)");
    EXPECT_EQ(link->RXTimeout(), timeout);
    EXPECT_TRUE(PollingTimer(form).isActive());
    EXPECT_FALSE(progress.isVisible());
    EXPECT_EQ(progress.bClose->text(), "Close");
    EXPECT_TRUE(finder.bScan->isEnabled());
    Poller(form).Poll();
    EXPECT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    EXPECT_EQ(link->GetRegister(149), 10002);
}

INSTANTIATE_TEST_SUITE_P(Transports, FindMetersTest, ::testing::ValuesIn(Transports), TransportName);

namespace {

QLineEdit* Edit(TConfigWord& editor, const char* name)
{
    return editor.findChild<QLineEdit*>(name);
}

bool IsBold(const QWidget* widget)
{
    return widget->font().bold();
}

void ClickOK(TConfigWord& editor)
{
    QTest::mouseClick(editor.findChild<QPushButton*>("bOK"), Qt::LeftButton);
}

// Meters over Modbus/TCP that take every request as the simulator does,
// except writes to one register: those they acknowledge and forget, as a
// meter that keeps a register to itself.
class TForgetfulMeters {
public:
    explicit TForgetfulMeters(int forgotten) : forgotten_(forgotten) {}
    uint16_t Port() const { return server_.Port(); }
    uint16_t Register(uint8_t unit, uint16_t reg)
    {
        std::vector<uint16_t> values;
        dispatcher_.WithMeter(unit, [&](TMeterModel& m) { m.ReadRegisters(reg, 1, values); });
        return values.at(0);
    }

private:
    testsupport::ScriptedServer::Reply Answer(const testsupport::Bytes& request)
    {
        if (request.size() < 8)
            return {};
        const std::span<const uint8_t> pdu(request.begin() + 7, request.end());
        const bool forget = pdu.size() >= 5 && pdu[0] == 6 && (pdu[1] << 8 | pdu[2]) == forgotten_;
        if (forget)
            return {request};
        const auto reply = dispatcher_.Handle(request[6], pdu);
        if (!reply)
            return {};
        testsupport::Bytes frame(request.begin(), request.begin() + 7);
        frame[4] = uint8_t((reply->Pdu.size() + 1) >> 8);
        frame[5] = uint8_t(reply->Pdu.size() + 1);
        frame.insert(frame.end(), reply->Pdu.begin(), reply->Pdu.end());
        return {frame};
    }

    const int forgotten_;
    TRequestDispatcher dispatcher_{{1}, {}, TUnknownUnit::GatewayException};
    // Last: its thread answers through the members above.
    testsupport::ScriptedServer server_{[this](const testsupport::Bytes& r) { return Answer(r); }};
};

} // namespace

TEST(ConfigProfile, AProfileSavedFromOneMeterIsLoadedIntoAnotherAsTypedAndReadBack)
{
    TAppHarness app;
    // Meter 1 set up by hand: PT 120:1, CT 400:5, Output A on the average
    // current from 1000 (0 V) to 5000 (10 V), a changed word and scratchpad.
    const std::pair<uint16_t, uint16_t> setup[] = {{128, 120}, {130, 400}, {131, 5}, {136, 0x07}, {138, 1000},
                                                  {140, 5000}, {142, 0x05E7}, {150, 4242}};
    for (const auto& [reg, value] : setup)
        app.meter->SetRegister(1, reg, value);
    TForm1& form = app.Start();
    Poller(form).Poll();
    TConfigWord& editor = *form.Dialogs().ConfigWord;
    ASSERT_EQ(Edit(editor, "ebSerialNo")->text(), "10001");
    const QString file = app.dir.filePath("line-a.ini");
    ASSERT_TRUE(editor.SaveProfile(file));

    const QByteArray saved = app.ReadFile("line-a.ini");
    for (const QString& line :
         {QString("Serial Number=10001"), QString("Address=1"), QString("Software Version=5.70"),
          "Date=" + QDate::currentDate().toString(Qt::ISODate), QString("128=120"), QString("136=7"),
          QString("142=1511"), QString("150=4242"),
          // 1000 mA on the secondary side through CT 400:5.
          QString("138=Output A 0V Value: 80.000 A"),
          QString("136=Output A Source Reg: Average Current -- [0x07]"),
          QString("142=Configuration Word: 0x05E7 (bit 10 Pulse on +VARh; ")})
        EXPECT_TRUE(saved.contains(line.toUtf8())) << line.toStdString() << "\n" << saved.toStdString();
    for (const char* absent : {"\n133=", "\n135=", "\n143=", "\n148=", "\n149="})
        EXPECT_FALSE(saved.contains(absent)) << absent;

    // Meter 2 has the simulator's defaults. The editor follows the meter
    // again once it is shown anew.
    form.Dialogs().frmAddress->SetAddress(2);
    editor.hide();
    editor.show();
    Poller(form).Poll();
    ASSERT_EQ(Edit(editor, "ebSerialNo")->text(), "10002");
    ASSERT_TRUE(editor.LoadProfile(file));
    EXPECT_EQ(Edit(editor, "ebPT_Pri")->text(), "120");
    EXPECT_TRUE(IsBold(Edit(editor, "ebPT_Pri")));
    EXPECT_EQ(Edit(editor, "ebSP1")->text(), "4242");
    EXPECT_EQ(Edit(editor, "ebOutA_0")->text(), "80.000");
    EXPECT_TRUE(IsBold(editor.findChild<QWidget*>("cbOutputA")));
    EXPECT_EQ(Edit(editor, "ebSerialNo")->text(), "10002");
    EXPECT_FALSE(IsBold(Edit(editor, "ebPT_Sec"))); // the same as the meter's
    EXPECT_FALSE(IsBold(Edit(editor, "ebSP2")));
    testsupport::SaveScreenshot(editor, "config-word-profile-loaded");

    // Nothing is written until OK; a poll meanwhile leaves the typed values.
    Poller(form).Poll();
    EXPECT_EQ(app.meter->Register(2, 128), 1);
    EXPECT_EQ(Edit(editor, "ebPT_Pri")->text(), "120");
    ClickOK(editor);
    Poller(form).Poll();
    for (const auto& [reg, value] : setup)
        EXPECT_EQ(app.meter->Register(2, reg), value) << reg;
    EXPECT_EQ(app.meter->Register(2, 149), 10002);
    EXPECT_EQ(editor.findChild<QLabel*>("labProfile")->text(),
              "Profile written: the meter reads back all 7 registers as written.");

    // A profile of other software is loaded only when the user says so.
    QByteArray older = saved;
    older.replace("Software Version=5.70", "Software Version=4.90");
    app.WriteFile("older.ini", older);
    app.meter->SetRegister(2, 150, 7);
    Poller(form).Poll();
    ASSERT_EQ(Edit(editor, "ebSP1")->text(), "7");
    MessageBoxRecorder refuse(QMessageBox::No);
    EXPECT_FALSE(editor.LoadProfile(app.dir.filePath("older.ini")));
    ASSERT_EQ(refuse.shown.size(), 1u);
    EXPECT_TRUE(refuse.shown[0].text.contains("was made on software version 4.90, and this meter runs software "
                                              "version 5.70"))
        << refuse.shown[0].text.toStdString();
    EXPECT_EQ(Edit(editor, "ebSP1")->text(), "7");
    EXPECT_FALSE(IsBold(Edit(editor, "ebSP1")));
}

TEST(ConfigProfile, ARegisterTheMeterDidNotTakeIsReportedByNameWithBothValues)
{
    TAppHarness app;
    TForm1& form = app.Start();
    TForgetfulMeters meter(152);
    Link(form)->SetTcpPort(meter.Port());
    Poller(form).Poll();
    ASSERT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");
    app.WriteFile("hand.ini", "[Profile]\nSerial Number=1\nSoftware Version=5.7\n"
                              "[Registers]\n150=11\n152=99\n");
    TConfigWord& editor = *form.Dialogs().ConfigWord;
    ASSERT_TRUE(editor.LoadProfile(app.dir.filePath("hand.ini")));
    ClickOK(editor);

    MessageBoxRecorder boxes;
    Poller(form).Poll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 10000));
    EXPECT_EQ(meter.Register(1, 150), 11);
    EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Warning);
    EXPECT_EQ(boxes.shown[0].text, "The meter did not take every register of the profile:\n"
                                   "Scratch Pad [2] (register 152): written 99, the meter reads 0");
    EXPECT_EQ(Edit(editor, "ebSP3")->text(), "0");
}
