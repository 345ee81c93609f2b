// kelvane-log, the real executable, as the Modbus/TCP gateway of its site: a pty bus of two simulated meters, a meter on a
// pty where nothing answers and one behind a simulated Modbus/TCP gateway, served to mbpoll and libmodbus clients
// (implementations independent of ours) and checked against the simulated meters' own registers, whose load stands still.

#include "FrozenMeters.h"
#include "LocalEngine.h"
#include "LoggerRun.h"
#include "PtyLine.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>

#include <modbus/modbus.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t Silent = 7; // a meter on a line where nothing answers
constexpr uint8_t Behind = 5; // the meter behind the Modbus/TCP gateway

// A libmodbus client of the gateway, which waits up to 10 s for a reply.
struct TClient {
    explicit TClient(uint16_t port) : Ctx(modbus_new_tcp("127.0.0.1", port))
    {
        Connected = modbus_set_response_timeout(Ctx, 10, 0) == 0 && modbus_connect(Ctx) == 0;
    }
    ~TClient() { modbus_close(Ctx), modbus_free(Ctx); }
    // The next reply as it came, MBAP header first; empty when none came, with the reason in errno (ECONNRESET: closed).
    Bytes Reply()
    {
        Bytes reply(MODBUS_TCP_MAX_ADU_LENGTH);
        reply.resize(std::size_t(std::max(0, modbus_receive_confirmation(Ctx, reply.data()))));
        return reply;
    }
    modbus_t* Ctx;
    bool Connected = false;
};

// One client's read of holding (3) or input (4) registers, the meter's own values, and how its replies turned out.
struct TReader {
    uint8_t Unit, Function;
    int First, Count;
    std::vector<uint16_t> Expected{};
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
        run_.Start(QStringList{"--site", dir_.filePath("site.ini"), "--interval", "3", "--serve", QString::number(port_)} + switches);
        ASSERT_TRUE(WaitFor([&] { return TClient(port_).Connected; })) << run_.Stderr().toStdString();
    }
    QString Csv() const { return dir_.filePath("incomer.csv"); }
    std::vector<uint16_t> Registers(int unit, int first, int count)
    {
        std::vector<uint16_t> values;
        for (auto reg = uint16_t(first); reg < first + count; ++reg)
            values.push_back(unit == Behind ? gateway_.Register(Behind, reg) : bus_.Register(uint8_t(unit), reg));
        return values;
    }
    // Reads on a connection of its own as fast as the gateway answers, until stop. The meter's silence said as such
    // (0x0B) is no wrong value, but is counted: a loaded machine may starve the simulated line.
    void ReadUntil(TReader& reader, const std::atomic<bool>& stop)
    {
        TClient client(port_);
        modbus_set_slave(client.Ctx, reader.Unit);
        const auto read = reader.Function == 3 ? modbus_read_registers : modbus_read_input_registers;
        for (std::vector<uint16_t> values(std::size_t(reader.Count)); !stop;) {
            const int got = read(client.Ctx, reader.First, reader.Count, values.data());
            const bool right = got == reader.Count && values == reader.Expected, silence = got < 0 && errno == EMBXGTAR;
            if (!right && !silence && reader.Wrong++ == 0)
                reader.FirstWrong = got < 0 ? modbus_strerror(errno) : "other values";
            reader.Right += right, reader.Silences += silence;
        }
    }

    QTemporaryDir dir_;
    simharness::TInProcessRtuSim bus_{[] { auto setup = Frozen({1, 2}); setup.Baud = 115200; return setup; }()};
    simharness::TInProcessSim gateway_{Frozen({Behind})};
    TPtyLine silentLine_; // a line of its own, so that its timeouts delay no bus meter
    const uint16_t port_ = localengine::FreeLoopbackPort();
    TLoggerRun run_{dir_};
};

