// kelvane-log as a service runs it: a process of its own against simulated
// meters over Modbus/TCP and on pseudo-terminals, stopped by a signal.

#include "KelvaneCOM.h"
#include "LogFile.h"
#include "LogValues.h"
#include "RegisterBanksFile.h"
#include "LateMeter.h"
#include "LoggerRun.h"
#include "OpenCounter.h"
#include "PtyLine.h"
#include "ScriptedServer.h"
#include "SimHarness.h"
#include "SimProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <ostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

QStringList ValueFields(const QString& line, const QLocale& locale)
{
    return line.split(LogFile::ListSeparator(locale)).mid(2);
}

bool AllEmpty(const QStringList& fields)
{
    return std::all_of(fields.begin(), fields.end(), [](const QString& f) { return f.isEmpty(); });
}

bool NoneEmpty(const QStringList& fields)
{
    return std::none_of(fields.begin(), fields.end(), [](const QString& f) { return f.isEmpty(); });
}

// A meter whose load and energies stand still, so that two readers at
// different times see the same values.
simharness::rSimSetup FrozenMeter(uint16_t port = 0, rFaultOptions faults = {})
{
    simharness::rSimSetup setup;
    setup.Port = port;
    setup.Faults = faults;
    setup.Clock = [] { return 1000.0; };
    return setup;
}

const TLogSelection SomeEntries = [] {
    TLogSelection selected{};
    for (std::size_t i : {0, 4, 8, 16, 31, 59})
        selected[i] = true;
    return selected;
}();
const QString SomeEntriesSwitch = "0,4,8,16,31,59";

// The record the desktop utility writes for the meter behind target, from
// the same banks, through the same log file code: header and record.
QStringList DesktopRecord(const QString& target, bool tcp, uint16_t tcpPort, const QLocale& locale,
                          const QString& logPath)
{
    TKelvane link(target, tcp);
    if (tcp)
        link.SetTcpPort(tcpPort);
    else
        link.SetBaudRate(TBaudRate::br19200);
    const bool abort = false;
    for (const TRegisterBankEntry& bank : RegisterBanksFile::Read(KELVANE_BANKS_FILE))
        EXPECT_EQ(link.ReadRegisters(1, 3, bank.Start, bank.End, abort), 0) << bank.Name.toStdString();
    EXPECT_TRUE(LogFile::WriteRecord(logPath, LogValues(link, false), SomeEntries, locale));
    return Lines(logPath);
}

// --- Records as the desktop utility writes them -------------------------

struct rRecordCase {
    const char* Name;
    const char* LocaleName;
    bool Tcp;
    bool ViaSettings; // connection, file and entries from a kelvane.ini
};

void PrintTo(const rRecordCase& c, std::ostream* os)
{
    *os << c.Name;
}

class LoggerRecordTest : public ::testing::TestWithParam<rRecordCase> {
};

TEST_P(LoggerRecordTest, HeaderAndRecordsAreTheDesktopUtilitysAndSigtermEndsOnAWholeLine)
{
    const rRecordCase& c = GetParam();
    const QLocale locale(QString(c.LocaleName).section('.', 0, 0));
    QTemporaryDir dir;
    const QString logPath = dir.filePath("meter log.csv");
    std::unique_ptr<simharness::TInProcessSim> tcpSim;
    std::unique_ptr<simharness::TInProcessRtuSim> rtuSim;
    QString target;
    uint16_t port = 0;
    if (c.Tcp) {
        tcpSim = std::make_unique<simharness::TInProcessSim>(FrozenMeter());
        target = "127.0.0.1";
        port = tcpSim->Port();
    } else {
        rtuSim = std::make_unique<simharness::TInProcessRtuSim>(FrozenMeter());
        target = QString::fromStdString(rtuSim->Path());
    }

    QStringList arguments{"--interval", "0.2"};
    if (c.ViaSettings) {
        QFile ini(dir.filePath("kelvane.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QString("[Form]\nCOM=%1\nIP Address=%1\nTCP Port=%2\nBaud=1\nTCP=%3\n"
                          "[Logging]\nFilename=%4\nFrequency=60\nEnabled=0\n")
                      .arg(target)
                      .arg(port)
                      .arg(c.Tcp ? 1 : 0)
                      .arg(logPath)
                      .toUtf8());
        for (std::size_t i = 0; i < LogParameterCount; ++i)
            ini.write(QString("Param%1=%2\n").arg(i).arg(SomeEntries[i] ? 1 : 0).toUtf8());
        ini.close();
        arguments << "--settings" << ini.fileName();
    } else {
        arguments << (c.Tcp ? QStringList{"--ip", target, "--tcp-port", QString::number(port)}
                            : QStringList{"--port", target, "--baud", "19200"})
                  << "--file" << logPath << "--params" << SomeEntriesSwitch;
    }

    TLoggerRun run(dir, c.LocaleName);
    run.Start(arguments);
    ASSERT_TRUE(WaitFor([&] { return Lines(logPath).size() >= 4; })) << run.Stderr().toStdString();
    ASSERT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
    EXPECT_TRUE(FileBytes(logPath).endsWith("\r\n"));
    EXPECT_TRUE(run.Stderr().contains("stopped"));

    const QStringList logged = Lines(logPath);
    const QStringList desktop = DesktopRecord(target, c.Tcp, port, locale, dir.filePath("desktop.csv"));
    ASSERT_EQ(desktop.size(), 2);
    EXPECT_EQ(logged.front(), desktop.front());
    const QStringList expected = ValueFields(desktop.back(), locale);
    EXPECT_TRUE(NoneEmpty(expected));
    for (const QString& record : logged.mid(1))
        EXPECT_EQ(ValueFields(record, locale), expected) << record.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Meters, LoggerRecordTest,
    ::testing::Values(rRecordCase{"TcpSwitches", "en_US.UTF-8", true, false},
                      rRecordCase{"TcpSettingsCommaDecimals", "de_DE.UTF-8", true, true},
                      rRecordCase{"RtuSwitches", "en_US.UTF-8", false, false},
                      rRecordCase{"RtuSettingsCommaDecimals", "de_DE.UTF-8", false, true}),
    [](const ::testing::TestParamInfo<rRecordCase>& info) { return std::string(info.param.Name); });

