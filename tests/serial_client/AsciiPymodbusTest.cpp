// The ASCII framing of our master against pymodbus's ASCII server, an
// implementation independent of ours, serving on the slave end of a
// pseudo-terminal while our connection hooks the master end.

#include "SerialClientTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QProcess>

using namespace serialtest;

namespace {

const QString Python = "/usr/bin/python3";

// True once the process holds the device open.
bool HoldsOpen(qint64 pid, const std::string& device)
{
    const QDir fds(QString("/proc/%1/fd").arg(pid));
    for (const QFileInfo& fd : fds.entryInfoList(QDir::Files | QDir::System))
        if (fd.symLinkTarget().toStdString() == device)
            return true;
    return false;
}

struct AsciiStep {
    const char* What;
    std::function<uint32_t(TModbusClient&)> Issue;
    std::string Event;
    TTransactionReply Reply;
    std::vector<int> Values; // empty: checked by Text
    std::string Text = {};   // a server identification must contain it
};

using R = TTransactionReply;

const std::vector<uint16_t> ThreeValues{1, 2, 0xFFFF};

// In order: the writes are read back.
const AsciiStep Steps[] = {
    {"read holding", [](TModbusClient& c) { return c.ReadHoldingRegisters(5, 4); }, "HoldingRegistersRead",
     R::trSuccess, {105, 106, 107, 108}},
    {"read input", [](TModbusClient& c) { return c.ReadInputRegisters(2, 3); }, "InputRegistersRead", R::trSuccess,
     {502, 503, 504}},
    {"write single", [](TModbusClient& c) { return c.WriteSingleRegister(10, 0xABCD); }, "SingleRegisterWrite",
     R::trSuccess, {10, 0xABCD}},
    {"write multiple", [](TModbusClient& c) { return c.WriteMultipleRegisters(20, ThreeValues); },
     "MultipleRegistersWrite", R::trSuccess, {1, 2, 0xFFFF}},
    {"read back single", [](TModbusClient& c) { return c.ReadHoldingRegisters(9, 3); }, "HoldingRegistersRead",
     R::trSuccess, {109, 0xABCD, 111}},
    {"read back multiple", [](TModbusClient& c) { return c.ReadHoldingRegisters(20, 3); }, "HoldingRegistersRead",
     R::trSuccess, {1, 2, 0xFFFF}},
    {"server identification", [](TModbusClient& c) { return c.ReportServerIdentification(); },
     "ServerIdentificationReport", R::trSuccess, {}, "Pymodbus"},
    {"read past the registers", [](TModbusClient& c) { return c.ReadHoldingRegisters(199, 2); },
     "HoldingRegistersRead", R::trExceptionReply, {0, 0}},
};

TEST(AsciiAgainstPymodbus, RequestsAndRepliesOfTheMeterLinkFunctions)
{
    App();
    TPtyLine line;
    QProcess server;
    server.start(Python, {QString(SERIAL_CLIENT_TEST_DIR "/pymodbus_ascii_server.py"),
                          QString::fromStdString(line.SlavePath())});
    ASSERT_TRUE(server.waitForStarted(10000)) << Python.toStdString() << ": " << server.errorString().toStdString();
    // pyserial discards pending input when it opens the port, so nothing is
    // sent before the server holds the device. A server that exits instead
    // (a missing module, a bad argument) ends the wait at once.
    const bool serving = WaitFor(
        [&] {
            return server.state() == QProcess::NotRunning || HoldsOpen(server.processId(), line.SlavePath());
        },
        30000);
    ASSERT_TRUE(serving && server.state() == QProcess::Running)
        << "the pymodbus server did not open " << line.SlavePath() << ":\n"
        << server.readAllStandardError().toStdString();

    TModbusConnection connection;
    connection.SetTransmissionMode(TTransmissionMode::tmASCII);
    connection.SetHookExistingPort(true);
    connection.OnGetHookedPortHandle = [&](TModbusConnection*, int& handle) { handle = line.Master(); };
    connection.SetReceiveTimeout(3000);
    // pyserial may still discard pending input just after it has opened the
    // device, which can swallow the first request.
    connection.SetMaxRetries(3);
    std::vector<Bytes> sent, received;
    connection.OnFrameSend = [&](TModbusConnection*, const TFrameData& d) { sent.push_back(d); };
    connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) { received.push_back(d); };
    connection.SetActive(true);
    TModbusClient client;
    client.SetConnection(&connection);
    TEventLog log(client);

    // The published example frame of the Modbus serial line for reading ten
    // registers from register 0 of server 1.
    const uint32_t first = client.ReadHoldingRegisters(0, 10);
    ASSERT_TRUE(log.WaitProcessed(first));
    const std::string wire(sent.at(0).begin(), sent.at(0).end());
    EXPECT_EQ(wire, ":01030000000AF2\r\n");
    EXPECT_EQ(log.Of(first).at(0).Info.Reply, R::trSuccess);
    EXPECT_EQ(log.Of(first).at(0).Values, (std::vector<int>{100, 101, 102, 103, 104, 105, 106, 107, 108, 109}));

    // A request whose first frame pyserial swallowed may still be answered
    // late, so a later reply that could be its own is set aside and the
    // request that heard it asks again: one frame more each time.
    std::size_t setAside = 0;
    for (const AsciiStep& step : Steps) {
        SCOPED_TRACE(step.What);
        const uint32_t id = step.Issue(client);
        ASSERT_TRUE(log.WaitProcessed(id));
        const TSeenEvent event = log.Of(id).at(0);
        setAside += std::count_if(event.Info.AttemptLog.begin(), event.Info.AttemptLog.end(),
                                  [](const auto& attempt) { return attempt.Outcome.starts_with("Reply set aside"); });
        EXPECT_EQ(event.Name, step.Event);
        EXPECT_EQ(event.Info.Reply, step.Reply);
        if (step.Text.empty()) {
            EXPECT_EQ(event.Values, step.Values);
        } else {
            ASSERT_FALSE(event.Values.empty());
            EXPECT_EQ(event.Values[0], int(event.Values.size()) - 1);
            const std::string text(event.Values.begin() + 1, event.Values.end());
            EXPECT_NE(text.find(step.Text), std::string::npos) << text;
        }
    }
    // Every transaction was answered, with a frame of the ASCII form.
    EXPECT_EQ(received.size(), 1 + std::size(Steps) + setAside);
    for (const Bytes& frame : received) {
        ASSERT_GE(frame.size(), 3u);
        EXPECT_EQ(frame.front(), ':');
        EXPECT_EQ(frame[frame.size() - 2], '\r');
        EXPECT_EQ(frame.back(), '\n');
    }
    server.kill();
    server.waitForFinished(10000);
}

} // namespace
