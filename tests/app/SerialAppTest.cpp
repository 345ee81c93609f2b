// The whole utility on a serial port: its real meter link, worker thread and
// termios code on a pseudo-terminal, with the in-process RTU simulator or
// libmodbus's RTU server (an implementation independent of ours) at the far
// end.

#include "AppHarness.h"

#include "LateMeter.h"
#include "LibmodbusRtuServer.h"
#include "OpenCounter.h"
#include "ProcessUsage.h"
#include "PtyLine.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <functional>
#include <string>

using apptest::Memo;
using apptest::Find;
using apptest::rSimSetup;
using apptest::Lines;
using apptest::StatusText;
using apptest::TAppHarness;
using apptest::TypeInto;
using apptest::ChoosePort;
using apptest::Commands;
using apptest::Count;
using apptest::Link;
using apptest::Poller;
using apptest::PollingTimer;
using simharness::TInProcessRtuSim;
using testsupport::MessageBoxRecorder;
using testsupport::ProcessCpuSeconds;
using testsupport::TLibmodbusRtuServer;
using testsupport::TOpenCounter;

namespace {

QString CommStatus(TForm1& form)
{
    return form.Dialogs().frmAddress->labStatus->text();
}

// The lines the "Modbus Data Display" shows, whether it shows them in a
// text memo or in a list view.
QStringList TraceLines(TForm1& form)
{
    const QWidget& display = *form.Dialogs().ModbusData;
    if (const auto* view = display.findChild<QAbstractItemView*>(); view && view->model()) {
        QStringList lines;
        for (int row = 0; row < view->model()->rowCount(); ++row)
            lines << view->model()->index(row, 0).data().toString();
        return lines;
    }
    const auto* memo = display.findChild<QPlainTextEdit*>();
    return memo ? Lines(memo) : QStringList();
}

// The frame bytes of the request or reply lines ("QRY >" or "RSP <") of a
// trace, one after the other, as the meter link's Hexa writes them.
QString TracedFrames(const QStringList& lines, const QString& prefix)
{
    static const QRegularExpression frame(R"(^((\([0-9A-F]{2}\))*))");
    QString frames;
    for (const QString& line : lines)
        if (line.startsWith(prefix))
            frames += frame.match(line.mid(prefix.size())).captured(1);
    return frames;
}

QString Hexa(const std::vector<uint8_t>& bytes)
{
    return TKelvane::Hexa(QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
}

// Answers the port dialog with OK as soon as the "Port" menu shows it, on
// the port named (none: as it stands).
void AcceptPortDialog(TForm1& form, const QString& port = {})
{
    TComSelect& com = *form.Dialogs().ComSelect;
    QTimer::singleShot(0, &com, [&com, port] {
        if (!port.isEmpty())
            com.SetPortText(port);
        com.accept();
    });
}

// Runs action once, from inside the first wait of a meter-link operation
// that comes; true once it ran there.
class TInsideWait {
public:
    TInsideWait(TForm1& form, std::function<void()> action) : form_(form), action_(std::move(action))
    {
        QObject::connect(&watch_, &QTimer::timeout, [this] {
            const std::shared_ptr<TKelvane> link = Link(form_);
            if (ran || !link || !link->Exchanging())
                return;
            watch_.stop();
            ran = true;
            action_();
        });
        watch_.start(1);
    }
    bool ran = false;

private:
    TForm1& form_;
    std::function<void()> action_;
    QTimer watch_;
};

// The meter bus of these tests: units 1 and 2 on a pseudo-terminal.
class SerialApp : public ::testing::Test {
protected:
    QString Port() const { return QString::fromStdString(meter->Path()); }

    TAppHarness app;
    std::unique_ptr<TInProcessRtuSim> meter = std::make_unique<TInProcessRtuSim>(rSimSetup{.Units = {1, 2}});
};

} // namespace

TEST_F(SerialApp, ReadsTracesIdentifiesAndCommitsOverRtu)
{
    app.WriteFile("RegisterBanks.ini", "[Measurements]\nName=Measurements\nStart=0\nEnd=124\n"
                                       "[Floats]\nName=Floats\nStart=$300\nEnd=$377\n"
                                       "[Beyond]\nName=Beyond\nStart=1020\nEnd=1029\n"
                                       "[Configuration]\nName=Configuration\nStart=128\nEnd=158\n");
    TForm1& form = app.StartRtu(Port());
    EXPECT_TRUE(Lines(Memo(form)).contains("Kelvane Opened on " + Port() + " at 19200 baud"));
    ASSERT_TRUE(Link(form)->Active());
    EXPECT_EQ(Link(form)->BaudRate(), TBaudRate::br19200);
    Find<QCheckBox>(form, "cbLogData")->setChecked(true);
    QTest::mouseClick(Find<QPushButton>(form, "bRXTXClear"), Qt::LeftButton);
    apptest::ClearTrace(form);

    Poller(form).Poll();
    EXPECT_EQ(CommStatus(form), "COMM OK!");
    EXPECT_EQ(StatusText(form, "TX"), "TX: 4");
    EXPECT_EQ(StatusText(form, "RX"), "RX: 3");
    EXPECT_NEAR(app.FieldText("Freq (Hz)").trimmed().toDouble(), 50.0, 0.5) << app.FieldText("Freq (Hz)").toStdString();
    EXPECT_NEAR(QLocale().toDouble(app.FieldText("V A-N (V)").trimmed()), 230.0, 15.0);

    // The real RTU frames, CRC included, in the main window's log and in the
    // "Modbus Data Display"; the bank beyond the meter's registers gets
    // exception 2.
    const QStringList log = Lines(Find<QPlainTextEdit>(form, "ComStatusMemo"));
    const QStringList trace = TraceLines(form);
    for (const QStringList& lines : {log, trace}) {
        EXPECT_TRUE(TracedFrames(lines, "QRY >").startsWith("(01)(03)(00)(00)(00)(7D)(85)(EB)(01)(03)(03)(00)"))
            << lines.join('\n').toStdString();
        EXPECT_TRUE(TracedFrames(lines, "RSP <").startsWith("(01)(03)(FA)")) << lines.join('\n').toStdString();
        EXPECT_TRUE(TracedFrames(lines, "QRY >").contains("(01)(03)(03)(FC)(00)(0A)(05)(B9)"));
        EXPECT_TRUE(TracedFrames(lines, "RSP <").contains("(01)(83)(02)(C0)(F1)"));
    }
    EXPECT_TRUE(log.contains("[0x3fc-0x405] (Beyond) = Exception: Illegal Data Address")) << log.join('\n').toStdString();
    EXPECT_EQ(trace.filter("Illegal Data Address").size(), 1) << trace.join('\n').toStdString();

    // Function 17 shows the meter's model text.
    Commands(form).Func17Click();
    const QStringList identification = Lines(Find<QPlainTextEdit>(form, "memoF17"));
    ASSERT_EQ(identification.size(), 2) << identification.join('\n').toStdString();
    EXPECT_TRUE(identification[0].startsWith("ID : 0x")) << identification[0].toStdString();
    EXPECT_EQ(identification[1], QString("Msg: Kelvane power transducer, serial %1, firmware 5.70")
                                     .arg(meter->Register(1, 149)));

    // A scratchpad committed in the configuration editor reaches the meter
    // and is read back from it.
    TConfigWord& editor = *form.Dialogs().ConfigWord;
    editor.show();
    TypeInto(editor.findChild<QLineEdit*>("ebSP1"), "777");
    QTest::mouseClick(editor.findChild<QPushButton*>("bOK"), Qt::LeftButton);
    Poller(form).Poll();
    EXPECT_EQ(meter->Register(1, 150), 777);
    EXPECT_EQ(Link(form)->GetRegister(150), 777);
    EXPECT_EQ(editor.ReadValues()[150], 777);
    EXPECT_TRUE(Lines(Memo(form)).contains("Writing 0x96=777"));
}

// A port another program holds does not open; the status bar still names
// the speed given, at which the port is opened once it is back.
TEST(SerialAppPort, ABusyPortIsNamedWithTheSpeedGiven)
{
    TAppHarness app;
    TPtyLine line;
    const int holder = ::open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    MessageBoxRecorder boxes;
    TForm1& form = app.StartRtu(QString::fromStdString(line.SlavePath()));
    EXPECT_FALSE(Link(form)->Active());
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(StatusText(form, "Link"), QString("Modbus/RTU %1, 19200 baud").arg(line.SlavePath().c_str()));
    ::close(holder);
}

// libmodbus's server has no mistake in common with our master or our
// simulator: the frames the utility traces must be exactly the bytes that
// crossed the line.
TEST(SerialAppPeer, TracesExactlyTheFramesLibmodbusSawAndShowsItsValues)
{
    TAppHarness app;
    TPtyLine line;
    TLibmodbusRtuServer server(line.Master());
    server.SetHoldingRegister(133, 12345);
    server.SetHoldingRegister(142, 0); // high word first
    server.SetHoldingRegister(158, 0); // no identification after each pass
    server.SetHoldingRegister(0x314, 0x4366); // 230.5 as an IEEE-754 single
    server.SetHoldingRegister(0x315, 0x8000);
    TForm1& form = app.StartRtu(QString::fromStdString(line.SlavePath()));
    ASSERT_TRUE(Link(form)->Active());
    Find<QCheckBox>(form, "cbLogData")->setChecked(true);
    apptest::ClearTrace(form);
    server.TakeTraffic();

    Poller(form).Poll();
    EXPECT_EQ(CommStatus(form), "COMM OK!");
    EXPECT_EQ(QLocale().toDouble(app.FieldText("V A-N (V)").trimmed()), 230.5) << app.FieldText("V A-N (V)").toStdString();
    const auto [toServer, fromServer] = server.TakeTraffic();
    const QStringList log = Lines(Find<QPlainTextEdit>(form, "ComStatusMemo"));
    EXPECT_EQ(TracedFrames(log, "QRY >"), Hexa(toServer)) << log.join('\n').toStdString();
    EXPECT_EQ(TracedFrames(log, "RSP <"), Hexa(fromServer)) << log.join('\n').toStdString();
    EXPECT_EQ(TracedFrames(TraceLines(form), "QRY >"), Hexa(toServer));
    EXPECT_EQ(toServer.size(), 3u * 8u);
    EXPECT_EQ(fromServer.size(), (5u + 250u) + (5u + 240u) + (5u + 62u));
}

// Switching between meters of one bus closes and reopens the port when the
// address changes, and only then.
TEST_F(SerialApp, AnAddressChangeReopensThePortTheSameAddressDoesNot)
{
    app.WriteFile("Meters.ini", "[Line 1]\nAddress=1\n[Line 2]\nAddress=2\n[Line 3]\nAddress=1\n");
    meter->SetRegister(1, 150, 1111);
    meter->SetRegister(2, 150, 2222);
    TOpenCounter opens(meter->Path());
    TForm1& form = app.StartRtu(Port());
    Poller(form).Poll();
    ASSERT_EQ(CommStatus(form), "COMM OK!");
    opens.Take();

    struct Step {
        const char* name;
        int row; // the meter selected before the pass; -1 none
        int opens;
        uint16_t register150;
    };
    const Step steps[] = {
        {"the same meter again", -1, 0, 1111},
        {"Line 2, address 2", 1, 1, 2222},
        {"Line 2 again", -1, 0, 2222},
        {"Line 1, address 1", 0, 1, 1111},
        {"Line 3, address 1 as well", 2, 0, 1111},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.row >= 0)
            Find<QListWidget>(form, "ListView")->setCurrentRow(step.row, QItemSelectionModel::ClearAndSelect);
        Poller(form).Poll();
        EXPECT_EQ(CommStatus(form), "COMM OK!");
        EXPECT_EQ(Link(form)->GetRegister(150), step.register150);
        EXPECT_EQ(opens.Take(), step.opens);
        EXPECT_TRUE(Link(form)->Active());
    }
}