// --- One reading to stdout ----------------------------------------------

TEST(LoggerOnceTest, PrintsTheQuantitiesAndSaysWhetherTheMeterAnswered)
{
    QTemporaryDir dir;
    simharness::TInProcessSim sim(FrozenMeter());
    const QLocale locale("en_US");
    const QStringList desktop = DesktopRecord("127.0.0.1", true, sim.Port(), locale, dir.filePath("desktop.csv"));
    ASSERT_EQ(desktop.size(), 2);
    const QStringList values = ValueFields(desktop.back(), locale);
    // A port nobody listens on: the meter is absent.
    const uint16_t deadPort = [] { simharness::TInProcessSim gone; return gone.Port(); }();

    struct rRow {
        const char* Name;
        QStringList Switches;
        uint16_t Port;
        int Status;
    };
    const rRow rows[] = {
        {"table", {"--params", SomeEntriesSwitch}, sim.Port(), 0},
        {"csv", {"--params", SomeEntriesSwitch, "--csv"}, sim.Port(), 0},
        {"absent meter", {"--params", SomeEntriesSwitch}, deadPort, 1},
    };
    for (const rRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TLoggerRun run(dir);
        run.Start(QStringList{"--once", "--ip", "127.0.0.1", "--tcp-port", QString::number(row.Port)} + row.Switches);
        ASSERT_EQ(run.Finish(), row.Status) << run.Stderr().toStdString();
        const QStringList lines = run.Stdout().split('\n', Qt::SkipEmptyParts);
        if (row.Switches.contains("--csv")) {
            ASSERT_EQ(lines.size(), 2);
            EXPECT_EQ(lines[0].trimmed(), desktop.front());
            EXPECT_EQ(ValueFields(lines[1].trimmed(), locale), values);
            continue;
        }
        ASSERT_EQ(lines.size(), values.size());
        std::size_t k = 0;
        for (std::size_t i = 0; i < LogParameterCount; ++i) {
            if (!SomeEntries[i])
                continue;
            const QStringList columns = lines[qsizetype(k)].split(QRegularExpression("\\s{2,}"), Qt::SkipEmptyParts);
            ASSERT_EQ(columns.size(), 2) << lines[qsizetype(k)].toStdString();
            EXPECT_EQ(columns[0], LogParameters[i].Caption);
            EXPECT_EQ(columns[1].trimmed(), row.Status == 0 ? values[qsizetype(k)] : "--");
            ++k;
        }
        EXPECT_EQ(run.Stderr().count("no answer"), row.Status) << run.Stderr().toStdString();
        EXPECT_FALSE(run.Stderr().contains("trying again"));
    }
}

// The serial port is opened once, at the rate asked, for one meter and for
// a site's link alike: not first at 9600 baud and again at its own.
TEST(LoggerOnceTest, OpensTheSerialPortOnce)
{
    QTemporaryDir dir;
    simharness::TInProcessRtuSim sim(FrozenMeter());
    const QString port = QString::fromStdString(sim.Path());
    const QString site = dir.filePath("site.ini");
    ASSERT_TRUE(WriteFile(site, QString("[Bus meter]\nLink=rtu:%1:19200\nAddress=1\n").arg(port).toUtf8()));
    const QStringList runs[] = {{"--port", port, "--baud", "19200"}, {"--site", site}};
    for (const QStringList& switches : runs) {
        SCOPED_TRACE(switches.join(' ').toStdString());
        testsupport::TOpenCounter opens(sim.Path(), /*withCloses=*/true);
        TLoggerRun run(dir);
        run.Start(switches + QStringList{"--once", "--params", "0,8"});
        EXPECT_EQ(run.Finish(), 0) << run.Stderr().toStdString();
        EXPECT_EQ(opens.Take(), 1);
    }
}

