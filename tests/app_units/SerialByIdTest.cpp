// A stable serial port name (a symbolic link as udev makes under
// /dev/serial/by-id) reaching the utility in each of the ways a port name
// does: given as /PORT=, saved in the settings file, or typed into the port
// dialog. Each time the whole utility opens it, reads the simulated meter
// behind it over Modbus RTU and saves the name as it was given.

#include "AppHarness.h"
#include "IniFile.h"
#include "KelvaneWindows.h"
#include "SimHarness.h"
#include "WidgetTestSupport.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

using apptest::ChoosePort;
using apptest::Poller;
using apptest::Link;

// The rate the in-process RTU simulator assumes; 1 is its baud list index.
constexpr const char* Baud = "19200";
constexpr int BaudIndex = 1;

enum class TPortSource { CommandLine, SettingsFile, PortDialog };

// The utility's application directory with the default page and bank
// files, a simulated meter on a pseudo-terminal and a stable name for it in
// a folder standing for /dev.
class TByIdSetup {
public:
    TByIdSetup()
    {
        for (const char* file : {"Float.ini", "RegisterBanks.ini"})
            QFile::copy(QString(KELVANE_DATA_DIR) + "/" + file, dir.filePath(file));
        paths = TAppPaths::InOneFolder(dir.path(), "kelvane.ini");
        // The link lives apart from the application directory, as under
        // /dev, so that nothing that lists that directory opens the line.
        QDir(dev.path()).mkpath("serial/by-id");
        link = dev.filePath("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        QFile::link(QString::fromStdString(meter.Path()), link);
    }

    TForm1& Start(const QStringList& arguments)
    {
        windows = std::make_unique<TKelvaneWindows>(paths, arguments + QStringList{"/POLLING=600000"});
        windows->Form1.show();
        return windows->Form1;
    }

    QString SavedPort() const { return TIniFile(paths.SettingsFile).ReadString("Form", "COM", ""); }

    simharness::TInProcessRtuSim meter;
    QTemporaryDir dir;
    QTemporaryDir dev;
    TAppPaths paths;
    QString link;
    std::unique_ptr<TKelvaneWindows> windows;
};

void WriteSettings(const QString& fileName, const QByteArray& content)
{
    QFile file(fileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// Types the name into the port dialog once it shows, and presses OK.
void TypeIntoPortDialog(TComSelect& dialog, const QString& name)
{
    QTimer::singleShot(0, &dialog, [&dialog, name] {
        dialog.ComPort->lineEdit()->clear();
        QTest::keyClicks(dialog.ComPort->lineEdit(), name);
        QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton);
    });
}

TForm1& StartWithName(TByIdSetup& setup, TPortSource source)
{
    switch (source) {
    case TPortSource::CommandLine:
        return setup.Start({"/MODE=RTU", "/PORT=" + setup.link, QString("/BAUD=") + Baud});
    case TPortSource::SettingsFile:
        WriteSettings(setup.paths.SettingsFile,
                      QString("[Form]\nCOM=%1\nTCP=0\nBaud=%2\n").arg(setup.link).arg(BaudIndex).toUtf8());
        return setup.Start({});
    case TPortSource::PortDialog: {
        // The utility starts on a port that is not there, then the user
        // picks "Port" and types the stable name.
        testsupport::MessageBoxRecorder boxes;
        TForm1& form = setup.Start({"/MODE=RTU", "/PORT=" + setup.dir.filePath("no-such-port"),
                                    QString("/BAUD=") + Baud});
        EXPECT_EQ(boxes.shown.size(), 1u) << "the missing port is reported";
        TypeIntoPortDialog(*setup.windows->Form1.Dialogs().ComSelect, setup.link);
        ChoosePort(form);
        return form;
    }
    }
    throw std::logic_error("no such port source");
}

class SerialById : public testing::TestWithParam<TPortSource> {};

TEST_P(SerialById, OpensReadsTheMeterAndIsSavedAsGiven)
{
    TByIdSetup setup;
    TForm1& form = StartWithName(setup, GetParam());
    ASSERT_TRUE(Link(form));
    ASSERT_TRUE(Link(form)->Active()) << Link(form)->LastOpenError().toStdString();
    EXPECT_EQ(form.findChild<QLabel*>("Status")->text(), "Kelvane Opened on " + setup.link + " at " + Baud + " baud");

    QSignalSpy passes(&form, &TForm1::PassCompleted);
    Poller(form).ReadAll();
    ASSERT_EQ(passes.size(), 1);
    EXPECT_TRUE(passes[0][0].toBool()) << "the pass read its last bank";
    EXPECT_EQ(Link(form)->GetRegister(133), 12345);

    form.close();
    EXPECT_EQ(setup.SavedPort(), setup.link) << "the stable name is kept, not the device it leads to";
}

INSTANTIATE_TEST_SUITE_P(Sources, SerialById,
                         testing::Values(TPortSource::CommandLine, TPortSource::SettingsFile,
                                         TPortSource::PortDialog),
                         [](const testing::TestParamInfo<TPortSource>& info) {
                             switch (info.param) {
                             case TPortSource::CommandLine: return "CommandLine";
                             case TPortSource::SettingsFile: return "SettingsFile";
                             case TPortSource::PortDialog: return "PortDialog";
                             }
                             return "Unknown";
                         });

// The port list shows a stable name as the plain path and names the device
// it leads to in the entry's tooltip; a device path has no tooltip.
TEST(SerialById, PortListEntryNamesTheDeviceBehindAStableName)
{
    TByIdSetup setup;
    TComSelect dialog(nullptr, [&setup](QStringList& list) { list = {setup.link, "/dev/ttyS0"}; });
    const int linkEntry = dialog.ComPort->findText(setup.link);
    ASSERT_GE(linkEntry, 0);
    EXPECT_EQ(dialog.ComPort->itemData(linkEntry, Qt::ToolTipRole).toString(),
              QString::fromStdString(setup.meter.Path()));
    EXPECT_FALSE(dialog.ComPort->itemData(dialog.ComPort->findText("/dev/ttyS0"), Qt::ToolTipRole).isValid());

    dialog.ComPort->setCurrentIndex(linkEntry);
    EXPECT_EQ(dialog.PortText(), setup.link);
}

} // namespace
