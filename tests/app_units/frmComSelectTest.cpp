#include "frmComSelect.h"
#include "KelvaneCOM.h"
#include "UEditIPAddr.h"
#include "WidgetTestSupport.h"

#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

// A port list the test controls, counting how often the dialog asks for it.
struct FakePorts {
    QStringList ports;
    int calls = 0;
    TComSelect::TPortLister Lister()
    {
        return [this](QStringList& list) {
            ++calls;
            list = ports;
        };
    }
};

QStringList Items(const QComboBox& box)
{
    QStringList items;
    for (int i = 0; i < box.count(); ++i)
        items << box.itemText(i);
    return items;
}

// The controls each mode shows; the others must be hidden.
void ExpectSerialFields(const TComSelect& dialog)
{
    EXPECT_EQ(dialog.Label1->text(), "Select COM Port:");
    EXPECT_TRUE(dialog.ComPort->isVisible());
    EXPECT_TRUE(dialog.BaudRate->isVisible());
    EXPECT_TRUE(dialog.BaudRate->isEnabled());
    EXPECT_FALSE(dialog.IPAddress->isVisible());
    EXPECT_FALSE(dialog.ebTcpPort->isVisible());
    EXPECT_FALSE(dialog.labTcpPort->isVisible());
}

void ExpectTcpFields(const TComSelect& dialog)
{
    EXPECT_EQ(dialog.Label1->text(), "Enter IP Address:");
    EXPECT_FALSE(dialog.ComPort->isVisible());
    EXPECT_FALSE(dialog.BaudRate->isVisible());
    EXPECT_FALSE(dialog.BaudRate->isEnabled());
    EXPECT_TRUE(dialog.IPAddress->isVisible());
    EXPECT_TRUE(dialog.ebTcpPort->isVisible());
    EXPECT_TRUE(dialog.labTcpPort->isVisible());
}

TEST(frmComSelect, StartsInSerialModeWithTheControlsTexts)
{
    FakePorts fake{{"/dev/ttyUSB0"}};
    TComSelect dialog(nullptr, fake.Lister());
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Port Select");
    EXPECT_EQ(dialog.Mode->title(), "Mode");
    EXPECT_EQ(dialog.cbRTU->text(), "Modbus/RTU");
    EXPECT_EQ(dialog.cbTCP->text(), "Modbus/TCP");
    EXPECT_EQ(dialog.BitBtn1->text(), "OK");
    EXPECT_TRUE(dialog.BitBtn1->isDefault());
    EXPECT_FALSE(dialog.IsTcp());
    ExpectSerialFields(dialog);
    EXPECT_EQ(Items(*dialog.BaudRate), QStringList({"9600", "19200", "38400", "57600"}));
    EXPECT_EQ(dialog.BaudIndex(), 0);
    EXPECT_EQ(dialog.IpText(), "");
    EXPECT_EQ(dialog.TcpPort(), 502);
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(Items(*dialog.ComPort), fake.ports);
}

TEST(frmComSelect, ListsTheMachinesPortsByDefault)
{
    QStringList expected;
    TKelvane::EnumComPorts(expected);
    TComSelect dialog;
    EXPECT_EQ(Items(*dialog.ComPort), expected);
}

// Clicking the mode buttons switches the fields; back in serial mode the
// port list is read again and the port typed before survives.
TEST(frmComSelect, ModeButtonsSwitchTheFieldsAndKeepThePortText)
{
    FakePorts fake{{"/dev/ttyS0", "/dev/ttyUSB0"}};
    TComSelect dialog(nullptr, fake.Lister());
    dialog.show();
    dialog.ComPort->lineEdit()->clear();
    QTest::keyClicks(dialog.ComPort->lineEdit(), "/dev/ttyACM3");

    QTest::mouseClick(dialog.cbTCP, Qt::LeftButton);
    EXPECT_TRUE(dialog.IsTcp());
    ExpectTcpFields(dialog);
    EXPECT_EQ(fake.calls, 1) << "the TCP mode needs no port list";

    fake.ports = {"/dev/ttyUSB1", "/dev/ttyS0"};
    QTest::mouseClick(dialog.cbRTU, Qt::LeftButton);
    EXPECT_FALSE(dialog.IsTcp());
    ExpectSerialFields(dialog);
    EXPECT_EQ(fake.calls, 2);
    EXPECT_EQ(Items(*dialog.ComPort), QStringList({"/dev/ttyS0", "/dev/ttyUSB1"}));
    EXPECT_EQ(dialog.PortText(), "/dev/ttyACM3");

    // The main window selects the mode in code and then runs the handler
    // once more; the fields follow either way.
    dialog.SetTcp(true);
    EXPECT_FALSE(dialog.cbRTU->isChecked());
    ExpectTcpFields(dialog);
    dialog.cbRTUClick();
    ExpectTcpFields(dialog);
    dialog.SetTcp(false);
    EXPECT_FALSE(dialog.cbTCP->isChecked());
    ExpectSerialFields(dialog);
}