// --- Through a serial device server ---------------------------------------

// kelvane-sim stands in for a device server in transparent mode. At 110
// baud the silence that ends an RTU reply (50 characters) lasts 4.5 s: a
// read of one bank that ends its reply at its length is over long before.
// By default kelvane-log ends replies at their length and keeps one TCP
// connection, which it reports once; the switches bring back the desktop
// utility's ways, and so do the keys of a settings file it saved, while a
// file without them keeps the logger's defaults.
TEST(LoggerRtuOverTcpTest, OnceReadsTheMeterThroughADeviceServer)
{
    simharness::rSimSetup setup;
    setup.Framing = TFraming::Rtu;
    simharness::TInProcessSim server(setup);
    const QString port = QString::number(server.Port());
    const QString connected = "kelvane-log: Connected to 127.0.0.1:" + port + "\n";
    QTemporaryDir dir;
    const QString banks = dir.filePath("banks.ini");
    ASSERT_TRUE(WriteFile(banks, "[Floats]\nName=Floats\nStart=768\nEnd=827\n"));
    const QString settings = "[Form]\nMode=RTUTCP\nTCP=0\nIP Address=127.0.0.1\nTCP Port=" + port + "\n";
    const QString utilitysDefaults = "End Serial Replies At Length=0\nKeep TCP Connection Open=0\n";

    const struct {
        const char* Name;
        QStringList Link;
        QString Settings; // a kelvane.ini given with --settings, unless empty
        bool EndAtLength;
        bool KeepConnection;
    } rows[] = {
        {"defaults", {"--rtu-over-tcp", "127.0.0.1:" + port}, {}, true, true},
        {"port from --tcp-port", {"--rtu-over-tcp", "127.0.0.1", "--tcp-port", port}, {}, true, true},
        {"--end-at-silence", {"--rtu-over-tcp", "127.0.0.1:" + port, "--end-at-silence"}, {}, false, true},
        {"--connection-per-request", {"--rtu-over-tcp", "127.0.0.1:" + port, "--connection-per-request"}, {}, true,
         false},
        {"settings file without the keys", {}, settings, true, true},
        {"settings file with the utility's defaults", {}, settings + utilitysDefaults, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        QStringList arguments = row.Link + QStringList{"--banks", banks, "--baud", "110", "--timeout", "10000",
                                                       "--params", "0,8", "--once"};
        if (!row.Settings.isEmpty()) {
            QFile ini(dir.filePath("kelvane.ini"));
            ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
            ini.write(row.Settings.toUtf8());
            ini.close();
            arguments << "--settings" << ini.fileName();
        }
        TLoggerRun run(dir);
        QElapsedTimer elapsed;
        elapsed.start();
        run.Start(arguments);
        ASSERT_EQ(run.Finish(), 0) << run.Stderr().toStdString();
        if (row.EndAtLength) {
            EXPECT_LT(elapsed.elapsed(), 3000);
        } else {
            EXPECT_GE(elapsed.elapsed(), 4000);
        }
        EXPECT_EQ(run.Stderr().count(connected), row.KeepConnection ? 1 : 0) << run.Stderr().toStdString();

        const QStringList lines = run.Stdout().split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 2) << run.Stdout().toStdString();
        const QStringList frequency = lines[1].split(QRegularExpression("\\s{2,}"), Qt::SkipEmptyParts);
        ASSERT_EQ(frequency.size(), 2) << lines[1].toStdString();
        EXPECT_EQ(frequency[0], LogParameters[8].Caption);
        EXPECT_NEAR(frequency[1].trimmed().toDouble(), 50.0, 0.5) << lines[1].toStdString();
    }
}

// --- Days of running ----------------------------------------------------

// Waits for a record after the first `after` lines whose values are all
// empty (empty) or all present.
bool WaitForRecord(const QString& logPath, qsizetype after, bool empty)
{
    const QLocale locale("en_US");
    return WaitFor([&] {
        const QStringList lines = Lines(logPath);
        for (qsizetype i = std::max<qsizetype>(after, 1); i < lines.size(); ++i)
            if (empty ? AllEmpty(ValueFields(lines[i], locale)) : NoneEmpty(ValueFields(lines[i], locale)))
                return true;
        return false;
    });
}

