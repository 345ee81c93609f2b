// kelvane-log as the Modbus/TCP gateway of its site, the real executable:
// a pty bus of two simulated meters (and an address on it that nobody
// answers) and a meter behind a simulated Modbus/TCP gateway, served on
// 127.0.0.1 to mbpoll and to raw clients. What a client gets is checked
// against the simulated meters' own registers, whose load stands still.

#include "FrozenMeters.h"
#include "LocalEngine.h"
#include "LoggerRun.h"
#include "MbapClient.h"
#include "SimHarness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace {

using testsupport::Bytes;
using testsupport::ReadPdu;
using testsupport::TMbapClient;

constexpr uint8_t Silent = 7; // a meter of the bus that never answers
constexpr uint8_t Behind = 5; // the meter behind the Modbus/TCP gateway

simharness::rSimSetup Bus()
{
    simharness::rSimSetup setup = Frozen({1, 2});
    setup.Baud = 115200;
    return setup;
}

// One client's read, the meter's own answer to it, and the replies the
// client got that were that answer and that were not.
struct TReader {
    uint8_t Unit;
    uint8_t Function;
    uint16_t First, Count;
    Bytes Expected{};
    std::atomic<int> Right{0}, Wrong{0};
};

class GatewayTest : public ::testing::Test {
protected:
    void Start(const QStringList& switches = {})
    {
        const QString bus = "Link=rtu:" + QString::fromStdString(bus_.Path()) + ":115200\n";
        ASSERT_TRUE(WriteFile(dir_.filePath("site.ini"),
                              ("[Incomer]\n" + bus + "Address=1\nTimeout=300\nFile=" + Csv() + "\n[Feeder]\n" + bus +
                               "Address=2\n[Spare]\n" + bus + "Address=7\n[Chiller]\nLink=tcp:127.0.0.1:" +
                               QString::number(gateway_.Port()) + "\nAddress=5\n")
                                  .toUtf8()));
        run_.Start(QStringList{"--site", dir_.filePath("site.ini"), "--interval", "1", "--serve", QString::number(port_)} +
                   switches);
        ASSERT_TRUE(WaitFor([&] { return TMbapClient(port_).Connected(); })) << run_.Stderr().toStdString();
    }
    QString Csv() const { return dir_.filePath("incomer.csv"); }
    simharness::TSimMeters& Sim(uint8_t unit) { return unit == Behind ? gateway_ : static_cast<simharness::TSimMeters&>(bus_); }
    // The meter's own answer to a read of its registers, from the simulator.
    Bytes Answer(uint8_t unit, uint8_t function, uint16_t first, uint16_t count)
    {
        Bytes pdu{function, uint8_t(2 * count)};
        for (uint16_t reg = first; reg < first + count; ++reg) {
            const uint16_t value = Sim(unit).Register(unit, reg);
            pdu.insert(pdu.end(), {uint8_t(value >> 8), uint8_t(value)});
        }
        return pdu;
    }
    // Reads as fast as the gateway answers until stop, on a connection of
    // its own, and tells each reply right or wrong.
    void ReadUntil(TReader& reader, const std::atomic<bool>& stop)
    {
        TMbapClient client(port_);
        while (!stop) {
            const uint16_t id = client.Ask(reader.Unit, ReadPdu(reader.Function, reader.First, reader.Count));
            const auto reply = client.Receive();
            const bool right = reply && reply->Transaction == id && reply->Unit == reader.Unit && reply->Pdu == reader.Expected;
            ++(right ? reader.Right : reader.Wrong);
            if (!reply)
                return;
        }
    }

    QTemporaryDir dir_;
    simharness::TInProcessRtuSim bus_{Bus()};
    simharness::TInProcessSim gateway_{Frozen({Behind})};
    const uint16_t port_ = localengine::FreeLoopbackPort();
    TLoggerRun run_{dir_};
};

struct TMbpollRun {
    int Exit = -1;
    QString Output; // stdout and stderr
};

TMbpollRun Mbpoll(uint16_t port, uint8_t unit, const QString& table, uint16_t first, const QStringList& tail)
{
    QProcess mbpoll;
    mbpoll.setProcessChannelMode(QProcess::MergedChannels);
    mbpoll.start("/usr/bin/mbpoll", QStringList{"-1", "-0", "-o", "5", "-p", QString::number(port), "-a", QString::number(unit),
                                                "-t", table, "-r", QString::number(first)} + tail);
    if (!mbpoll.waitForFinished(20000))
        return {};
    return {mbpoll.exitStatus() == QProcess::NormalExit ? mbpoll.exitCode() : -1, QString::fromUtf8(mbpoll.readAll())};
}

