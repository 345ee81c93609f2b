// kelvane-log as the Modbus/TCP gateway of its site, the real executable:
// a pty bus of two simulated meters, a meter on a pty where nothing
// answers, and a meter behind a simulated Modbus/TCP gateway, served on
// 127.0.0.1 to mbpoll and to raw clients. What a client gets is checked
// against the simulated meters' own registers, whose load stands still.

#include "FrozenMeters.h"
#include "LocalEngine.h"
#include "LoggerRun.h"
#include "MbapClient.h"
#include "PtyLine.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>

#include <atomic>
#include <map>
#include <thread>

namespace {

using testsupport::Bytes;
using testsupport::ReadPdu;
using testsupport::TMbapClient;

constexpr uint8_t Silent = 7; // a meter on a line where nothing answers
constexpr uint8_t Behind = 5; // the meter behind the Modbus/TCP gateway

std::string Hex(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())).toHex(' ').toStdString();
}

// One client's read, the meter's own answer to it, and how the client's
// replies turned out; the first wrong one as it came.
struct TReader {
    uint8_t Unit, Function;
    uint16_t First, Count;
    Bytes Expected{};
    std::atomic<int> Right{0}, Silences{0}, Wrong{0};
    std::string FirstWrong{};
};

class GatewayTest : public ::testing::Test {
protected:
    void Start(const QStringList& switches = {})
    {
        const QString bus = "Link=rtu:" + QString::fromStdString(bus_.Path()) + ":115200\n";
        const QString silent = "Link=rtu:" + QString::fromStdString(silentLine_.SlavePath()) + ":115200\nTimeout=300\n";
        const QString site = "[Incomer]\n" + bus + "Address=1\nFile=" + Csv() + "\n[Feeder]\n" + bus + "Address=2\n[Spare]\n" +
                             silent + "Address=7\n[Chiller]\nLink=tcp:127.0.0.1:" + QString::number(gateway_.Port()) + "\nAddress=5\n";
        ASSERT_TRUE(WriteFile(dir_.filePath("site.ini"), site.toUtf8()));
        const QStringList serve{"--interval", "2", "--serve", QString::number(port_)};
        run_.Start(QStringList{"--site", dir_.filePath("site.ini")} + serve + switches);
        ASSERT_TRUE(WaitFor([&] { return TMbapClient(port_).Connected(); })) << run_.Stderr().toStdString();
    }
    QString Csv() const { return dir_.filePath("incomer.csv"); }
    uint16_t Register(uint8_t unit, int reg)
    {
        return unit == Behind ? gateway_.Register(unit, uint16_t(reg)) : bus_.Register(unit, uint16_t(reg));
    }
    // The meter's own answer to a read of its registers.
    Bytes Answer(const TReader& read)
    {
        Bytes pdu{read.Function, uint8_t(2 * read.Count)};
        for (int reg = read.First; reg < read.First + read.Count; ++reg)
            pdu.insert(pdu.end(), {uint8_t(Register(read.Unit, reg) >> 8), uint8_t(Register(read.Unit, reg))});
        return pdu;
    }
    // Reads on a connection of its own as fast as the gateway answers,
    // until stop. The meter's silence said as such (0x0B) is no wrong
    // value, but is counted: a loaded machine may starve the simulated line.
    void ReadUntil(TReader& reader, const std::atomic<bool>& stop)
    {
        for (TMbapClient client(port_); !stop;) {
            const uint16_t id = client.Ask(reader.Unit, ReadPdu(reader.Function, reader.First, reader.Count));
            const auto reply = client.Receive();
            const bool ours = reply && reply->Transaction == id && reply->Unit == reader.Unit;
            const bool right = ours && reply->Pdu == reader.Expected;
            const bool silence = ours && reply->Pdu == Bytes{uint8_t(reader.Function | 0x80), 0x0B};
            if (!right && !silence && reader.Wrong++ == 0)
                reader.FirstWrong = reply ? Hex(reply->Pdu) + " as " + std::to_string(reply->Transaction) : "none";
            reader.Right += right, reader.Silences += silence;
            if (!reply)
                return;
        }
    }

    QTemporaryDir dir_;
    simharness::TInProcessRtuSim bus_{[] { auto setup = Frozen({1, 2}); setup.Baud = 115200; return setup; }()};
    simharness::TInProcessSim gateway_{Frozen({Behind})};
    TPtyLine silentLine_; // a line of its own, so that its timeouts delay no bus meter
    const uint16_t port_ = localengine::FreeLoopbackPort();
    TLoggerRun run_{dir_};
};