// An adapter unplugged while polling runs: one message naming the port and
// the system's reason, the link inactive, polling stopped and the process
// idle; the "Port" menu then works on a new line. The port is opened under
// a name of its own that goes with the adapter, as /dev/ttyUSB0 does: a
// bare /dev/pts/N could be taken by another test's line meanwhile, and the
// window would rightly open that one again.
TEST_F(SerialApp, UnpluggingTheAdapterWhilePollingStopsOnceAndThePortMenuRecovers)
{
    QTemporaryDir dev;
    const QString port = dev.filePath("ttyUSB0");
    ASSERT_TRUE(QFile::link(Port(), port));
    TForm1& form = app.StartRtu(port);
    MessageBoxRecorder boxes;
    PollingTimer(form).setInterval(20);
    PollingTimer(form).start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(form, "RX") >= 6u; }, 20000)) << "RX " << Count(form, "RX");

    ASSERT_TRUE(QFile::remove(port));
    meter.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return CommStatus(form) == "NO COMM" && !PollingTimer(form).isActive(); }, 20000));
    EXPECT_FALSE(Link(form)->Active());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.startsWith("Serial port " + port + " was lost.")) << boxes.shown[0].text.toStdString();
    const QStringList told = Lines(Memo(form)).filter("Serial port " + port + " was lost: ");
    ASSERT_EQ(told.size(), 1);
    EXPECT_GT(told[0].size(), ("Serial port " + port + " was lost: ").size()) << told[0].toStdString();

    const uint32_t tx = Count(form, "TX");
    const double cpuBefore = ProcessCpuSeconds();
    QTest::qWait(2000); // a window in which nothing may happen
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.3);
    EXPECT_EQ(Count(form, "TX"), tx);
    EXPECT_FALSE(PollingTimer(form).isActive());
    EXPECT_EQ(boxes.shown.size(), 1u);

    meter = std::make_unique<TInProcessRtuSim>(rSimSetup{.Units = {1, 2}});
    AcceptPortDialog(form, Port());
    ChoosePort(form);
    EXPECT_TRUE(Link(form)->Active());
    EXPECT_EQ(StatusText(form), "Kelvane Opened on " + Port() + " at 19200 baud");
    EXPECT_TRUE(PollingTimer(form).isActive());
    Poller(form).Poll();
    EXPECT_EQ(CommStatus(form), "COMM OK!");
    EXPECT_EQ(boxes.shown.size(), 1u);
}

