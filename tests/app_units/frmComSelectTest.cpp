#include "frmComSelect.h"
#include "KelvaneCOM.h"
#include "UEditIPAddr.h"
#include "WidgetTestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTemporaryDir>
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

// What each mode shows and lets the user change: a serial port is named, a
// TCP link addressed; RTU frames (on a line or through a device server) are
// timed by the baud rate, may be echoed and may end at their length; only a
// TCP link has a connection to keep.
struct rModeFields {
    TLinkKind Kind;
    const char* Name;
    QString Prompt;
    bool Port, Address, Baud, TcpPort, Echo, EndAtLength, KeepConnection;
};
const rModeFields ModeFields[] = {
    {TLinkKind::Serial, "serial", "Select COM Port:", true, false, true, false, true, true, false},
    {TLinkKind::Tcp, "Modbus/TCP", "Enter IP Address:", false, true, false, true, false, false, true},
    {TLinkKind::RtuOverTcp, "RTU over TCP", "Enter IP Address:", false, true, true, true, true, true, true},
};

const rModeFields& FieldsOf(TLinkKind kind)
{
    return *std::find_if(std::begin(ModeFields), std::end(ModeFields),
                         [kind](const rModeFields& row) { return row.Kind == kind; });
}

void ExpectFields(const TComSelect& dialog, TLinkKind kind)
{
    const rModeFields& f = FieldsOf(kind);
    SCOPED_TRACE(f.Name);
    EXPECT_EQ(dialog.Kind(), kind);
    EXPECT_EQ(dialog.Label1->text(), f.Prompt);
    EXPECT_EQ(dialog.ComPort->isVisible(), f.Port);
    EXPECT_EQ(dialog.IPAddress->isVisible(), f.Address);
    EXPECT_EQ(dialog.BaudRate->isVisible(), f.Baud);
    EXPECT_EQ(dialog.BaudRate->isEnabled(), f.Baud);
    EXPECT_EQ(dialog.labBaud->isVisible(), f.Baud);
    EXPECT_EQ(dialog.ebTcpPort->isVisible(), f.TcpPort);
    EXPECT_EQ(dialog.labTcpPort->isVisible(), f.TcpPort);
    EXPECT_EQ(dialog.cbEcho->isEnabled(), f.Echo);
    EXPECT_EQ(dialog.cbEndAtLength->isEnabled(), f.EndAtLength);
    EXPECT_EQ(dialog.cbKeepConnection->isEnabled(), f.KeepConnection);
}

void ExpectSerialFields(const TComSelect& dialog)
{
    ExpectFields(dialog, TLinkKind::Serial);
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
    EXPECT_EQ(dialog.cbRtuOverTcp->text(), "RTU over TCP");
    EXPECT_EQ(dialog.cbEndAtLength->text(), "End serial replies at their expected length");
    EXPECT_EQ(dialog.cbKeepConnection->text(), "Keep the Modbus/TCP connection open");
    EXPECT_EQ(dialog.BitBtn1->text(), "OK");
    EXPECT_TRUE(dialog.BitBtn1->isDefault());
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

// Clicking the mode buttons switches the fields, and the dialog keeps its
// size and its OK button its place; back in serial mode the port list is
// read again and the port typed before survives.
TEST(frmComSelect, ModeButtonsSwitchTheFieldsAndKeepThePortText)
{
    FakePorts fake{{"/dev/ttyS0", "/dev/ttyUSB0"}};
    TComSelect dialog(nullptr, fake.Lister());
    dialog.show();
    const QRect ok = dialog.BitBtn1->geometry();
    dialog.ComPort->lineEdit()->clear();
    QTest::keyClicks(dialog.ComPort->lineEdit(), "/dev/ttyACM3");

    for (QRadioButton* button : {dialog.cbTCP, dialog.cbRtuOverTcp}) {
        QTest::mouseClick(button, Qt::LeftButton);
        ExpectFields(dialog, button == dialog.cbTCP ? TLinkKind::Tcp : TLinkKind::RtuOverTcp);
        EXPECT_EQ(dialog.BitBtn1->geometry(), ok);
    }
    EXPECT_EQ(fake.calls, 1) << "the TCP modes need no port list";

    fake.ports = {"/dev/ttyUSB1", "/dev/ttyS0"};
    QTest::mouseClick(dialog.cbRTU, Qt::LeftButton);
    ExpectSerialFields(dialog);
    EXPECT_EQ(dialog.BitBtn1->geometry(), ok);
    EXPECT_EQ(fake.calls, 2);
    EXPECT_EQ(Items(*dialog.ComPort), QStringList({"/dev/ttyS0", "/dev/ttyUSB1"}));
    EXPECT_EQ(dialog.PortText(), "/dev/ttyACM3");

    // The main window selects the mode in code and then runs the handler
    // once more; the fields follow either way.
    for (const rModeFields& row : {ModeFields[2], ModeFields[1], ModeFields[0]}) {
        dialog.SetKind(row.Kind);
        ExpectFields(dialog, row.Kind);
        dialog.cbRTUClick();
        ExpectFields(dialog, row.Kind);
    }
    EXPECT_FALSE(dialog.cbTCP->isChecked());
    EXPECT_FALSE(dialog.cbRtuOverTcp->isChecked());
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
    dialog.SetKind(TLinkKind::Tcp);
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

// OK and Return in the port field keep what was typed; Cancel, Escape and
// the window manager's close put back what the dialog opened with. Every
// way out only hides the dialog.
TEST(frmComSelect, OkKeepsTheChoiceAndEveryOtherWayOutRevertsIt)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    QPointer<TComSelect> alive(&dialog);
    dialog.SetPortText("COM1");
    const struct {
        const char* name;
        std::function<void()> leave;
        bool keeps;
    } ways[] = {
        {"OK", [&] { QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton); }, true},
        {"Return", [&] { QTest::keyClick(dialog.ComPort->lineEdit(), Qt::Key_Return); }, true},
        {"Cancel", [&] { QTest::mouseClick(dialog.bCancel, Qt::LeftButton); }, false},
        {"Escape", [&] { QTest::keyClick(&dialog, Qt::Key_Escape); }, false},
        {"close", [&] { dialog.close(); }, false},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        const QString before = dialog.PortText();
        const QString typed = before == "COM4" ? "COM5" : "COM4";
        dialog.show();
        dialog.ComPort->lineEdit()->clear();
        QTest::keyClicks(dialog.ComPort->lineEdit(), typed);
        dialog.ebTimeout->setValue(dialog.ebTimeout->value() + 100);
        const int timeout = dialog.ebTimeout->value();
        QTest::mouseClick(dialog.cbTCP, Qt::LeftButton);
        QTest::mouseClick(dialog.cbRTU, Qt::LeftButton);
        way.leave();
        EXPECT_FALSE(dialog.isVisible());
        ASSERT_TRUE(alive);
        EXPECT_EQ(dialog.PortText(), way.keeps ? typed : before);
        EXPECT_EQ(dialog.ebTimeout->value() == timeout, way.keeps);
        EXPECT_EQ(dialog.ComPort->count(), 0) << "a typed name is not added to the list";
    }
}