TEST(LoggerRunTest, SilentMeterGivesEmptyRecordsAndIsPickedUpAgain)
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath("log.csv");
    auto sim = std::make_unique<simharness::TInProcessSim>(FrozenMeter());
    const uint16_t port = sim->Port();
    TLoggerRun run(dir);
    run.Start({"--ip", "127.0.0.1", "--tcp-port", QString::number(port), "--interval", "0.2", "--params", "0,8"});
    ASSERT_TRUE(WaitForRecord(logPath, 0, false)) << run.Stderr().toStdString();

    sim.reset();
    sim = std::make_unique<simharness::TInProcessSim>(FrozenMeter(port, rFaultOptions{1, 0, 0, false}));
    ASSERT_TRUE(WaitForRecord(logPath, 0, true)) << run.Stderr().toStdString();
    EXPECT_TRUE(WaitFor([&] { return run.Stderr().contains("no answer from the meter at 127.0.0.1"); }));

    const qsizetype silent = Lines(logPath).size();
    sim.reset();
    sim = std::make_unique<simharness::TInProcessSim>(FrozenMeter(port));
    ASSERT_TRUE(WaitForRecord(logPath, silent, false)) << run.Stderr().toStdString();
    EXPECT_TRUE(WaitFor([&] { return run.Stderr().contains("answers again"); }));
    EXPECT_EQ(run.Stderr().count("no answer"), 1);
    EXPECT_EQ(run.Finish(SIGINT), 0);
}

TEST(LoggerRunTest, RemovedOrRotatedLogIsCreatedAgainWithItsHeader)
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath("log.csv");
    simharness::TInProcessSim sim(FrozenMeter());
    TLoggerRun run(dir);
    run.Start({"--ip", "127.0.0.1", "--tcp-port", QString::number(sim.Port()), "--interval", "0.1"});
    ASSERT_TRUE(WaitFor([&] { return Lines(logPath).size() >= 3; })) << run.Stderr().toStdString();
    const QString header = Lines(logPath).front();

    ASSERT_TRUE(QFile::rename(logPath, logPath + ".1"));
    ASSERT_TRUE(WaitFor([&] { return Lines(logPath).size() >= 2; })) << run.Stderr().toStdString();
    ASSERT_TRUE(QFile::remove(logPath));
    ASSERT_TRUE(WaitFor([&] { return Lines(logPath).size() >= 2; })) << run.Stderr().toStdString();
    ASSERT_EQ(run.Finish(SIGTERM), 0);

    for (const QString& path : {logPath + ".1", logPath}) {
        const QStringList lines = Lines(path);
        EXPECT_EQ(lines.front(), header) << path.toStdString();
        EXPECT_EQ(lines.count(header), 1) << path.toStdString();
        EXPECT_TRUE(FileBytes(path).endsWith("\r\n")) << path.toStdString();
        for (const QString& record : lines.mid(1))
            EXPECT_EQ(record.count(','), header.count(',')) << record.toStdString();
    }
}

// A meter that answers some reads of the second of two banks of the same
// size later than the reply timeout, so that the late reply comes while the
// next pass asks for the first bank: no record ever holds another bank's
// values; a quantity is the meter's own value or empty.
TEST(LoggerRunTest, LateRepliesNeverLandInAnotherBank)
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath("log.csv");
    const QString banks = dir.filePath("banks.ini");
    QFile file(banks);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[A]\nName=A\nStart=768\nEnd=827\n[B]\nName=B\nStart=828\nEnd=887\n");
    file.close();
    testsupport::TLateMeter meter(450, [](int request) { return request % 4 == 1; });
    TLoggerRun run(dir);
    run.Start({"--banks", banks, "--port", QString::fromStdString(meter.Path()), "--baud", "19200", "--timeout",
               "300", "--tries", "1", "--interval", "0.1"});
    ASSERT_TRUE(WaitFor([&] { return Lines(logPath).size() >= 11; }, 60s)) << run.Stderr().toStdString();
    ASSERT_EQ(run.Finish(SIGTERM), 0);

    const QLocale locale("en_US");
    int complete = 0;
    for (const QString& record : Lines(logPath).mid(1)) {
        const QStringList fields = ValueFields(record, locale);
        ASSERT_EQ(fields.size(), testsupport::TLateMeter::Quantities) << record.toStdString();
        for (int i = 0; i < fields.size(); ++i) {
            if (!fields[i].isEmpty()) {
                EXPECT_NEAR(locale.toDouble(fields[i]), testsupport::TLateMeter::Quantity(i), 0.001)
                    << "quantity " << i << " in " << record.toStdString();
            }
        }
        complete += NoneEmpty(fields);
    }
    EXPECT_GE(meter.LateReplies(), 2);
    EXPECT_GE(complete, 2);
}