// Commands that arrive while a pass waits for the serial line: a second
// pass stands aside, a write waits its turn, function 17 queues behind the
// pass, and the "Port" menu replaces the link under the waiting pass.
TEST(SerialAppWaits, CommandsInsideASerialWaitBehave)
{
    struct Row {
        const char* name;
        std::function<void(TForm1&)> action;
        std::function<void(TForm1&, TInProcessRtuSim&)> check;
        bool replacesLink = false;
    };
    const Row rows[] = {
        {"a second pass stands aside", [](TForm1& form) { Poller(form).ReadAll(); },
         [](TForm1& form, TInProcessRtuSim&) {
             EXPECT_EQ(Count(form, "TX"), 3u);
             EXPECT_EQ(Count(form, "RX"), 3u);
         }},
        {"a write waits its turn",
         [](TForm1& form) {
             Find<QLineEdit>(form, "ebRead")->setText("96");
             Find<QRadioButton>(form, "rbDec")->setChecked(true);
             Find<QLineEdit>(form, "ebWriteValue")->setText("4321");
             Commands(form).WriteSendClick();
         },
         [](TForm1&, TInProcessRtuSim& meter) {
             EXPECT_TRUE(QTest::qWaitFor([&] { return meter.Register(1, 150) == 4321; }, 10000));
         }},
        {"function 17 queues behind the pass", [](TForm1& form) { Commands(form).Func17Click(); },
         [](TForm1& form, TInProcessRtuSim&) {
             EXPECT_TRUE(Find<QPlainTextEdit>(form, "memoF17")->toPlainText().contains("Msg: Kelvane power transducer"))
                 << Find<QPlainTextEdit>(form, "memoF17")->toPlainText().toStdString();
         }},
        {"the Port menu replaces the link",
         [](TForm1& form) {
             AcceptPortDialog(form);
             ChoosePort(form);
         },
         [](TForm1& form, TInProcessRtuSim&) {
             EXPECT_TRUE(Link(form)->Active());
             EXPECT_TRUE(PollingTimer(form).isActive());
         },
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TAppHarness app;
        TInProcessRtuSim meter(rSimSetup{.Units = {1}});
        TForm1& form = app.StartRtu(QString::fromStdString(meter.Path()));
        ASSERT_TRUE(Link(form)->Active());
        QTest::mouseClick(Find<QPushButton>(form, "bRXTXClear"), Qt::LeftButton);
        const std::weak_ptr<TKelvane> firstLink = Link(form);
        TInsideWait inside(form, [&] { row.action(form); });
        Poller(form).ReadAll();
        EXPECT_TRUE(inside.ran);
        row.check(form, meter);
        // The old link lived as long as the pass used it, and no longer.
        EXPECT_EQ(firstLink.expired(), row.replacesLink);
        EXPECT_FALSE(Link(form)->Exchanging());
        Poller(form).Poll();
        EXPECT_EQ(CommStatus(form), "COMM OK!");
        app.windows.reset();
    }
}

// A meter that answers some requests after the reply timeout, with two
// banks of the same size: the late reply of one bank arrives while the
// next request could be waiting, and would pass every check of it. After
// every pass each logged quantity is the meter's own value or nothing.
TEST(SerialAppMisbehaving, LateRepliesNeverLandInAnotherBank)
{
    // Every fourth request, a read of the second bank, is answered 450 ms
    // late, after the 300 ms timeout; the next pass starts at once.
    testsupport::TLateMeter meter(450, [](int request) { return request % 4 == 1; });
    TAppHarness app("[Form]\nReceive Timeout=300\nTries=1\n");
    app.WriteFile("RegisterBanks.ini", "[A]\nName=A\nStart=768\nEnd=827\n[B]\nName=B\nStart=828\nEnd=887\n");
    TForm1& form = app.StartRtu(QString::fromStdString(meter.Path()));
    ASSERT_EQ(Link(form)->RXTimeout(), 300);
    int complete = 0;
    for (int pass = 0; pass < 8; ++pass) {
        Poller(form).Poll();
        int read = 0;
        for (int i = 0; i < testsupport::TLateMeter::Quantities; ++i)
            if (const std::optional<double> value = Link(form)->LoggedQuantity(i)) {
                ++read;
                EXPECT_EQ(*value, testsupport::TLateMeter::Quantity(i)) << "pass " << pass << ", quantity " << i;
            }
        complete += read == testsupport::TLateMeter::Quantities;
    }
    EXPECT_GE(meter.LateReplies(), 2);
    EXPECT_GE(complete, 2);
    EXPECT_FALSE(TraceLines(form).filter("Late reply discarded").isEmpty()) << TraceLines(form).join('\n').toStdString();
}

// Device address 0 (every box of "Device Address" unticked): no meter
// answers a broadcast read, so none is sent and nothing counts as read.
TEST_F(SerialApp, AReadOfAddressZeroSendsNothingAndReadsNothing)
{
    app.WriteFile("RegisterBanks.ini", "[Floats]\nName=Floats\nStart=$300\nEnd=$377\n");
    TForm1& form = app.StartRtu(Port());
    Poller(form).Poll();
    ASSERT_TRUE(Link(form)->LoggedQuantity(0).has_value());

    for (QCheckBox* box : form.Dialogs().frmAddress->findChildren<QCheckBox*>())
        if (box->isChecked())
            box->click();
    ASSERT_EQ(form.Dialogs().frmAddress->GetAddress(), 0);
    const qsizetype before = TraceLines(form).size();
    Poller(form).Poll();
    for (int i = 0; i < 60; ++i)
        EXPECT_FALSE(Link(form)->LoggedQuantity(i).has_value()) << i;
    EXPECT_EQ(StatusText(form), "[0x300-0x377] (Floats) = " + TKelvane::ErrorCode(MeterResult::ReadFromBroadcast));
    const QStringList trace = TraceLines(form).mid(before);
    EXPECT_TRUE(TracedFrames(trace, "QRY >").isEmpty()) << trace.join('\n').toStdString();
    EXPECT_EQ(CommStatus(form), "NO COMM");
}

// The write box writes the protocol address it holds, whatever its size;
// one that no request can carry is refused with a message and nothing is
// sent.
TEST_F(SerialApp, TheWriteBoxWritesExactlyTheRegisterTyped)
{
    const struct {
        const char* typed;
        const char* frame; // the request traced; empty: refused
    } rows[] = {
        {"$9C46", "(01)(06)(9C)(46)(00)(42)"},
        {"96", "(01)(06)(00)(96)(00)(42)"},
        {"$FFFF", "(01)(06)(FF)(FF)(00)(42)"},
        {"$10000", ""},
    };
    TForm1& form = app.StartRtu(Port());
    MessageBoxRecorder boxes;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed);
        const qsizetype before = TraceLines(form).size();
        // The box sits on the hidden engineering panel: a data field's click
        // fills it, and its Write runs as the button would.
        Find<QLineEdit>(form, "ebRead")->setText(row.typed);
        Find<QLineEdit>(form, "ebWriteValue")->setText("42");
        Commands(form).WriteSendClick();
        const QString sent = TracedFrames(TraceLines(form).mid(before), "QRY >");
        if (*row.frame) {
            EXPECT_TRUE(sent.startsWith(row.frame)) << sent.toStdString();
        } else {
            EXPECT_TRUE(sent.isEmpty()) << sent.toStdString();
            ASSERT_FALSE(boxes.shown.empty());
            EXPECT_TRUE(boxes.shown.back().text.contains("out of range")) << boxes.shown.back().text.toStdString();
        }
    }
}