// mbpoll's exit code and output, and the values of the registers it printed ("[768]: 17809"), in order.
std::tuple<int, QString, std::vector<uint16_t>> Mbpoll(uint16_t port, int unit, const QString& table, int first,
                                                    const QStringList& tail)
{
    QProcess mbpoll;
    mbpoll.setProcessChannelMode(QProcess::MergedChannels);
    mbpoll.start("/usr/bin/mbpoll", QStringList{"-1", "-0", "-o", "5", "-p", QString::number(port), "-a", QString::number(unit),
                                                "-t", table, "-r", QString::number(first)} + tail);
    const bool ended = mbpoll.waitForFinished(20000) && mbpoll.exitStatus() == QProcess::NormalExit;
    const QString output = QString::fromUtf8(mbpoll.readAll());
    std::vector<uint16_t> printed;
    for (const auto& match : QRegularExpression(R"(^\[\d+\]:\s+(\d+))", QRegularExpression::MultilineOption).globalMatch(output))
        printed.push_back(uint16_t(match.captured(1).toInt()));
    return {ended ? mbpoll.exitCode() : -1, output, printed};
}

class GatewayWritesTest : public GatewayTest, public ::testing::WithParamInterface<bool> {};

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
        EXPECT_EQ(code, 0) << output.toStdString();
        EXPECT_EQ(printed, Registers(read.Unit, read.First, read.Count)) << output.toStdString();
    }
    // Scratchpad registers: one of a bus meter with function 6, two of the
    // gated meter with function 16.
    const struct { int Unit, First; QStringList Values; const char* Said; } made[] = {
        {2, 150, {"4321"}, "register 150 = 4321"}, {Behind, 151, {"7", "8"}, "registers 151-152 = 7, 8"}};
    for (const auto& write : made) {
        SCOPED_TRACE(write.Said);
        std::vector<uint16_t> after = Registers(write.Unit, write.First, int(write.Values.size()));
        for (int i = 0; writes && i < write.Values.size(); ++i)
            after[std::size_t(i)] = uint16_t(write.Values[i].toInt());
        const auto [code, output, none] = Mbpoll(port_, write.Unit, "4", write.First, QStringList{"127.0.0.1"} + write.Values);
        EXPECT_EQ(code == 0, writes) << output.toStdString();
        EXPECT_EQ(output.contains("Illegal function"), !writes) << output.toStdString();
        EXPECT_EQ(Registers(write.Unit, write.First, int(write.Values.size())), after);
        EXPECT_EQ(std::get<2>(Mbpoll(port_, write.Unit, "4", write.First, {"-c", QString::number(write.Values.size()), "127.0.0.1"})), after);
        const QRegularExpression said(
            QString(R"(gateway: 127\.0\.0\.1:\d+ wrote unit %1, %2: done\n)").arg(write.Unit).arg(write.Said));
        EXPECT_EQ(said.match(run_.Stderr()).hasMatch(), writes) << run_.Stderr().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(ServeWrites, GatewayWritesTest, ::testing::Bool());

TEST_F(GatewayTest, EachFailureGetsItsExceptionAndAFullQueueBusyAtOnce)
{
    Start();
    // A request as sent: unit, function, first register, count.
    const struct { Bytes Request; uint8_t Code; } rows[] = {
        {{1, 3, 3, 232, 0, 100}, 0x02},    // the meter's own: beyond its registers
        {{Silent, 3, 3, 0, 0, 2}, 0x0B},   // no answer from the meter
        {{99, 3, 3, 0, 0, 2}, 0x0A},       // no meter has the unit
        {{1, 2, 0, 0, 0, 8}, 0x01},        // a function the gateway does not pass on
    };
    TClient client(port_);
    for (const auto& row : rows) {
        modbus_send_raw_request(client.Ctx, row.Request.data(), int(row.Request.size()));
        const Bytes reply = client.Reply();
        EXPECT_EQ(Bytes(reply.begin() + std::min<std::ptrdiff_t>(6, reply.size()), reply.end()),
                  (Bytes{row.Request[0], uint8_t(row.Request[1] | 0x80), row.Code})) << modbus_strerror(errno);
    }
    // Ten requests to the silent meter in one go: a client has four places
    // in its link's queue (and the link may have taken the first already);
    // the rest are busy at once, before the meter's first timeout.
    for (int i = 0; i < 10; ++i)
        modbus_send_raw_request(client.Ctx, rows[1].Request.data(), int(rows[1].Request.size()));
    std::string said; // B: busy, S: the meter's silence
    for (int i = 0; i < 10; ++i) {
        const Bytes reply = client.Reply();
        ASSERT_EQ(reply.size(), 9u) << modbus_strerror(errno) << run_.Stderr().toStdString();
        said += reply[8] == 0x06 ? 'B' : reply[8] == 0x0B ? 'S' : '?';
    }
    EXPECT_TRUE(said == "BBBBBSSSSS" || said == "BBBBBBSSSS") << said;
}

TEST_F(GatewayTest, FourClientsFlatOutGetTheirOwnMetersAnswersWhileRecordsKeepTheirInterval)
{
    Start();
    // Each a range or count of its own, so that a reply handed to another
    // client shows; the meters tell apart.
    TReader readers[] = {{1, 3, 768, 10}, {2, 3, 768, 12}, {1, 4, 0, 9}, {Behind, 3, 776, 14}};
    for (TReader& reader : readers)
        reader.Expected = Registers(reader.Unit, reader.First, reader.Count);
    ASSERT_NE(Registers(1, 768, 10), Registers(2, 768, 10));
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
    ASSERT_GE(records.size() < 2 ? 0 : records.back().first - records.front().first, 8) << run_.Stderr().toStdString();
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_NEAR(records[i].second - records[i - 1].second, 3000 * (records[i].first - records[i - 1].first), 300)
            << "record " << records[i].first;
    for (const TReader& reader : readers) {
        SCOPED_TRACE("unit " + std::to_string(reader.Unit) + ", " + std::to_string(reader.Count) + " registers");
        EXPECT_EQ(reader.Wrong.load(), 0) << reader.FirstWrong;
        EXPECT_GT(reader.Right.load(), 100);
        EXPECT_LE(reader.Silences.load(), reader.Right.load() / 100);
    }
}

TEST_F(GatewayTest, AClientSendingJunkOrHalfAFrameIsDroppedWhileAnotherReadsOn)
{
    Start();
    TReader reader{2, 3, 768, 12};
    reader.Expected = Registers(reader.Unit, reader.First, reader.Count);
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
        TClient bad(port_);
        ::send(modbus_get_socket(bad.Ctx), row.Sent.data(), row.Sent.size(), MSG_NOSIGNAL);
        const int before = reader.Right;
        EXPECT_TRUE(WaitFor([&] { return reader.Right > before + 2; })) << "the other client reads on";
        EXPECT_TRUE(bad.Reply().empty() && errno == ECONNRESET) << modbus_strerror(errno);
    }
    // A client that asks on and on without taking its replies is dropped once they pile up.
    TClient greedy(port_);
    Bytes asks;
    for (int i = 0; i < 4096; ++i)
        asks.insert(asks.end(), {0, 1, 0, 0, 0, 6, 99, 3, 0, 0, 0, 1});
    ssize_t sent = 0;
    for (int round = 0; round < 5000 && sent >= 0; ++round) { // up to 245 MB, on libmodbus's non-blocking socket
        pollfd writable{modbus_get_socket(greedy.Ctx), POLLOUT, 0};
        ::poll(&writable, 1, 10000);
        sent = ::send(writable.fd, asks.data(), asks.size(), MSG_NOSIGNAL);
        sent = sent < 0 && errno == EAGAIN ? 0 : sent;
    }
    EXPECT_TRUE(sent < 0 && (errno == EPIPE || errno == ECONNRESET)) << std::strerror(errno);
    const int before = reader.Right;
    EXPECT_TRUE(WaitFor([&] { return reader.Right > before + 2; })) << "the other client reads on";
    stop = true;
    good.join();
    EXPECT_EQ(reader.Wrong.load(), 0) << reader.FirstWrong;
}

} // namespace