// An adapter that echoes every request: with --echo the echo is removed and
// the meter's values come through; without it the echo is no reply.
TEST(LoggerRunTest, EchoSwitchReadsThroughAnAdapterThatEchoes)
{
    testsupport::TLateMeter meter(0, [](int) { return false; }, /*echo=*/true);
    for (const bool echo : {true, false}) {
        SCOPED_TRACE(echo ? "--echo" : "no --echo");
        QTemporaryDir dir;
        TLoggerRun run(dir);
        QStringList arguments{"--port", QString::fromStdString(meter.Path()), "--baud", "19200", "--tries", "1",
                              "--params", "0,30", "--once"};
        if (echo)
            arguments << "--echo";
        run.Start(arguments);
        EXPECT_EQ(run.Finish(), echo ? 0 : 1) << run.Stderr().toStdString();
        // Quantity 30 of this meter is 1030 (with or without a thousands separator).
        const QString table = run.Stdout();
        EXPECT_EQ(table.contains(QRegularExpression(R"(\b1,?030\.0)")), echo) << table.toStdString();
    }
}

// SIGTERM ends the logger within a second also while it waits for a meter
// that keeps silent, however long its reply timeout: over Modbus/TCP and on
// a serial line, once the request has gone out.
TEST(LoggerRunTest, StopSignalEndsTheWaitForASilentMeter)
{
    testsupport::ScriptedServer tcp([](const testsupport::Bytes&) { return testsupport::ScriptedServer::Reply{{}, false, true}; });
    TPtyLine serial(true), onceLine(true);
    const auto requestOn = [](const TPtyLine& line) {
        return [&line] {
            uint8_t byte = 0;
            return ::read(line.Master(), &byte, 1) == 1;
        };
    };
    const struct {
        const char* name;
        QStringList link;
        std::function<bool()> requestSent;
    } rows[] = {
        {"Modbus/TCP", {"--ip", "127.0.0.1", "--tcp-port", QString::number(tcp.Port())},
         [&] { return !tcp.Requests().empty(); }},
        {"RTU", {"--port", QString::fromStdString(serial.SlavePath()), "--baud", "19200"}, requestOn(serial)},
        // Read once, the pass runs in the main thread, which learns of the
        // stop inside its wait.
        {"RTU read once", {"--port", QString::fromStdString(onceLine.SlavePath()), "--baud", "19200", "--once"},
         requestOn(onceLine)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        TLoggerRun run(dir);
        run.Start(row.link + QStringList{"--timeout", "10000", "--interval", "60"});
        ASSERT_TRUE(WaitFor(row.requestSent)) << run.Stderr().toStdString();
        EXPECT_EQ(run.Finish(SIGTERM), row.link.contains("--once") ? 1 : 0) << run.Stderr().toStdString();
    }
}

// An adapter named by a stable by-id link: unplugged, the link's pty goes
// away; plugged back, the same name leads to a new one.
TEST(LoggerRunTest, UnpluggedSerialAdapterIsOpenedAgainByItsName)
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath("log.csv");
    const QString byId = dir.filePath("usb-Kelvane_RS485-if00-port0");
    const auto plugIn = [&](const simharness::TInProcessRtuSim& sim) {
        const QString fresh = byId + ".new";
        QFile::remove(fresh);
        return QFile::link(QString::fromStdString(sim.Path()), fresh) &&
               ::rename(qPrintable(fresh), qPrintable(byId)) == 0;
    };
    auto sim = std::make_unique<simharness::TInProcessRtuSim>(FrozenMeter());
    ASSERT_TRUE(plugIn(*sim));
    TLoggerRun run(dir);
    run.Start({"--port", byId, "--baud", "19200", "--interval", "0.2", "--params", "0,8"});
    ASSERT_TRUE(WaitForRecord(logPath, 0, false)) << run.Stderr().toStdString();

    sim.reset();
    ASSERT_TRUE(WaitForRecord(logPath, 0, true)) << run.Stderr().toStdString();
    const qsizetype unplugged = Lines(logPath).size();
    sim = std::make_unique<simharness::TInProcessRtuSim>(FrozenMeter());
    ASSERT_TRUE(plugIn(*sim));
    ASSERT_TRUE(WaitForRecord(logPath, unplugged, false)) << run.Stderr().toStdString();
    EXPECT_TRUE(WaitFor([&] { return run.Stderr().contains("answers again"); }));
    EXPECT_EQ(run.Finish(SIGTERM), 0);
}