// From RTU back to Modbus/TCP while the serial passes run: the new link
// reads the meter and nothing is reported as an error on the way.
TEST_F(SerialApp, SwitchingFromRtuToTcpWhilePollingShowsNoError)
{
    TForm1& form = app.StartRtu(Port());
    MessageBoxRecorder boxes;
    PollingTimer(form).setInterval(20);
    PollingTimer(form).start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(form, "RX") >= 3u; }, 20000)) << "RX " << Count(form, "RX");

    // The menu is chosen while a serial pass waits, as a user's click is.
    TComSelect& com = *form.Dialogs().ComSelect;
    TInsideWait inside(form, [&] {
        QTimer::singleShot(0, &com, [&] {
            QTest::mouseClick(com.cbTCP, Qt::LeftButton);
            com.SetIpText("127.0.0.1");
            com.SetTcpPort(app.meter->Port());
            QTest::mouseClick(com.BitBtn1, Qt::LeftButton);
        });
        ChoosePort(form);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return inside.ran; }, 20000));
    ASSERT_EQ(Link(form)->Kind(), TLinkKind::Tcp);
    const uint32_t rx = Count(form, "RX");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(form, "RX") >= rx + 6u; }, 20000)) << "RX " << Count(form, "RX");
    EXPECT_EQ(CommStatus(form), "COMM OK!");
    for (const auto& box : boxes.shown)
        ADD_FAILURE() << box.text.toStdString();
}