// mbpoll's exit code and output, and the registers it printed ("[768]: 17809").
std::tuple<int, QString, std::map<int, int>> Mbpoll(uint16_t port, int unit, const QString& table, int first,
                                                    const QStringList& tail)
{
    QProcess mbpoll;
    mbpoll.setProcessChannelMode(QProcess::MergedChannels);
    mbpoll.start("/usr/bin/mbpoll", QStringList{"-1", "-0", "-o", "5", "-p", QString::number(port), "-a", QString::number(unit),
                                                "-t", table, "-r", QString::number(first)} + tail);
    const bool ended = mbpoll.waitForFinished(20000) && mbpoll.exitStatus() == QProcess::NormalExit;
    const QString output = QString::fromUtf8(mbpoll.readAll());
    std::map<int, int> printed;
    const QRegularExpression line(R"(^\[(\d+)\]:\s+(\d+))", QRegularExpression::MultilineOption);
    for (const auto& match : line.globalMatch(output))
        printed[match.captured(1).toInt()] = match.captured(2).toInt();
    return {ended ? mbpoll.exitCode() : -1, output, printed};
}

class GatewayWritesTest : public GatewayTest, public ::testing::WithParamInterface<bool> {
};

TEST_P(GatewayWritesTest, MbpollReadsEveryMeterAndWritesOnlyWithServeWrites)
{
    if (!QFile::exists("/usr/bin/mbpoll"))
        GTEST_SKIP() << "mbpoll is not installed";
    const bool writes = GetParam();
    Start(writes ? QStringList{"--serve-writes"} : QStringList{});
    // Table 4: holding registers, 3: input registers.
    const struct { int Unit; const char* Table; int First, Count; } reads[] = {
        {1, "4", 768, 10}, {2, "3", 776, 6}, {Behind, "4", 128, 31}};
    for (const auto& read : reads) {
        const auto [code, output, printed] =
            Mbpoll(port_, read.Unit, read.Table, read.First, {"-c", QString::number(read.Count), "127.0.0.1"});
        std::map<int, int> expected;
        for (int reg = read.First; reg < read.First + read.Count; ++reg)
            expected[reg] = Register(uint8_t(read.Unit), reg);
        EXPECT_EQ(code, 0) << output.toStdString();
        EXPECT_EQ(printed, expected) << output.toStdString();
    }
    // Scratchpad registers: one of a bus meter with function 6, two of the
    // gated meter with function 16.
    const struct { int Unit, First; QStringList Values; const char* Said; } made[] = {
        {2, 150, {"4321"}, "register 150 = 4321"}, {Behind, 151, {"7", "8"}, "registers 151-152 = 7, 8"}};
    for (const auto& write : made) {
        SCOPED_TRACE(write.Said);
        const auto registers = [&] {
            std::map<int, int> values;
            for (int i = 0; i < write.Values.size(); ++i)
                values[write.First + i] = Register(uint8_t(write.Unit), write.First + i);
            return values;
        };
        std::map<int, int> after = registers();
        for (int i = 0; writes && i < write.Values.size(); ++i)
            after[write.First + i] = write.Values[i].toInt();
        const auto [code, output, none] = Mbpoll(port_, write.Unit, "4", write.First, QStringList{"127.0.0.1"} + write.Values);
        EXPECT_EQ(code == 0, writes) << output.toStdString();
        EXPECT_EQ(output.contains("Illegal function"), !writes) << output.toStdString();
        EXPECT_EQ(registers(), after);
        const QStringList readBack{"-c", QString::number(write.Values.size()), "127.0.0.1"};
        EXPECT_EQ(std::get<2>(Mbpoll(port_, write.Unit, "4", write.First, readBack)), after);
        const QRegularExpression said(
            QString(R"(gateway: 127\.0\.0\.1:\d+ wrote unit %1, %2: done\n)").arg(write.Unit).arg(write.Said));
        EXPECT_EQ(said.match(run_.Stderr()).hasMatch(), writes) << run_.Stderr().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(ServeWrites, GatewayWritesTest, ::testing::Bool());

TEST_F(GatewayTest, EachFailureGetsItsExceptionAndAFullQueueBusyAtOnce)
{
    Start();
    const struct { uint8_t Unit; Bytes Pdu; uint8_t Code; } rows[] = {
        {1, ReadPdu(3, 1000, 100), 0x02},   // the meter's own: beyond its registers
        {Silent, ReadPdu(3, 768, 2), 0x0B}, // no answer from the meter
        {99, ReadPdu(3, 768, 2), 0x0A},     // no meter has the unit
        {1, ReadPdu(2, 0, 8), 0x01},        // a function the gateway does not pass on
    };
    TMbapClient client(port_);
    for (const auto& row : rows) {
        const uint16_t id = client.Ask(row.Unit, row.Pdu);
        const auto reply = client.Receive();
        ASSERT_TRUE(reply) << run_.Stderr().toStdString();
        EXPECT_EQ(Hex(reply->Pdu), Hex({uint8_t(row.Pdu[0] | 0x80), row.Code})) << "unit " << int(row.Unit);
        EXPECT_EQ(reply->Transaction, id);
        EXPECT_EQ(reply->Unit, row.Unit);
    }
    // Ten requests to the silent meter in one go: a client has four places
    // in its link's queue (the link may have taken the first already); the
    // rest are busy at once, before the meter's first timeout.
    Bytes burst;
    for (int i = 0; i < 10; ++i)
        for (uint8_t byte : client.Frame(Silent, ReadPdu(3, 768, 2)))
            burst.push_back(byte);
    client.Send(burst);
    std::map<int, int> code; // by the request's place in the burst
    for (int i = 0; i < 10; ++i) {
        const auto reply = client.Receive();
        ASSERT_TRUE(reply && reply->Pdu.size() == 2 && reply->Pdu[0] == 0x83) << run_.Stderr().toStdString();
        code[reply->Transaction - (burst[0] << 8 | burst[1])] = reply->Pdu[1];
        EXPECT_TRUE(i >= 5 || reply->Pdu[1] == 0x06) << "reply " << i << " came before the busy ones";
    }
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(code[i], i < 4 ? 0x0B : i == 4 && code[4] == 0x0B ? 0x0B : 0x06) << "request " << i;
}

TEST_F(GatewayTest, FourClientsFlatOutGetTheirOwnMetersAnswersWhileRecordsKeepTheirInterval)
{
    Start();
    // Each a range or count of its own, so that a reply handed to another
    // client shows; the meters tell apart.
    TReader readers[] = {{1, 3, 768, 10}, {2, 3, 768, 12}, {1, 4, 0, 9}, {Behind, 3, 776, 14}};
    for (TReader& reader : readers)
        reader.Expected = Answer(reader);
    ASSERT_NE(Answer({1, 3, 768, 10}), Answer({2, 3, 768, 10}));
    ASSERT_TRUE(WaitFor([&] { return Lines(Csv()).size() >= 2; })) << run_.Stderr().toStdString();
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (TReader& reader : readers)
        clients.emplace_back([&] { ReadUntil(reader, stop); });
    // The log's lines and the time of its last write each time it grew: the
    // logger's own time of each record, unblurred by the test's polling.
    std::vector<std::pair<qsizetype, qint64>> records;
    QElapsedTimer clock;
    clock.start();
    for (qsizetype seen = Lines(Csv()).size(); clock.elapsed() < 30000; QThread::msleep(10))
        if (const qsizetype now = Lines(Csv()).size(); now > seen)
            seen = now, records.emplace_back(now, QFileInfo(Csv()).lastModified().toMSecsSinceEpoch());
    stop = true;
    for (std::thread& client : clients)
        client.join();
    ASSERT_GE(records.back().first - records.front().first, 13) << run_.Stderr().toStdString();
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_NEAR(records[i].second - records[i - 1].second, 2000 * (records[i].first - records[i - 1].first), 200)
            << "record " << records[i].first;
    for (const TReader& reader : readers) {
        SCOPED_TRACE("unit " + std::to_string(reader.Unit) + ", " + std::to_string(reader.Count) + " registers");
        EXPECT_EQ(reader.Wrong.load(), 0) << reader.FirstWrong << " for " << Hex(reader.Expected);
        EXPECT_GT(reader.Right.load(), 100);
        EXPECT_LE(reader.Silences.load(), reader.Right.load() / 100);
    }
}

TEST_F(GatewayTest, AClientSendingJunkOrHalfAFrameIsDroppedWhileAnotherReadsOn)
{
    Start();
    TReader reader{2, 3, 768, 12};
    reader.Expected = Answer(reader);
    std::atomic<bool> stop{false};
    std::thread good([&] { ReadUntil(reader, stop); });
    const std::string http = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const struct { const char* Name; Bytes Sent; } rows[] = {
        {"protocol id 1", {0, 1, 0, 1, 0, 6, 1, 3, 3, 0, 0, 2}}, {"length 1", {0, 1, 0, 0, 0, 1, 1}},
        {"length 300", {0, 1, 0, 0, 1, 44, 1, 3, 3, 0, 0, 2}},   {"junk", Bytes(http.begin(), http.end())},
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
    EXPECT_EQ(reader.Wrong.load(), 0) << reader.FirstWrong;
}

} // namespace