// A TCP link needs a whole address: OK on a half-filled one says so and
// keeps the dialog open; the address typed whole then passes.
TEST(frmComSelect, OkRefusesAHalfFilledIpAddress)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    testsupport::MessageBoxRecorder boxes;
    dialog.show();
    QTest::mouseClick(dialog.cbTCP, Qt::LeftButton);
    const QList<QLineEdit*> octets = dialog.IPAddress->findChildren<QLineEdit*>();
    ASSERT_EQ(octets.size(), 4);
    // Each key goes where the focus is at that moment, as a user's would.
    const auto type = [](const char* keys) {
        for (; *keys; ++keys)
            QTest::keyClick(QApplication::focusWidget(), *keys);
    };
    QApplication::setActiveWindow(&dialog);
    octets[0]->setFocus();
    type("10.255");
    QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.contains("all four numbers")) << boxes.shown[0].text.toStdString();
    EXPECT_TRUE(dialog.isVisible());

    octets[2]->setFocus();
    type("1.50");
    QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.IpText(), "10.255.1.50");
    EXPECT_EQ(boxes.shown.size(), 1u);
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

TEST(frmComSelect, FixedSizeCentred)
{
    TComSelect dialog(nullptr, [](QStringList&) {});
    dialog.show();
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(dialog.size(), dialog.minimumSize());

    const QRect screen = dialog.screen()->geometry();
    EXPECT_EQ(dialog.x(), screen.left() + screen.width() / 2 - dialog.width() / 2);
    EXPECT_EQ(dialog.y(), screen.top() + screen.height() / 2 - dialog.height() / 2);
}

void ExpectWholeAndApart(const QWidget& container, const QList<QWidget*>& widgets)
{
    QList<const QWidget*> shown;
    for (const QWidget* w : widgets)
        if (w->isVisible())
            shown << w;
    for (const QWidget* w : shown) {
        SCOPED_TRACE(w->objectName().isEmpty() ? w->metaObject()->className() : w->objectName().toStdString());
        EXPECT_TRUE(container.rect().contains(w->geometry()));
        const QSize asked = w->sizeHint().boundedTo(w->maximumSize());
        EXPECT_GE(w->width(), asked.width());
        EXPECT_GE(w->height(), asked.height());
        for (const QWidget* other : shown)
            if (other != w) {
                EXPECT_FALSE(w->geometry().intersects(other->geometry())) << other->metaObject()->className();
            }
    }
}

// The desktop's font, made larger for as long as the object lives.
class TLargerFont {
public:
    explicit TLargerFont(double scale)
    {
        QFont font = saved_;
        font.setPointSizeF(font.pointSizeF() * scale);
        QApplication::setFont(font);
    }
    ~TLargerFont() { QApplication::setFont(saved_); }

private:
    const QFont saved_ = QApplication::font();
};