// The registers mbpoll printed, "[768]: 17809" each.
std::map<int, int> Printed(const QString& output)
{
    std::map<int, int> values;
    for (const auto& match : QRegularExpression(R"(^\[(\d+)\]:\s+(\d+))", QRegularExpression::MultilineOption).globalMatch(output))
        values[match.captured(1).toInt()] = match.captured(2).toInt();
    return values;
}

class GatewayWritesTest : public GatewayTest, public ::testing::WithParamInterface<bool> {
};

TEST_P(GatewayWritesTest, MbpollReadsEveryMeterAndWritesOnlyWithServeWrites)
{
    if (!QFile::exists("/usr/bin/mbpoll"))
        GTEST_SKIP() << "mbpoll is not installed";
    const bool writes = GetParam();
    Start(writes ? QStringList{"--serve-writes"} : QStringList{});
    const struct {
        uint8_t Unit;
        const char* Table; // 4: holding registers, 3: input registers
        uint16_t First, Count;
    } reads[] = {{1, "4", 768, 10}, {2, "3", 776, 6}, {Behind, "4", 128, 31}};
    for (const auto& read : reads) {
        SCOPED_TRACE(read.Unit);
        const TMbpollRun polled = Mbpoll(port_, read.Unit, read.Table, read.First, {"-c", QString::number(read.Count), "127.0.0.1"});
        ASSERT_EQ(polled.Exit, 0) << polled.Output.toStdString();
        std::map<int, int> expected;
        for (int reg = read.First; reg < read.First + read.Count; ++reg)
            expected[reg] = Sim(read.Unit).Register(read.Unit, uint16_t(reg));
        EXPECT_EQ(Printed(polled.Output), expected) << polled.Output.toStdString();
    }
    // A scratchpad register of a bus meter with function 6, two of the
    // gated meter with function 16.
    const struct {
        uint8_t Unit;
        uint16_t First;
        QStringList Values;
        const char* Said;
    } writesMade[] = {{2, 150, {"4321"}, "register 150 = 4321"}, {Behind, 151, {"7", "8"}, "registers 151-152 = 7, 8"}};
    for (const auto& write : writesMade) {
        SCOPED_TRACE(write.Said);
        const auto registers = [&] {
            std::map<int, int> values;
            for (int i = 0; i < write.Values.size(); ++i)
                values[write.First + i] = Sim(write.Unit).Register(write.Unit, uint16_t(write.First + i));
            return values;
        };
        std::map<int, int> after = registers();
        for (int i = 0; writes && i < write.Values.size(); ++i)
            after[write.First + i] = write.Values[i].toInt();
        const TMbpollRun written = Mbpoll(port_, write.Unit, "4", write.First, QStringList{"127.0.0.1"} + write.Values);
        const TMbpollRun readBack = Mbpoll(port_, write.Unit, "4", write.First, {"-c", QString::number(write.Values.size()), "127.0.0.1"});
        EXPECT_EQ(registers(), after);
        EXPECT_EQ(Printed(readBack.Output), after) << readBack.Output.toStdString();
        const QRegularExpression said(QString(R"(gateway: 127\.0\.0\.1:\d+ wrote unit %1, %2: done\n)").arg(write.Unit).arg(write.Said));
        EXPECT_EQ(written.Exit == 0, writes) << written.Output.toStdString();
        EXPECT_EQ(written.Output.contains("Illegal function"), !writes) << written.Output.toStdString();
        EXPECT_EQ(said.match(run_.Stderr()).hasMatch(), writes) << run_.Stderr().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(ServeWrites, GatewayWritesTest, ::testing::Bool());

TEST_F(GatewayTest, EachFailureGetsItsExceptionAndAFullQueueBusyAtOnce)
{
    Start();
    const struct {
        uint8_t Unit;
        Bytes Pdu;
        uint8_t Code;
    } rows[] = {
        {1, ReadPdu(3, 1000, 100), 0x02},   // the meter's own: beyond its registers
        {Silent, ReadPdu(3, 768, 2), 0x0B}, // no answer from the meter
        {99, ReadPdu(3, 768, 2), 0x0A},     // no meter has the unit
        {1, ReadPdu(2, 0, 8), 0x01},        // a function the gateway does not pass on
    };
    TMbapClient client(port_);
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.Unit));
        const uint16_t id = client.Ask(row.Unit, row.Pdu);
        const auto reply = client.Receive();
        ASSERT_TRUE(reply) << run_.Stderr().toStdString();
        EXPECT_EQ(reply->Transaction, id);
        EXPECT_EQ(reply->Unit, row.Unit);
        EXPECT_EQ(reply->Pdu, (Bytes{uint8_t(row.Pdu[0] | 0x80), row.Code}));
    }
    // Ten requests to the silent meter in one go: a client has four places
    // in its link's queue (the link may have taken the first already), the
    // rest are busy before the meter's first timeout.
    Bytes burst;
    for (int i = 0; i < 10; ++i) {
        const Bytes frame = client.Frame(Silent, ReadPdu(3, 768, 2));
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    const auto first = uint16_t(burst[0] << 8 | burst[1]);
    client.Send(burst);
    std::map<int, uint8_t> code; // by the request's place in the burst
    for (int i = 0; i < 10; ++i) {
        const auto reply = client.Receive();
        ASSERT_TRUE(reply) << run_.Stderr().toStdString();
        ASSERT_EQ(reply->Pdu.size(), 2u);
        EXPECT_EQ(reply->Pdu[0], 0x83);
        code[reply->Transaction - first] = reply->Pdu[1];
        EXPECT_TRUE(i >= 5 || reply->Pdu[1] == 0x06) << "reply " << i << " came before the busy ones";
    }
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(code[i], i < 4 ? 0x0B : i == 4 ? code[4] : 0x06) << "request " << i;
    EXPECT_TRUE(code[4] == 0x0B || code[4] == 0x06);
}