// An adapter pulled out and plugged in again under its stable name: the
// loss is told once in a notice that does not block, the window opens the
// port again by itself and says so in one line, the notice closes itself,
// and polling goes on.
TEST(SerialAppReplug, AnAdapterBackUnderItsStableNameIsPolledAgain)
{
    QTemporaryDir dev;
    const QString byId = dev.filePath("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    auto meter = std::make_unique<TInProcessRtuSim>(rSimSetup{.Units = {1, 2}});
    ASSERT_TRUE(QFile::link(QString::fromStdString(meter->Path()), byId));
    TAppHarness app;
    TForm1& form = app.StartRtu(byId);
    PollingTimer(form).setInterval(20);
    PollingTimer(form).start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(form, "RX") >= 3u; }, 20000)) << "RX " << Count(form, "RX");

    const TMessageBoxHandler previous = SetMessageBoxHandler({}); // the real notice
    meter.reset();
    const bool noticed = QTest::qWaitFor([&] { return form.findChild<QMessageBox*>("PortLostNotice"); }, 20000);
    SetMessageBoxHandler(previous);
    ASSERT_TRUE(noticed);
    EXPECT_TRUE(form.findChild<QMessageBox*>("PortLostNotice")->text().startsWith("Serial port " + byId + " was lost."));
    ASSERT_TRUE(QFile::remove(byId));
    meter = std::make_unique<TInProcessRtuSim>(rSimSetup{.Units = {1, 2}});
    ASSERT_TRUE(QFile::link(QString::fromStdString(meter->Path()), byId));

    const uint32_t rx = Count(form, "RX");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(form, "RX") >= rx + 3u; }, 20000)) << "RX " << Count(form, "RX");
    EXPECT_EQ(CommStatus(form), "COMM OK!");
    EXPECT_EQ(Lines(Memo(form)).count("Serial port " + byId + " is back: polling goes on."), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form.findChild<QMessageBox*>("PortLostNotice"); }, 20000));
}