// The list is sorted without regard to case, whatever order the ports come
// in; a port text that is in the list selects that entry, one that is not
// is kept as typed.
TEST(frmComSelect, PortListIsSortedAndThePortTextSurvivesEveryRefresh)
{
    FakePorts fake{{"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "/dev/TTYS1",
                    "/dev/ttyACM0"}};
    TComSelect dialog(nullptr, fake.Lister());
    EXPECT_EQ(Items(*dialog.ComPort),
              QStringList({"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "/dev/ttyACM0",
                           "/dev/TTYS1", "/dev/ttyUSB0"}));
    // The drop-down is wide enough for the longest name.
    EXPECT_GE(dialog.ComPort->view()->minimumWidth(),
              dialog.ComPort->view()->fontMetrics().horizontalAdvance(
                  "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));

    for (const QString& text : {QString("/dev/ttyUSB0"), QString("COM1"), QString("")}) {
        SCOPED_TRACE(text.toStdString());
        dialog.SetPortText(text);
        fake.ports.append("/dev/ttyUSB9");
        dialog.cbRTUClick();
        EXPECT_EQ(dialog.PortText(), text);
        EXPECT_EQ(dialog.ComPort->currentIndex(), dialog.ComPort->findText(text));
    }
    fake.ports.clear();
    dialog.cbRTUClick();
    EXPECT_EQ(dialog.ComPort->count(), 0) << "unplugged ports leave the list";
    EXPECT_EQ(dialog.PortText(), "");
}

TEST(frmComSelect, IpTextDropsBlanksAndABadAddress)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    EXPECT_TRUE(dialog.SetIpText(" 10. 0 .0.5 "));
    EXPECT_EQ(dialog.IpText(), "10.0.0.5");
    EXPECT_TRUE(dialog.SetIpText("0.0.0.0"));
    EXPECT_EQ(dialog.IpText(), "0.0.0.0");

    for (const char* bad : {"300.1.1.1", "10.0.0", "meter.local", "1.2.3.4.5"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(dialog.SetIpText("192.168.1.20"));
        EXPECT_FALSE(dialog.SetIpText(bad));
        EXPECT_EQ(dialog.IpText(), "");
    }
    EXPECT_TRUE(dialog.SetIpText(""));
    EXPECT_EQ(dialog.IpText(), "");
}

TEST(frmComSelect, BaudIndexOutsideTheListSelectsTheFirstEntry)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    const struct {
        int set;
        int expected;
    } rows[] = {{1, 1}, {3, 3}, {2, 2}, {4, 0}, {-1, 0}, {0, 0}, {100, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.set);
        dialog.SetBaudIndex(2 - row.expected / 2); // a different entry before each step
        dialog.SetBaudIndex(row.set);
        EXPECT_EQ(dialog.BaudIndex(), row.expected);
    }
}

TEST(frmComSelect, BaudRateFromIndexMapsTheListEntries)
{
    const struct {
        int index;
        TBaudRate rate;
    } rows[] = {{0, TBaudRate::br9600},  {1, TBaudRate::br19200}, {2, TBaudRate::br38400},
                {3, TBaudRate::br57600}, {4, TBaudRate::br9600},  {-1, TBaudRate::br9600}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.index);
        EXPECT_EQ(BaudRateFromIndex(row.index), row.rate);
    }
}

TEST(frmComSelect, TcpPortKeepsToItsRange)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    dialog.SetTcp(true);
    dialog.show();
    const struct {
        int set;
        int expected;
    } rows[] = {{1502, 1502}, {1, 1}, {65535, 65535}, {0, 502}, {65536, 502}, {-502, 502}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.set);
        dialog.SetTcpPort(7);
        dialog.SetTcpPort(row.set);
        EXPECT_EQ(dialog.TcpPort(), row.expected);
    }

    // Typing past the top of the range is refused digit by digit.
    dialog.ebTcpPort->setFocus();
    dialog.ebTcpPort->selectAll();
    QTest::keyClicks(dialog.ebTcpPort, "99999");
    QTest::keyClick(dialog.ebTcpPort, Qt::Key_Tab);
    EXPECT_LE(dialog.TcpPort(), 65535);
    EXPECT_EQ(dialog.TcpPort(), 9999);
}