// In the desktop's font and in larger ones, in every mode, each control
// that shows has the room it asks for inside the dialog, clear of every
// other, and the address edit stands where the port list does.
TEST(frmComSelect, EveryModeFitsAtLargerFonts)
{
    for (const double scale : {1.0, 1.5, 2.0}) {
        SCOPED_TRACE(scale);
        const TLargerFont larger(scale);
        TComSelect dialog(nullptr, [](QStringList& ports) { ports = {"/dev/ttyUSB0"}; });
        dialog.show();
        for (const rModeFields& mode : ModeFields) {
            SCOPED_TRACE(mode.Name);
            dialog.SetKind(mode.Kind);
            QCoreApplication::processEvents();
            ExpectWholeAndApart(dialog, dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
            ExpectWholeAndApart(*dialog.Mode, dialog.Mode->findChildren<QWidget*>());
            EXPECT_EQ(dialog.IPAddress->pos(), dialog.ComPort->pos());
        }
        if (scale == 2.0)
            testsupport::SaveScreenshot(dialog, "ComSelect_LargeFont");
    }
}

// The port list names the device behind a stable name and the latency
// timer of a USB adapter whose driver shows one, as sysfs has it when the
// list is read.
TEST(frmComSelect, PortListEntriesShowTheAdaptersLatencyTimer)
{
    QTemporaryDir root;
    const QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath("dev/serial/by-id") && dir.mkpath("sys/class/tty/ttyUSB3/device")
                && dir.mkpath("sys/class/tty/ttyACM0/device"));
    const QString ftdi = dir.filePath("dev/ttyUSB3");
    const QString acm = dir.filePath("dev/ttyACM0");
    const QString byId = dir.filePath("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    for (const QString& device : {ftdi, acm}) {
        QFile file(device);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link(ftdi, byId));
    const auto setLatency = [&](const char* text) {
        QFile file(dir.filePath("sys/class/tty/ttyUSB3/device/latency_timer"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    };
    setLatency("16\n");
    TComSelect dialog(nullptr, [&](QStringList& ports) { ports = {byId, ftdi, acm}; }, dir.filePath("sys"));
    const auto tooltip = [&](const QString& port) {
        return dialog.ComPort->itemData(dialog.ComPort->findText(port), Qt::ToolTipRole);
    };
    const struct {
        const char* Name;
        QString Port;
        QString Tooltip; // none when empty
    } rows[] = {
        {"stable name", byId, ftdi + "\nUSB adapter latency timer: 16 ms"},
        {"device", ftdi, "USB adapter latency timer: 16 ms"},
        {"driver without a latency timer", acm, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(tooltip(row.Port).toString(), row.Tooltip);
        EXPECT_EQ(tooltip(row.Port).isValid(), !row.Tooltip.isEmpty());
    }

    // Set to 1 ms meanwhile (by a udev rule, say): the next listing shows it.
    setLatency("1\n");
    QTest::mouseClick(dialog.cbTCP, Qt::LeftButton);
    QTest::mouseClick(dialog.cbRTU, Qt::LeftButton);
    EXPECT_EQ(tooltip(ftdi).toString(), "USB adapter latency timer: 1 ms");
}

TEST(frmComSelect, ScreenshotsOfEveryMode)
{
    FakePorts fake{{"/dev/ttyS0", "/dev/ttyUSB0"}};
    TComSelect dialog(nullptr, fake.Lister());
    dialog.SetPortText("/dev/ttyUSB0");
    dialog.SetBaudIndex(1);
    ASSERT_TRUE(dialog.SetIpText("192.168.1.20"));
    dialog.SetTcpPort(1502);
    dialog.show();
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "ComSelect_RTU"));
    dialog.SetKind(TLinkKind::Tcp);
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "ComSelect_TCP"));
    dialog.SetKind(TLinkKind::RtuOverTcp);
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "ComSelect_RTU_over_TCP"));
}

} // namespace

// The speed boxes take the defaults of the mode chosen, until the
// technician sets one otherwise.
TEST(frmComSelect, SpeedBoxesTakeTheModesDefaultsUntilOneIsSetByHand)
{
    FakePorts fake{{"/dev/ttyS0"}};
    TComSelect dialog(nullptr, fake.Lister());
    dialog.show();
    const auto boxes = [&] { return std::pair{dialog.cbEndAtLength->isChecked(), dialog.cbKeepConnection->isChecked()}; };
    QTest::mouseClick(dialog.cbRtuOverTcp, Qt::LeftButton);
    EXPECT_EQ(boxes(), std::pair(true, true));
    QTest::mouseClick(dialog.cbTCP, Qt::LeftButton);
    EXPECT_EQ(boxes(), std::pair(false, false));
    QTest::mouseClick(dialog.cbKeepConnection, Qt::LeftButton);
    QTest::mouseClick(dialog.cbRtuOverTcp, Qt::LeftButton);
    EXPECT_EQ(boxes(), std::pair(false, true)) << "a box set by hand stays";
}