// A site's serial adapter unplugged ten times (kelvane-sim ends, its pty and
// link go), by turns just after a record and inside a pass (a slow meter's
// reply due): each loss is told once, the gateway's link goes on meanwhile,
// the port is open again within a second of its return, the process lives.
TEST(LoggerRunTest, SiteLivesThroughTenUnplugsOfASerialAdapter)
{
    QTemporaryDir dir;
    const QString tty = dir.filePath("ttyBus"), busLog = dir.filePath("bus.csv"), gwLog = dir.filePath("gw.csv");
    simharness::TInProcessSim gateway(FrozenMeter());
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), QString("[Bus]\nLink=rtu:%1:115200\nAddress=1\nFile=%2\nTimeout=2000\n"
                                                            "[Gw]\nLink=tcp:127.0.0.1:%3\nAddress=1\nFile=%4\n")
                                                        .arg(tty, busLog).arg(gateway.Port()).arg(gwLog).toUtf8()));
    const auto plugIn = [&](int delayMs) {
        return std::make_unique<TSimProcess>(KELVANE_SIM_EXE, QStringList{"--rtu", "--link", tty, "--baud", "115200",
                                                                         "--delay", QString::number(delayMs)});
    };
    TLoggerRun run(dir);
    const auto portOpen = [&] {
        const QFileInfoList fds = QDir(QString("/proc/%1/fd").arg(run.Pid())).entryInfoList(QDir::AllEntries | QDir::System);
        return std::any_of(fds.begin(), fds.end(), [&](const QFileInfo& fd) { return fd.symLinkTarget() == QFileInfo(tty).symLinkTarget(); });
    };
    auto bus = plugIn(0);
    run.Start({"--site", dir.filePath("site.ini"), "--interval", "0.5", "--params", "8"});
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(i % 2 == 1 || WaitForRecord(busLog, Lines(busLog).size(), false)) << run.Stderr().toStdString();
        bus.reset();
        ASSERT_TRUE(WaitForRecord(gwLog, Lines(gwLog).size(), false)) << run.Stderr().toStdString();
        bus = plugIn(i % 2 == 0 ? 1500 : 0);
        EXPECT_TRUE(WaitFor(portOpen, 1s)) << "open again within a second of its return";
        ASSERT_TRUE(WaitFor(portOpen));
    }
    ASSERT_TRUE(WaitForRecord(busLog, Lines(busLog).size(), false)) << run.Stderr().toStdString();
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
    // Each loss is said, or counted among the repeats of the minute.
    qsizetype losses = 0;
    const QRegularExpression lost(QString("Serial port %1 was lost[^\n]*?(?: \\((\\d+) more times? in the last minute\\))?\n")
                                      .arg(QRegularExpression::escape(tty)));
    for (const QRegularExpressionMatch& match : lost.globalMatch(run.Stderr()))
        losses += match.hasCaptured(1) ? match.captured(1).toInt() : 1;
    EXPECT_EQ(losses, 10) << run.Stderr().toStdString();
}

TEST(LoggerRunTest, StopSignalEndsTheWaitForTheNextRecord)
{
    QTemporaryDir dir;
    simharness::TInProcessSim sim(FrozenMeter());
    TLoggerRun run(dir);
    run.Start({"--ip", "127.0.0.1", "--tcp-port", QString::number(sim.Port()), "--interval", "3600"});
    ASSERT_TRUE(WaitFor([&] { return Lines(dir.filePath("log.csv")).size() == 2; })) << run.Stderr().toStdString();
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
}

// A gateway that closes the connection after every reply, each read
// answered with zeros: the connection's coming and going is said once, then
// counted, for one meter and for a site.
TEST(LoggerRunTest, GatewayClosingAfterEachReplyIsCountedNotSaidEachTime)
{
    testsupport::ScriptedServer gateway([](const testsupport::Bytes& request) {
        const uint8_t bytes = uint8_t(2 * request.at(11));
        testsupport::Bytes reply{0, 0, 0, 0, 0, uint8_t(3 + bytes), request.at(6), request.at(7), bytes};
        reply.resize(reply.size() + bytes);
        return testsupport::ScriptedServer::Reply{reply, true};
    });
    QTemporaryDir dir;
    const QString port = QString::number(gateway.Port());
    ASSERT_TRUE(WriteFile(dir.filePath("banks.ini"), "[Floats]\nName=Floats\nStart=768\nEnd=827\n"));
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), ("[Gw]\nLink=tcp:127.0.0.1:" + port + "\nAddress=1\nFile=" + dir.filePath("gw.csv") + "\n").toUtf8()));
    const QStringList ip{"--ip", "127.0.0.1", "--tcp-port", port}, site{"--site", dir.filePath("site.ini")};
    for (const QStringList& link : {ip, site}) {
        SCOPED_TRACE(link.join(' ').toStdString());
        const int before = gateway.Connections();
        TLoggerRun run(dir);
        run.Start(link + QStringList{"--banks", dir.filePath("banks.ini"), "--interval", "0.1", "--params", "8"});
        ASSERT_TRUE(WaitFor([&] { return gateway.Connections() - before >= 30; })) << run.Stderr().toStdString();
        ASSERT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
        const QString said = run.Stderr();
        const int connections = gateway.Connections() - before;
        std::printf("%d connections, %lld lines on stderr\n", connections, qlonglong(said.count('\n')));
        EXPECT_LE(said.count('\n'), 6) << said.toStdString();
        for (const QString& state : {"Connected to 127.0.0.1:" + port + "\n",
                                     "The connection to 127.0.0.1:" + port + " was closed or reset by the peer\n"})
            EXPECT_EQ(said.count(state), 1) << said.toStdString();
        const QRegularExpressionMatch counted =
            QRegularExpression("Connected to 127.0.0.1:\\d+ \\((\\d+) more times in the last minute\\)\n").match(said);
        ASSERT_TRUE(counted.hasMatch()) << said.toStdString();
        EXPECT_GE(counted.captured(1).toInt(), connections - 2) << said.toStdString();
        EXPECT_LT(counted.captured(1).toInt(), connections);
    }
}