// OK, Escape, Return in the port field and the window manager's close all
// hide the dialog and keep it and its settings.
TEST(frmComSelect, EveryWayOutOnlyHides)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    QPointer<TComSelect> alive(&dialog);
    const struct {
        const char* name;
        std::function<void()> leave;
    } ways[] = {
        {"OK", [&] { QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton); }},
        {"Escape", [&] { QTest::keyClick(&dialog, Qt::Key_Escape); }},
        {"Return", [&] { QTest::keyClick(dialog.ComPort->lineEdit(), Qt::Key_Return); }},
        {"close", [&] { dialog.close(); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        dialog.show();
        dialog.ComPort->lineEdit()->clear();
        QTest::keyClicks(dialog.ComPort->lineEdit(), "COM4");
        way.leave();
        EXPECT_FALSE(dialog.isVisible());
        ASSERT_TRUE(alive);
        EXPECT_EQ(dialog.PortText(), "COM4");
        EXPECT_EQ(dialog.ComPort->count(), 0) << "a typed name is not added to the list";
    }
}

// The main window runs the dialog with exec(); OK ends the modal loop.
TEST(frmComSelect, ExecReturnsOnOk)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    bool rescued = false;
    QTimer::singleShot(0, &dialog, [&dialog] { QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton); });
    // Ends the loop should the click not do it, so that the test cannot hang.
    QTimer::singleShot(5000, &dialog, [&dialog, &rescued] {
        rescued = true;
        dialog.done(-1);
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_FALSE(rescued);
}

TEST(frmComSelect, FixedSizeTitleBarWithoutCloseBoxCentred)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    dialog.show();
    // Wide enough for the echo's caption whole.
    EXPECT_GE(dialog.width(), dialog.cbEcho->geometry().right());
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowSystemMenuHint));

    const QRect screen = dialog.screen()->geometry();
    EXPECT_EQ(dialog.x(), screen.left() + screen.width() / 2 - dialog.width() / 2);
    EXPECT_EQ(dialog.y(), screen.top() + screen.height() / 2 - dialog.height() / 2);
}

TEST(frmComSelect, ControlsSitWhereTheLayoutPutsThem)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    const struct {
        const char* name;
        QWidget* widget;
        QPoint place;
        int width;
    } rows[] = {
        {"Mode", dialog.Mode, {8, 8}, 145},        {"cbRTU", dialog.cbRTU, {8, 16}, -1},
        {"cbTCP", dialog.cbTCP, {8, 32}, -1},      {"Label1", dialog.Label1, {8, 72}, -1},
        {"ComPort", dialog.ComPort, {8, 88}, 145}, {"IPAddress", dialog.IPAddress, {8, 88}, -1},
        {"BaudRate", dialog.BaudRate, {8, 120}, 145}, {"BitBtn1", dialog.BitBtn1, {(dialog.width() - 75) / 2, 240}, 75},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.widget->pos(), row.place);
        if (row.width >= 0) {
            EXPECT_EQ(row.widget->width(), row.width);
        }
    }
    EXPECT_EQ(dialog.Mode->height(), 57);
    EXPECT_EQ(dialog.BitBtn1->height(), 25);
    EXPECT_EQ(dialog.cbRTU->parentWidget(), dialog.Mode);
    // The address edit is 100 wide unless the font needs more for its
    // octets, and never wider than the port list it stands in for.
    EXPECT_EQ(dialog.IPAddress->width(), std::max(100, dialog.IPAddress->minimumWidth()));
    EXPECT_LE(dialog.IPAddress->geometry().right(), dialog.ComPort->geometry().right());

    // The TCP port row shares the baud list's line and stays inside the
    // client area, clear of the IP address above and the OK button below.
    const QRect row = dialog.labTcpPort->geometry().united(dialog.ebTcpPort->geometry());
    EXPECT_EQ(row.top(), 120);
    EXPECT_EQ(row.left(), 8);
    EXPECT_EQ(row.right(), 8 + 145 - 1);
    EXPECT_GT(row.top(), dialog.IPAddress->geometry().bottom());
    EXPECT_LT(row.bottom(), dialog.BitBtn1->geometry().top());
    EXPECT_FALSE(dialog.labTcpPort->geometry().intersects(dialog.ebTcpPort->geometry()));
}

TEST(frmComSelect, ScreenshotsOfBothModes)
{
    FakePorts fake{{"/dev/ttyS0", "/dev/ttyUSB0"}};
    TComSelect dialog(nullptr, fake.Lister());
    dialog.SetPortText("/dev/ttyUSB0");
    dialog.SetBaudIndex(1);
    ASSERT_TRUE(dialog.SetIpText("192.168.1.20"));
    dialog.SetTcpPort(1502);
    dialog.show();
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "ComSelect_RTU"));
    dialog.SetTcp(true);
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "ComSelect_TCP"));
}

} // namespace