TEST_F(GatewayTest, FourClientsFlatOutGetTheirOwnMetersAnswersWhileRecordsKeepTheirInterval)
{
    Start();
    TReader readers[] = {{1, 3, 768, 10}, {2, 3, 768, 12}, {1, 4, 0, 9}, {Behind, 3, 776, 14}};
    for (TReader& reader : readers)
        reader.Expected = Answer(reader.Unit, reader.Function, reader.First, reader.Count);
    ASSERT_NE(Answer(1, 3, 768, 10), Answer(2, 3, 768, 10)) << "the meters tell apart";
    ASSERT_TRUE(WaitFor([&] { return Lines(Csv()).size() >= 2; })) << run_.Stderr().toStdString();
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (TReader& reader : readers)
        clients.emplace_back([&] { ReadUntil(reader, stop); });
    std::vector<qint64> appeared; // ms from the start, of each record
    QElapsedTimer clock;
    clock.start();
    for (qsizetype seen = Lines(Csv()).size(); clock.elapsed() < 30000; QThread::msleep(10))
        if (const qsizetype now = Lines(Csv()).size(); now > seen)
            seen = now, appeared.push_back(clock.elapsed());
    stop = true;
    for (std::thread& client : clients)
        client.join();
    ASSERT_GE(appeared.size(), 28u) << run_.Stderr().toStdString();
    for (std::size_t i = 1; i < appeared.size(); ++i)
        EXPECT_NEAR(appeared[i] - appeared[i - 1], 1000, 100) << "record " << i;
    for (const TReader& reader : readers) {
        EXPECT_EQ(reader.Wrong.load(), 0) << "unit " << int(reader.Unit) << ", " << reader.Count << " registers";
        EXPECT_GT(reader.Right.load(), 100) << "unit " << int(reader.Unit) << ", " << reader.Count << " registers";
    }
}

TEST_F(GatewayTest, AClientSendingJunkOrHalfAFrameIsDroppedWhileAnotherReadsOn)
{
    Start();
    TReader reader{2, 3, 768, 12};
    reader.Expected = Answer(reader.Unit, reader.Function, reader.First, reader.Count);
    std::atomic<bool> stop{false};
    std::thread good([&] { ReadUntil(reader, stop); });
    const std::string http = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const struct {
        const char* Name;
        Bytes Sent;
    } rows[] = {
        {"protocol id 1", {0, 1, 0, 1, 0, 6, 1, 3, 3, 0, 0, 2}},
        {"length 1", {0, 1, 0, 0, 0, 1, 1}},
        {"length 300", {0, 1, 0, 0, 1, 44, 1, 3, 3, 0, 0, 2}},
        {"junk", Bytes(http.begin(), http.end())},
        {"half a frame", {0, 1, 0, 0, 0, 6, 1, 3, 3}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TMbapClient bad(port_);
        bad.Send(row.Sent);
        const int before = reader.Right;
        EXPECT_TRUE(WaitFor([&] { return reader.Right > before + 2; })) << "the other client reads on";
        EXPECT_TRUE(bad.ClosedByServer(10s));
    }
    stop = true;
    good.join();
    EXPECT_EQ(reader.Wrong.load(), 0);
}

} // namespace