// --- Log paths that are not regular files, and writes that fail ---------

bool MakeFifo(const QString& path) { return ::mkfifo(qPrintable(path), 0644) == 0; }
bool MakeDirectory(const QString& path) { return QDir().mkdir(path); }

// At start, a log that is not a regular file is refused before the meter is
// read. Made so while logging, or held at a file size limit, it gets one
// message with the reason and no record; once it takes records again, one
// line says how many were lost and the times of the first and the last.
TEST(LoggerLogPathTest, LogThatCannotBeWrittenIsRefusedAtStartOrReportedOnceWithItsLostRecords)
{
    const struct {
        const char* Name;
        bool (*Make)(const QString&); // null: a file size limit instead
        bool Reader;
        QString Kind;
        QString Reason; // the system's, after the kind of a path that is not a regular file
    } cases[] = {
        {"FIFO without a reader", MakeFifo, false, "a FIFO (named pipe)", ""},
        {"FIFO with a reader", MakeFifo, true, "a FIFO (named pipe)", ""},
        {"directory", MakeDirectory, false, "a directory", " (Is a directory)"},
        {"file size limit", nullptr, false, "", "File too large"},
    };
    QTemporaryDir dir;
    const QString logPath = dir.filePath("log.csv");
    std::atomic<int> readings{0}; // one or more in each pass
    simharness::rSimSetup counting = FrozenMeter();
    counting.Clock = [&readings] { return ++readings, 1000.0; };
    simharness::TInProcessSim meter(counting);
    const QStringList arguments{"--ip", "127.0.0.1", "--tcp-port", QString::number(meter.Port()), "--interval", "0.1"};
    char byte = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        if (!c.Make)
            continue;
        ASSERT_TRUE(c.Make(logPath));
        const int reader = c.Reader ? ::open(qPrintable(logPath), O_RDONLY | O_NONBLOCK) : -1;
        TLoggerRun refused(dir);
        refused.Start(arguments);
        EXPECT_EQ(refused.Finish(0, 5000), 2);
        EXPECT_TRUE(refused.Stderr().contains(QString("\"%1\" is %2, not a regular file").arg(logPath, c.Kind)));
        EXPECT_EQ(readings.load(), 0);
        EXPECT_LE(::read(reader, &byte, 1), 0);
        ::close(reader);
        ASSERT_TRUE(QDir().rmdir(logPath) || QFile::remove(logPath));
    }

    TLoggerRun run(dir);
    run.Start(arguments);
    ASSERT_TRUE(WaitFor([&] { return FileBytes(logPath).size() > 4096; })) << run.Stderr().toStdString();
    const int perPass = readings.load(); // a pass or more
    qsizetype said = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString reason = c.Make ? QString("it is %1, not a regular file%2").arg(c.Kind, c.Reason) : c.Reason;
        const QDateTime cut = QDateTime::currentDateTime().addSecs(-1);
        int reader = -1;
        rlimit unlimited{};
        if (c.Make) {
            ASSERT_TRUE(c.Make(logPath + ".new"));
            reader = c.Reader ? ::open(qPrintable(logPath + ".new"), O_RDONLY | O_NONBLOCK) : -1;
            // A directory goes only where no file is, so the log is removed
            // again when the logger has made it anew in between.
            ASSERT_TRUE(WaitFor([&] {
                QFile::remove(logPath);
                return ::rename(qPrintable(logPath + ".new"), qPrintable(logPath)) == 0;
            }));
        } else {
            const rlimit full{rlim_t(FileBytes(logPath).size()), RLIM_INFINITY};
            ASSERT_EQ(::prlimit(run.Pid(), RLIMIT_FSIZE, &full, &unlimited), 0);
        }
        ASSERT_TRUE(WaitFor([&] { return run.Stderr().contains(reason); })) << run.Stderr().toStdString();
        const int failing = readings.load();
        ASSERT_TRUE(WaitFor([&] { return readings.load() >= failing + 2 * perPass; }));
        EXPECT_LE(::read(reader, &byte, 1), 0);
        ::close(reader);
        ASSERT_TRUE(c.Make ? QDir().rmdir(logPath) || QFile::remove(logPath)
                           : ::prlimit(run.Pid(), RLIMIT_FSIZE, &unlimited, nullptr) == 0);

        ASSERT_TRUE(WaitFor([&] { return run.Stderr().count("records lost") == said; })) << run.Stderr().toStdString();
        const QStringList lines = run.Stderr().split('\n', Qt::SkipEmptyParts);
        // After the line that starts the run and the one that reports its
        // kept connection to the meter.
        ASSERT_EQ(lines.size(), 2 + 2 * said++) << run.Stderr().toStdString();
        EXPECT_TRUE(lines.end()[-2].endsWith(
            QString("cannot write the log file \"%1\": %2; trying again at each record").arg(logPath, reason)));
        const QRegularExpressionMatch loss =
            QRegularExpression("again; (\\d+) records lost, from (.{19}) to (.{19})$").match(lines.back());
        EXPECT_GE(loss.captured(1).toInt(), 2) << lines.back().toStdString();
        const QDateTime first = QDateTime::fromString(loss.captured(2), "yyyy-MM-dd HH:mm:ss");
        const QDateTime last = QDateTime::fromString(loss.captured(3), "yyyy-MM-dd HH:mm:ss");
        EXPECT_TRUE(cut <= first && first <= last && last <= QDateTime::currentDateTime())
            << lines.back().toStdString();
    }
    EXPECT_EQ(run.Finish(SIGTERM), 0);
}

