// The meter link's exchange engine through the real path: RTU replies that
// end at their expected length on a pseudo-terminal, a kept Modbus/TCP
// connection that the server breaks, and RTU over TCP against our simulator
// and pymodbus.

#include "CoreApp.h"
#include "KelvaneCOM.h"
#include "LibmodbusRtuServer.h"
#include "PtyLine.h"
#include "ScriptedServer.h"
#include "SerialFrame.h"
#include "SimHarness.h"

#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

using testsupport::Bytes;
using testsupport::ScriptedServer;

namespace {

const bool NoAbort = false;

// An RTU frame: its bytes and their CRC, low byte first.
Bytes WithCrc(Bytes frame)
{
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}
// Unit 1's reply to a read of registers 0 and 1, which hold 10 and 11.
const Bytes TwoRegisters = WithCrc({1, 3, 4, 0, 10, 0, 11});
const Bytes IllegalAddress = WithCrc({1, 0x83, 2});

// One piece of a meter's answer: bytes, then a pause before the next piece.
struct Piece {
    Bytes Data;
    int PauseMs = 0;
};

// A meter on the far end of a pseudo-terminal that answers each request of
// eight bytes (a read) with the pieces of its script.
class ScriptedRtuMeter {
public:
    explicit ScriptedRtuMeter(std::vector<Piece> script) : script_(std::move(script))
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedRtuMeter()
    {
        stop_ = true;
        thread_.join();
    }
    const std::string& Path() const { return line_.SlavePath(); }

private:
    void Run()
    {
        Bytes request;
        while (!stop_) {
            pollfd p{line_.Master(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            uint8_t chunk[64];
            const ssize_t n = ::read(line_.Master(), chunk, sizeof chunk);
            request.insert(request.end(), chunk, chunk + std::max<ssize_t>(n, 0));
            if (request.size() < 8)
                continue;
            request.clear();
            for (const Piece& piece : script_) {
                [[maybe_unused]] const ssize_t w = ::write(line_.Master(), piece.Data.data(), piece.Data.size());
                std::this_thread::sleep_for(std::chrono::milliseconds(piece.PauseMs));
            }
        }
    }

    TPtyLine line_;
    std::vector<Piece> script_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::unique_ptr<TKelvane> SerialLink(const std::string& path, bool endAtLength)
{
    EnsureCoreApp();
    auto link = std::make_unique<TKelvane>(QString::fromStdString(path), TLinkKind::Serial);
    link->SetBaudRate(TBaudRate::br19200); // a silence of 50 characters: 27 ms
    link->SetEndAtLength(endAtLength);
    return link;
}

struct EndingRow {
    const char* name;
    std::vector<Piece> script;
    int atLength; // the result with replies ended at their length
    int atSilence; // the result with replies ended by the silence after them
};
void PrintTo(const EndingRow& row, std::ostream* os) { *os << row.name; }

const EndingRow EndingRows[] = {
    {"reply in two pieces", {{Bytes(TwoRegisters.begin(), TwoRegisters.begin() + 4), 8},
                              {Bytes(TwoRegisters.begin() + 4, TwoRegisters.end())}}, 0, 0},
    // What follows a whole reply within the silence is no part of it.
    {"garbage after the reply", {{TwoRegisters, 4}, {{0xFF, 0x00, 0xFF}}}, 0, MeterResult::InvalidFrame},
    {"exception reply", {{IllegalAddress}}, 2, 2},
    // A reply whose length is never reached still ends, by the silence.
    {"reply one byte short", {{Bytes(TwoRegisters.begin(), TwoRegisters.end() - 1)}}, MeterResult::InvalidFrame,
     MeterResult::InvalidFrame},
};

class ReplyEnding : public ::testing::TestWithParam<EndingRow> {};

} // namespace

TEST_P(ReplyEnding, ByLengthOrBySilence)
{
    const EndingRow& row = GetParam();
    for (const bool atLength : {true, false}) {
        SCOPED_TRACE(atLength ? "at length" : "by silence");
        ScriptedRtuMeter meter(row.script);
        auto link = SerialLink(meter.Path(), atLength);
        const TExchange read = link->Read(1, 3, 0, 1, NoAbort);
        ASSERT_EQ(read.Result, atLength ? row.atLength : row.atSilence);
        if (read.Result == 0) {
            EXPECT_EQ(link->GetRegister(0), 10);
            EXPECT_EQ(link->GetRegister(1), 11);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReplyEnding, ::testing::ValuesIn(EndingRows),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// Replies of independent servers, ended at their length: a whole bank, and
// the exception for registers the server does not have.
TEST(ReplyEndingPeers, SimulatorAndLibmodbus)
{
    simharness::TInProcessRtuSim sim;
    TPtyLine line(true);
    testsupport::TLibmodbusRtuServer libmodbus(line.Master());
    struct Peer {
        const char* name;
        std::string path;
        int first, last; // a readable bank
        uint16_t firstValue;
        int refused; // a register the server refuses with exception 2
    };
    const Peer peers[] = {
        {"simulator", sim.Path(), 133, 133 + 124, 12345, 65000},
        {"libmodbus", line.SlavePath(), 0, 124, 0x1000, 1000},
    };
    for (const Peer& peer : peers) {
        SCOPED_TRACE(peer.name);
        auto link = SerialLink(peer.path, true);
        ASSERT_EQ(link->ReadRegisters(1, 3, peer.first, peer.last, NoAbort), 0);
        EXPECT_EQ(link->GetRegister(peer.first), peer.firstValue);
        EXPECT_EQ(link->ReadRegisters(1, 3, peer.refused, peer.refused, NoAbort), 2);
    }
}

// One connection carries every request until the server breaks it; the
// next request connects again, and each change of the connection is told
// once.
TEST(KeptTcpConnection, ServerResetsBetweenPassesAndMidReply)
{
    const Bytes sound{0, 0, 0, 0, 0, 7, 1, 3, 4, 0, 10, 0, 11};
    const std::vector<ScriptedServer::Reply> script{
        {sound}, {sound},
        {{}, false, false, true},                        // reset before replying
        {sound},
        {Bytes(sound.begin(), sound.begin() + 9), false, false, true}, // reset mid-reply
        {sound},
    };
    std::atomic<std::size_t> served{0};
    ScriptedServer server([&](const Bytes&) { return script.at(served++); }, true);
    EnsureCoreApp();
    auto link = std::make_unique<TKelvane>("127.0.0.1", TLinkKind::Tcp);
    link->SetTcpPort(server.Port());
    link->SetKeepConnection(true);
    QStringList states;
    link->SetOnLinkState([&](const QString& text) { states << text; });

    const int expected[] = {0, 0, MeterResult::SocketReadError, 0, MeterResult::SocketReadError, 0};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(link->ReadRegisters(1, 3, 0, 1, NoAbort), expected[i]);
    }
    EXPECT_EQ(server.Connections(), 3);
    EXPECT_EQ(link->GetRegister(1), 11);
    QCoreApplication::processEvents();
    ASSERT_EQ(states.size(), 5) << states.join(" | ").toStdString();
    for (int i : {0, 2, 4})
        EXPECT_TRUE(states[i].startsWith("Connected to 127.0.0.1:")) << states[i].toStdString();
    for (int i : {1, 3})
        EXPECT_TRUE(states[i].contains("closed or reset")) << states[i].toStdString();
}

// A connection that cannot be made is told once, however many requests
// find it down.
TEST(KeptTcpConnection, RefusedConnectsAreToldOnce)
{
    EnsureCoreApp();
    auto link = std::make_unique<TKelvane>("127.0.0.1", TLinkKind::Tcp);
    link->SetTcpPort(testsupport::UnusedPort());
    link->SetKeepConnection(true);
    QStringList states;
    link->SetOnLinkState([&](const QString& text) { states << text; });
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(link->ReadRegisters(1, 3, 0, 1, NoAbort), MeterResult::SocketNotConnected);
    QCoreApplication::processEvents();
    ASSERT_EQ(states.size(), 1);
    EXPECT_TRUE(states[0].startsWith("Cannot connect to 127.0.0.1:")) << states[0].toStdString();
}

// RTU over TCP, as a serial device server carries it, against our
// simulator and against pymodbus's TCP server with its RTU framer, with
// the utility's settings and with the fast ones.
TEST(RtuOverTcp, SimulatorAndPymodbus)
{
    EnsureCoreApp();
    simharness::rSimSetup setup;
    setup.Framing = TFraming::Rtu;
    simharness::TInProcessSim sim(setup);

    const uint16_t pymodbusPort = testsupport::UnusedPort();
    QProcess pymodbus;
    pymodbus.start("/usr/bin/python3", {QString(KELVANE_TEST_DIR) + "/pymodbus_rtu_over_tcp_server.py",
                                        QString::number(pymodbusPort)});
    ASSERT_TRUE(pymodbus.waitForReadyRead(30000)) << pymodbus.readAllStandardError().toStdString();

    struct Peer {
        const char* name;
        uint16_t port;
        int reg;
        uint16_t value;
    };
    const Peer peers[] = {{"simulator", sim.Port(), 133, 12345}, {"pymodbus", pymodbusPort, 5, 105}};
    for (const Peer& peer : peers)
        for (const bool fast : {false, true}) {
            SCOPED_TRACE(std::string(peer.name) + (fast ? ", fast" : ", as the utility"));
            TKelvane link("127.0.0.1", TLinkKind::RtuOverTcp);
            link.SetTcpPort(peer.port);
            link.SetBaudRate(TBaudRate::br19200);
            link.SetEndAtLength(fast);
            link.SetKeepConnection(fast);
            // The server may still be binding its port: the link is tried
            // until it answers, within a generous deadline.
            int result = -1;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while ((result = link.ReadRegisters(1, 3, peer.reg, peer.reg + 9, NoAbort)) != 0
                   && std::chrono::steady_clock::now() < until)
                TKelvane::Delay(100);
            ASSERT_EQ(result, 0) << TKelvane::ErrorCode(result).toStdString();
            EXPECT_EQ(link.GetRegister(peer.reg), peer.value);
        }
    pymodbus.kill();
    pymodbus.waitForFinished();
}

// Unit 0: a broadcast, refused unsent, except over Modbus/TCP, where it is read.
TEST(UnitZero, ReadOverModbusTcpOnly)
{
    EnsureCoreApp();
    testsupport::LibmodbusServer libmodbus;
    libmodbus.Registers()[133] = 12345;
    simharness::TInProcessSim meter, deviceServer({.Framing = TFraming::Rtu});
    simharness::TInProcessRtuSim line;
    const std::tuple<TLinkKind, std::string, uint16_t, int32_t> rows[] = {
        {TLinkKind::Tcp, "127.0.0.1", libmodbus.Port(), 0},
        {TLinkKind::Tcp, "127.0.0.1", meter.Port(), 0},
        {TLinkKind::RtuOverTcp, "127.0.0.1", deviceServer.Port(), MeterResult::ReadFromBroadcast},
        {TLinkKind::Serial, line.Path(), 0, MeterResult::ReadFromBroadcast}};
    for (const auto& [kind, target, port, result] : rows) {
        TKelvane link(QString::fromStdString(target), kind);
        link.SetTcpPort(port);
        const TExchange read = link.Read(0, 3, 133, 133, NoAbort);
        EXPECT_EQ(read.Result, result);
        EXPECT_EQ(link.GetRegister(133), result == 0 ? 12345 : 0);
    }
}
