// The utility on each kind of link: RTU over TCP chosen in the "Port"
// dialog by clicks, against the simulator standing in for a serial device
// server; and the kind of link taken from the settings file, old and new,
// and from the command line.

#include "AppHarness.h"
#include "IniFile.h"

#include <QCheckBox>
#include <QPushButton>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using apptest::Memo;
using apptest::Lines;
using apptest::StatusText;
using apptest::TAppHarness;
using apptest::ChoosePort;
using apptest::Link;
using apptest::Poller;

namespace {

// The request of the default banks' first read as RTU frames it: unit 1,
// function 3, registers 0 to 124, and its CRC.
const QString RtuReadOfFirstBank = "(01)(03)(00)(00)(00)(7D)(85)(EB)";

TForm1& StartFromSettings(TAppHarness& app, const QStringList& switches = {})
{
    app.windows = std::make_unique<TKelvaneWindows>(app.paths, switches + QStringList{"/POLLING=600000"});
    return app.ShowWindow();
}

// Meters 1 and 2 behind a serial device server: RTU frames over TCP.
simharness::rSimSetup DeviceServer()
{
    simharness::rSimSetup setup;
    setup.Units = {1, 2};
    setup.Framing = TFraming::Rtu;
    return setup;
}

// One pass of the polling timer over the meter: true when it read it.
bool PassReadsTheMeter(TForm1& form)
{
    Poller(form).Poll();
    return form.Dialogs().frmAddress->labStatus->text() == "COMM OK!" && Link(form)->GetRegister(133) == 12345;
}

void Click(QAbstractButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace

// Chosen by clicks: the speed boxes take RTU over TCP's defaults with the
// mode, RTU frames with their CRC go to the device server over one TCP
// connection that the window reports once; the choice is saved and the
// next start takes it from the settings file alone (the defaults need no
// key).
TEST(LinkKinds, PortDialogChoosesRtuOverTcpAndTheNextStartKeepsIt)
{
    simharness::TInProcessSim server(DeviceServer());
    const QString port = QString::number(server.Port());
    TAppHarness app;
    TForm1& form = app.Start();
    ASSERT_EQ(Link(form)->Kind(), TLinkKind::Tcp);

    TComSelect& com = *form.Dialogs().ComSelect;
    QTimer::singleShot(0, &com, [&] {
        Click(com.cbRtuOverTcp);
        com.ebTcpPort->setFocus();
        com.ebTcpPort->selectAll();
        QTest::keyClicks(com.ebTcpPort, port);
        Click(com.BitBtn1);
    });
    ChoosePort(form);
    ASSERT_EQ(Link(form)->Kind(), TLinkKind::RtuOverTcp);
    EXPECT_TRUE(com.cbEndAtLength->isChecked()) << "RTU over TCP's default, taken with the mode";
    EXPECT_TRUE(com.cbKeepConnection->isChecked());
    EXPECT_EQ(StatusText(form), "Kelvane Opened on 127.0.0.1:" + port + " at 9600 baud");

    ASSERT_TRUE(PassReadsTheMeter(form)) << StatusText(form).toStdString();
    EXPECT_TRUE(form.Dialogs().ModbusData->TraceText().contains(RtuReadOfFirstBank));
    ASSERT_TRUE(PassReadsTheMeter(form));
    const QString connected = "Connected to 127.0.0.1:" + port;
    EXPECT_TRUE(QTest::qWaitFor([&] { return Lines(Memo(form)).contains(connected); }, 10000));
    EXPECT_EQ(Lines(Memo(form)).count(connected), 1) << "one connection for both passes";

    form.close();
    const TIniFile saved(app.paths.SettingsFile);
    EXPECT_EQ(saved.ReadString("Form", "Mode", ""), "RTUTCP");
    EXPECT_EQ(saved.ReadString("Form", "TCP", ""), "0");
    EXPECT_EQ(saved.ReadInteger("Form", "TCP Port", 0), server.Port());
    EXPECT_FALSE(saved.ValueExists("Form", "End Serial Replies At Length")) << "RTU over TCP's own default";
    EXPECT_FALSE(saved.ValueExists("Form", "Keep TCP Connection Open"));

    app.windows.reset();
    TForm1& again = StartFromSettings(app);
    EXPECT_EQ(Link(again)->Kind(), TLinkKind::RtuOverTcp);
    EXPECT_TRUE(again.Dialogs().ComSelect->cbRtuOverTcp->isChecked());
    EXPECT_TRUE(again.Dialogs().ComSelect->Link().EndAtLength);
    EXPECT_TRUE(again.Dialogs().ComSelect->Link().KeepConnection);
    EXPECT_TRUE(PassReadsTheMeter(again)) << StatusText(again).toStdString();
}

// The kind of link as a settings file of any age gives it, and as /MODE
// overrides it; either way the utility reads the meter and saves the kind
// so that a program that knows only the key "TCP" finds the right value.
// Unless the file names them, RTU over TCP ends replies at their length and
// keeps its connection, and leaves those keys out of the file; the other
// kinds work and save them as they always have.
TEST(LinkKinds, SettingsOfEveryAgeAndTheCommandLineSelectTheKindOfLink)
{
    simharness::TInProcessSim server(DeviceServer());
    const char* const slowKeys = "End Serial Replies At Length=0\nKeep TCP Connection Open=0\n";
    // %1: the Modbus/TCP meter's port, %2: the device server's.
    const struct {
        const char* Name;
        QString Form; // section "Form" of the settings file
        QStringList Switches;
        TLinkKind Kind;
        const char* SavedMode;
        const char* SavedTcp;
        bool Fast;             // the link ends replies at their length and keeps its connection
        const char* SavedFast; // both speed keys as saved; "" when left out
    } rows[] = {
        {"file from before RTU over TCP, Modbus/TCP", "TCP=1\nTCP Port=%1\n", {}, TLinkKind::Tcp, "TCP", "1", false, "0"},
        {"RTU over TCP", "Mode=RTUTCP\nTCP=0\nTCP Port=%2\n", {}, TLinkKind::RtuOverTcp, "RTUTCP", "0", true, ""},
        {"RTU over TCP, slow by the file", QString("Mode=RTUTCP\nTCP=0\nTCP Port=%2\n") + slowKeys, {},
         TLinkKind::RtuOverTcp, "RTUTCP", "0", false, "0"},
        {"an older program chose Modbus/TCP since", "Mode=RTUTCP\nTCP=1\nTCP Port=%1\n", {}, TLinkKind::Tcp, "TCP",
         "1", false, "0"},
        {"/MODE=RTUTCP over the file", "TCP=1\nTCP Port=%1\n", {"/MODE=rtutcp", "/TCPPORT=%2"},
         TLinkKind::RtuOverTcp, "RTUTCP", "0", true, ""},
        {"/MODE=TCP over the file", "Mode=RTUTCP\nTCP=0\nTCP Port=%2\n", {"/MODE=TCP", "/TCPPORT=%1"},
         TLinkKind::Tcp, "TCP", "1", false, "0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TAppHarness app;
        const auto ports = [&](QString text) {
            return text.replace("%1", QString::number(app.meter->Port())).replace("%2", QString::number(server.Port()));
        };
        app.WriteFile("kelvane.ini", ports("[Form]\nIP Address=127.0.0.1\n" + row.Form).toUtf8());
        QStringList switches;
        for (const QString& s : row.Switches)
            switches << ports(s);
        TForm1& form = StartFromSettings(app, switches);
        EXPECT_EQ(Link(form)->Kind(), row.Kind);
        EXPECT_EQ(Link(form)->EndAtLength(), row.Fast);
        EXPECT_EQ(Link(form)->KeepConnection(), row.Fast);
        EXPECT_TRUE(PassReadsTheMeter(form)) << StatusText(form).toStdString();

        form.close();
        const TIniFile saved(app.paths.SettingsFile);
        EXPECT_EQ(saved.ReadString("Form", "Mode", ""), row.SavedMode);
        EXPECT_EQ(saved.ReadString("Form", "TCP", ""), row.SavedTcp);
        EXPECT_EQ(saved.ReadString("Form", "End Serial Replies At Length", ""), row.SavedFast);
        EXPECT_EQ(saved.ReadString("Form", "Keep TCP Connection Open", ""), row.SavedFast);
    }
}
