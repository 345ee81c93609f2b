// The utility on a bus that kelvane-log owns, through the logger's Modbus/TCP
// port, while the logger keeps recording.

#include "AppHarness.h"
#include "FrozenMeters.h"
#include "LocalEngine.h"
#include "LogFile.h"
#include "LoggerRun.h"
#include "RegisterMap.h"

#include <QCheckBox>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>

#include <cmath>
#include <mutex>
#include <thread>

using apptest::Link;
using Clock = std::chrono::steady_clock;

// Unit 7 on the logger's port is the meter at address 2 of a bus of two, read every
// second. Bit 4 of the configuration word changes neither the word order nor a value.
TEST(LoggerGateway, TheUtilityReadsEveryBankAndCommitsAConfigWordWhileTheLoggerKeepsItsRecords)
{
    simharness::TInProcessRtuSim bus(Frozen({1, 2}));
    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini"), feeder = dir.filePath("feeder.csv");
    ASSERT_TRUE(WriteFile(site, QString("[Incomer]\nLink=rtu:%1:19200\nAddress=1\n"
                                        "[Feeder]\nLink=rtu:%1:19200\nAddress=2\nUnit=7\nFile=%2\n")
                                    .arg(QString::fromStdString(bus.Path()), feeder).toUtf8()));
    // When each record came, seen from a thread of its own while the utility's passes run.
    std::mutex mutex;
    std::vector<Clock::time_point> came;
    const auto records = [&] { const std::lock_guard lock(mutex); return came; };
    std::jthread watcher([&](const std::stop_token& stop) {
        for (; !stop.stop_requested(); std::this_thread::sleep_for(5ms)) {
            const qsizetype count = Lines(feeder).size() - 1;
            const std::lock_guard lock(mutex);
            while (qsizetype(came.size()) < count)
                came.push_back(Clock::now());
        }
    });
    const uint16_t port = localengine::FreeLoopbackPort();
    TLoggerRun logger(dir);
    logger.Start({"--site", site, "--interval", "1", "--serve", QString("127.0.0.1:%1").arg(port), "--serve-writes"});
    ASSERT_TRUE(WaitFor([&] { return records().size() >= 3; })) << logger.Stderr().toStdString();

    // The "Port" dialog: Modbus/TCP to the logger's port; Device Address 7.
    apptest::TAppHarness app;
    TForm1& form = app.Start();
    TComSelect& com = *form.Dialogs().ComSelect;
    QTimer::singleShot(0, &com, [&] {
        QTest::mouseClick(com.cbTCP, Qt::LeftButton);
        com.ebTcpPort->setFocus();
        com.ebTcpPort->selectAll();
        QTest::keyClicks(com.ebTcpPort, QString::number(port));
        QTest::mouseClick(com.BitBtn1, Qt::LeftButton);
    });
    apptest::ChoosePort(form);
    ASSERT_EQ(Link(form)->TcpPort(), port);
    TfrmAddress& address = *form.Dialogs().frmAddress;
    address.show();
    for (QCheckBox* box : {address.cbAdd4, address.cbAdd2})
        QTest::mouseClick(box, Qt::LeftButton);
    ASSERT_EQ(address.GetAddress(), 7);

    // A tick of the polling timer reads every bank: each register is the
    // meter's, as are the values shown.
    apptest::Poller(form).Poll();
    EXPECT_EQ(address.labStatus->text(), "COMM OK!");
    QStringList differ;
    const std::pair<int, int> banks[] = {{0, 124}, {0x300, 0x377}, {128, 158}};
    for (const auto& [first, last] : banks)
        for (int reg = first; reg <= last; ++reg)
            if (uint16_t(Link(form)->GetRegister(reg)) != bus.Register(2, uint16_t(reg)))
                differ << QString::number(reg);
    EXPECT_EQ(differ.join(' ').toStdString(), "");
    EXPECT_NEAR(QLocale().toDouble(app.FieldText("V A-N (V)").trimmed()), Quantity(bus, 2, 10), 0.051);

    // The Config Word editor: bit 4 ticked, OK, and the next pass commits it.
    const uint16_t before = bus.Register(2, RegisterMap::ConfigWord), after = before | 0x10;
    ASSERT_EQ(before & 0x10, 0);
    for (QAction* action : form.findChildren<QAction*>())
        if (action->text() == "Confi&g Word")
            action->trigger();
    TConfigWord& editor = *form.Dialogs().ConfigWord;
    QTest::mouseClick(editor.findChild<QWidget*>("cbCW5"), Qt::LeftButton, {}, QPoint(4, 4));
    QTest::mouseClick(editor.findChild<QPushButton*>("bOK"), Qt::LeftButton);
    apptest::Poller(form).Poll();
    EXPECT_EQ(bus.Register(2, RegisterMap::ConfigWord), after);
    EXPECT_EQ(bus.Register(1, RegisterMap::ConfigWord), before) << "the other meter of the bus";
    EXPECT_EQ(uint16_t(Link(form)->GetRegister(RegisterMap::ConfigWord)), after) << "read back";
    EXPECT_TRUE(apptest::Lines(apptest::Memo(form)).contains(QString("Writing 0x8e=%1").arg(after)));
    const QRegularExpression told(QString("gateway: 127\\.0\\.0\\.1:\\d+ wrote unit 7, register 142 = %1: done\n").arg(after));
    EXPECT_TRUE(WaitFor([&] { return logger.Stderr().contains(told); })) << logger.Stderr().toStdString();

    // Records before, during and after: one a second from the second on
    // (the first pass opens the port), each with the meter's values.
    const std::size_t seen = records().size();
    ASSERT_TRUE(WaitFor([&] { return records().size() >= seen + 2; })) << logger.Stderr().toStdString();
    EXPECT_EQ(logger.Finish(SIGTERM), 0) << logger.Stderr().toStdString();
    const std::vector<Clock::time_point> times = records();
    for (std::size_t i = 2; i < times.size(); ++i)
        EXPECT_NEAR(std::chrono::duration<double>(times[i] - times[i - 1]).count(), 1.0, 0.1) << "record " << i;
    const auto number = [](const QString& text) { bool ok = false; const double v = text.toDouble(&ok); return ok ? v : NAN; };
    for (const QString& record : Lines(feeder).mid(1)) {
        const QStringList fields = record.split(',').mid(2);
        ASSERT_EQ(fields.size(), qsizetype(LogParameterCount)) << record.toStdString();
        for (int i = 0; i < fields.size(); ++i)
            EXPECT_NEAR(number(fields[i]), Quantity(bus, 2, i), 0.51 * std::pow(10, -LogParameters[i].Decimals))
                << i << " in " << record.toStdString();
    }
}