// --- Switches -----------------------------------------------------------

TEST(LoggerSwitchTest, HelpListsEverySwitchAndBadValuesAreRefusedByName)
{
    QTemporaryDir dir;
    {
        TLoggerRun run(dir);
        run.Start({"--help"});
        ASSERT_EQ(run.Finish(), 0);
        const QString help = run.Stdout();
        for (const char* name : {"--ip", "--tcp-port", "--port", "--baud", "--address", "--interval", "--file",
                                 "--params", "--settings", "--banks", "--once", "--csv", "--help", "--timeout",
                                 "--tries", "--echo", "--rtu-over-tcp", "--end-at-silence",
                                 "--connection-per-request", "--name", "--mqtt", "--metrics"})
            EXPECT_TRUE(help.contains(name)) << name;
    }
    const QString site = dir.filePath("site.ini");
    ASSERT_TRUE(WriteFile(site, ""));
    const QStringList refused[] = {
        {"--timeout", "99"},
        {"--timeout", "10001"},
        {"--tries", "0"},
        {"--tries", "11"},
        {"--interval", "0.05"},
        {"--interval", "ten"},
        {"--tcp-port", "70000"},
        {"--address", "0"},
        {"--address", "248"},
        {"--baud", "12345"},
        {"--params", "60"},
        {"--params", "8-2"},
        {"--name", "Pump 2\\"},
        {"--ip", "meter.lan"},
        {"--rtu-over-tcp", "meter.lan"},
        {"--rtu-over-tcp", "127.0.0.1:0"},
        {"--rtu-over-tcp", "[::1]:port"},
        {"--rtu-over-tcp", "127.0.0.1:1502", "--tcp-port", "1502"},
        {"--settings", dir.filePath("none.ini")},
        {"--banks", dir.filePath("none.ini")},
        {"--csv"},
        {"--colour"},
        {"--mqtt-discovery"},
        {"--mqtt-discovery", "ha+", "--site", site, "--mqtt", "127.0.0.1"},
        {"--mqtt-discovery=", "--site", site, "--mqtt", "127.0.0.1"},
    };
    for (const QStringList& row : refused) {
        SCOPED_TRACE(row.join(' ').toStdString());
        TLoggerRun run(dir);
        const QStringList meter =
            row.front() == "--rtu-over-tcp" || row.contains("--site") ? QStringList() : QStringList{"--ip", "127.0.0.1"};
        run.Start(meter + QStringList{"--interval", "5"} + row);
        EXPECT_EQ(run.Finish(), 2);
        const QString named = row.front() == "--colour" ? "option 'colour'" : row.front().section('=', 0, 0) + ":";
        EXPECT_TRUE(run.Stderr().contains(named)) << run.Stderr().toStdString();
        const QString range =
            row.front() == "--timeout" ? "from 100 to 10000" : row.front() == "--tries" ? "from 1 to 10" : "";
        EXPECT_TRUE(run.Stderr().contains(range)) << run.Stderr().toStdString();
        EXPECT_EQ(run.Stderr().count('\n'), 1) << run.Stderr().toStdString();
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
