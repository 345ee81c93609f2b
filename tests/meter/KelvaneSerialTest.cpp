// The meter link on a serial port: the link opens the slave end of a
// pseudo-terminal with its real worker thread, and libmodbus's RTU server,
// an implementation independent of ours, answers on the master end. Every
// wait runs the event loop; every deadline is generous.

#include "KelvaneCOM.h"
#include "LibmodbusRtuServer.h"
#include "OpenCounter.h"
#include "PtyLine.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::TLibmodbusRtuServer;
using testsupport::TOpenCounter;

namespace {

const bool NoAbort = false;

// The application object, which shows what its event handlers raise the
// way the program's does, and keeps each message so a test can count them.
class TReportingApp : public QCoreApplication {
public:
    TReportingApp(int& argc, char** argv) : QCoreApplication(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            Reports.push_back(e.what());
        }
        return false;
    }
    std::vector<std::string> Reports;
};

std::unique_ptr<TReportingApp> MakeApp()
{
    static int argc = 1;
    static char name[] = "meter_tests";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance())
        return nullptr;
    return std::make_unique<TReportingApp>(argc, argv);
}

class KelvaneSerial : public ::testing::Test {
protected:
    std::unique_ptr<TReportingApp> app = MakeApp();
    TPtyLine line;
    TOpenCounter opens{line.SlavePath()};
    std::unique_ptr<TLibmodbusRtuServer> server = std::make_unique<TLibmodbusRtuServer>(line.Master());
    std::shared_ptr<TKelvane> link = std::make_shared<TKelvane>(QString::fromStdString(line.SlavePath()), false);

    const std::vector<std::string>& Reports() const { return app->Reports; }

    // The time an operation took, and its result.
    template <typename Operation>
    std::pair<int, Clock::duration> Timed(Operation op)
    {
        const auto t0 = Clock::now();
        const int result = op();
        return {result, Clock::now() - t0};
    }
};

} // namespace

TEST_F(KelvaneSerial, OpensThePortAndReadsHoldingAndInputRegisters)
{
    ASSERT_TRUE(app) << "another application object is alive";
    ASSERT_TRUE(link->Active()) << link->LastOpenError().toStdString();
    EXPECT_TRUE(link->LastOpenError().isEmpty());
    EXPECT_EQ(link->BaudRate(), TBaudRate::br9600);

    const TExchange read = link->Read(1, 3, 0, 9, NoAbort);
    ASSERT_EQ(read.Result, 0);
    EXPECT_EQ(TKelvane::Hexa(read.Request()), "(01)(03)(00)(00)(00)(0A)(C5)(CD)");
    EXPECT_EQ(TKelvane::Hexa(read.Reply().left(3)), "(01)(03)(14)");
    EXPECT_EQ(read.Reply().size(), 3 + 20 + 2);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(link->GetRegister(i), 0x1000 + i) << i;
    EXPECT_TRUE(link->LatestReadOk(9));

    ASSERT_EQ(link->ReadRegisters(1, 4, 40001, 40010, NoAbort), 0);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(link->GetRegisterFunc4(i), 0x8000 ^ (i * 7)) << i;
        EXPECT_EQ(link->GetRegister(i), 0x1000 + i) << i; // the holding value stays
    }
    EXPECT_EQ(link->LastResult(), 0);
}

TEST_F(KelvaneSerial, WritesReachTheMeterAndReadBack)
{
    const TExchange write = link->Write(1, 40006, 0xBEEF, NoAbort);
    ASSERT_EQ(write.Result, 0);
    EXPECT_EQ(TKelvane::Hexa(write.Request().left(6)), "(01)(06)(00)(05)(BE)(EF)");
    const int32_t values[] = {0x11, 0x10022, -1};
    ASSERT_EQ(link->WriteMultipleRegisters(1, 10, values, NoAbort), 0);
    EXPECT_EQ(server->HoldingRegister(5), 0xBEEF);
    EXPECT_EQ(server->HoldingRegister(12), 0xFFFF);
    EXPECT_EQ(link->GetRegister(5), 0); // a write never changes the image

    ASSERT_EQ(link->ReadRegisters(1, 3, 5, 12, NoAbort), 0);
    EXPECT_EQ(link->GetRegister(5), 0xBEEF);
    EXPECT_EQ(link->GetRegister(10), 0x11);
    EXPECT_EQ(link->GetRegister(11), 0x22);
    EXPECT_EQ(link->GetRegister(12), 0xFFFF);
}

TEST_F(KelvaneSerial, FailuresAreResultCodesWithinTheirDeadline)
{
    ASSERT_EQ(link->ReadRegisters(1, 3, 990, 999, NoAbort), 0);
    const int32_t before = link->GetRegister(995);

    // Beyond the server's 1000 registers: exception 2; the image keeps its values.
    EXPECT_EQ(link->ReadRegisters(1, 3, 995, 1004, NoAbort), 2);
    EXPECT_EQ(TKelvane::ErrorCode(link->LastResult()), "Exception: Illegal Data Address");
    EXPECT_EQ(link->GetRegister(995), before);
    EXPECT_FALSE(link->LatestReadOk(995));

    // Nobody answers address 7: the receive timeout (500 ms, one attempt).
    const auto [result, took] = Timed([&] { return link->ReadRegisters(7, 3, 0, 9, NoAbort); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(TKelvane::ErrorCode(result), "Timeout");
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 3s);
}

TEST_F(KelvaneSerial, IdentificationTextAndNoneWithoutReply)
{
    const QByteArray text = link->Modbus17(1, NoAbort);
    const QByteArray version = "LMB" LIBMODBUS_VERSION_STRING;
    ASSERT_EQ(text.size(), 2 + version.size());
    EXPECT_EQ(static_cast<uint8_t>(text[1]), 0xFF); // run indicator on
    EXPECT_TRUE(text.endsWith(version));
    EXPECT_EQ(link->IdentText(), text);
    EXPECT_EQ(link->LastResult(), 0);

    EXPECT_TRUE(link->Modbus17(7, NoAbort).isEmpty());
    EXPECT_TRUE(link->IdentText().isEmpty());
    EXPECT_EQ(link->LastResult(), -1);
}

TEST_F(KelvaneSerial, ANewServerAddressReopensThePortTheSameOneDoesNot)
{
    ASSERT_EQ(link->ReadRegisters(1, 3, 0, 0, NoAbort), 0);
    opens.Take();
    ASSERT_EQ(link->ReadRegisters(1, 3, 0, 0, NoAbort), 0);
    EXPECT_EQ(opens.Take(), 0);
    EXPECT_EQ(link->ReadRegisters(2, 3, 0, 0, NoAbort), -1);
    EXPECT_EQ(opens.Take(), 1);
    EXPECT_EQ(link->ReadRegisters(1, 3, 0, 0, NoAbort), 0);
    EXPECT_EQ(opens.Take(), 1);
    EXPECT_TRUE(link->Active());

    // A new baud rate or port name reopens the port; the same one does not.
    link->SetBaudRate(TBaudRate::br9600);
    link->SetComPort(QString::fromStdString(line.SlavePath()));
    EXPECT_EQ(opens.Take(), 0);
    link->SetBaudRate(TBaudRate::br19200);
    EXPECT_EQ(link->BaudRate(), TBaudRate::br19200);
    EXPECT_EQ(opens.Take(), 1);
    link->SetComPort("/dev/kelvane-no-such-port");
    EXPECT_FALSE(link->Active());
    EXPECT_EQ(link->ComPort(), "/dev/kelvane-no-such-port");
    link->SetComPort(QString::fromStdString(line.SlavePath()));
    EXPECT_FALSE(link->Active()); // it was closed before
    link->SetActive(true);
    EXPECT_TRUE(link->Active());
    EXPECT_EQ(link->ReadRegisters(1, 3, 0, 0, NoAbort), 0);
}

TEST_F(KelvaneSerial, ABroadcastEndsOnceWritten)
{
    TExchange broadcast;
    const auto [result, took] = Timed([&] {
        broadcast = link->Write(0, 7, 0x0707, NoAbort);
        return broadcast.Result;
    });
    EXPECT_EQ(result, 0);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(TKelvane::Hexa(broadcast.Request().left(2)), "(00)(06)");
    // libmodbus carries the broadcast out without answering it.
    const auto deadline = Clock::now() + 5s;
    while (server->HoldingRegister(7) != 0x0707 && Clock::now() < deadline)
        TKelvane::Delay(10);
    EXPECT_EQ(server->HoldingRegister(7), 0x0707);
}

TEST_F(KelvaneSerial, AbortEndsTheWaitAtOnce)
{
    link->SetRXTimeout(2000);
    EXPECT_EQ(link->RXTimeout(), 2000);
    bool abort = false;
    QTimer::singleShot(100, [&] { abort = true; });
    const auto [result, took] = Timed([&] { return link->ReadRegisters(7, 3, 0, 9, abort); });
    EXPECT_EQ(result, TKelvane::ResultPending);
    EXPECT_LT(took, 1500ms);
    EXPECT_FALSE(link->Exchanging());
}

// Operations started from inside a wait (as a timer of the program does)
// complete on their own, and the waiting one gets its own result.
TEST_F(KelvaneSerial, NestedOperationsCompleteOnTheirOwn)
{
    int nestedRead = 1;
    bool exchangingInside = false;
    std::shared_ptr<TKelvane> holder = link;
    QTimer::singleShot(0, [&] {
        exchangingInside = holder->Exchanging();
        nestedRead = holder->ReadRegisters(1, 4, 20, 29, NoAbort);
        holder.reset(); // the program replaces its link meanwhile
    });
    ASSERT_EQ(link->ReadRegisters(1, 3, 0, 9, NoAbort), 0);
    EXPECT_TRUE(exchangingInside);
    EXPECT_EQ(nestedRead, 0);
    EXPECT_FALSE(holder);
    EXPECT_EQ(link->GetRegister(9), 0x1000 + 9);
    EXPECT_EQ(link->GetRegisterFunc4(29), 0x8000 ^ (29 * 7));
    EXPECT_EQ(link->LastResult(), 0);

    // A nested operation to another address closes the port under the
    // waiting one, which is cancelled; the nested one gets its own timeout.
    int nestedOther = 1;
    QTimer::singleShot(0, [&] { nestedOther = link->ReadRegisters(7, 3, 0, 9, NoAbort); });
    const auto [outer, took] = Timed([&] { return link->ReadRegisters(1, 3, 0, 9, NoAbort); });
    EXPECT_EQ(outer, -9);
    EXPECT_EQ(nestedOther, -1);
    EXPECT_LT(took, 3s);
    EXPECT_FALSE(link->Exchanging());
    const TExchange after = link->Read(1, 3, 0, 9, NoAbort);
    EXPECT_EQ(after.Result, 0) << TKelvane::Hexa(after.Request()).toStdString() << " got "
                               << TKelvane::Hexa(after.Reply()).toStdString();
}

// The program's "Port" menu inside a wait: it closes the waiting link's
// port, lets go of the link and opens a new one on the same port. The
// waiting operation is cancelled at once, its link lives until it returns,
// and the new link has the port to itself.
TEST_F(KelvaneSerial, ALinkReplacedOnTheSamePortInsideAWait)
{
    // Closing the port ends the wait of an attempt already on the line
    // without sending more; the read ends as cancelled (-9), not as a
    // timeout, and the same port opens again for the replacement.
    link->SetRXTimeout(1000);
    std::weak_ptr<TKelvane> old = link;
    std::shared_ptr<TKelvane> replacement;
    // The replacement comes once the request is on the line: the meter has
    // all of it.
    std::size_t heard = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        heard += server->TakeTraffic().first.size();
        if (heard < 8 || replacement)
            return;
        watch.stop();
        std::shared_ptr<TKelvane> current = std::move(link);
        current->SetActive(false);
        current.reset();
        replacement = std::make_shared<TKelvane>(QString::fromStdString(line.SlavePath()), false);
    });
    watch.start(2);
    const auto [result, took] = Timed([&, waiting = link] { return waiting->ReadRegisters(7, 3, 0, 9, NoAbort); });
    EXPECT_EQ(result, -9);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(old.expired());
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(replacement->Active()) << replacement->LastOpenError().toStdString();
    // A new link's first reply may take longer than the default wait on a
    // busy machine under the sanitizers; what counts here is that it comes.
    replacement->SetRXTimeout(3000);
    EXPECT_EQ(replacement->ReadRegisters(1, 3, 0, 9, NoAbort), 0);
    EXPECT_EQ(replacement->GetRegister(9), 0x1000 + 9);
}

TEST_F(KelvaneSerial, ALostPortIsReportedOnceAndEndsEveryOperation)
{
    server.reset();
    link->SetRXTimeout(10000);
    QStringList states;
    link->SetOnLinkState([&](const QString& text) { states << text; });
    QTimer::singleShot(200, [&] { line.CloseMaster(); });
    const auto [result, took] = Timed([&] { return link->ReadRegisters(1, 3, 0, 9, NoAbort); });
    EXPECT_EQ(result, -8);
    EXPECT_LT(took, 5s);
    EXPECT_FALSE(link->Active());
    EXPECT_EQ(TKelvane::ErrorCode(result).left(9), "Port Lost");

    for (int i = 0; i < 3; ++i) {
        const auto [later, laterTook] = Timed([&] { return link->WriteRegister(1, 5, 1, NoAbort); });
        EXPECT_EQ(later, -8);
        EXPECT_LT(laterTook, 1s);
    }
    EXPECT_TRUE(link->Modbus17(1, NoAbort).isEmpty());
    ASSERT_EQ(states.size(), 1);
    EXPECT_TRUE(states[0].contains("was lost")) << states[0].toStdString();
    EXPECT_TRUE(Reports().empty());
}

TEST(KelvaneSerialOpen, APortThatDoesNotOpenKeepsItsReason)
{
    auto app = MakeApp();
    TKelvane link("/dev/kelvane-no-such-port", false);
    EXPECT_FALSE(link.Active());
    EXPECT_NE(link.LastOpenError().indexOf("kelvane-no-such-port"), -1) << link.LastOpenError().toStdString();
    EXPECT_THROW(link.ReadRegisters(1, 3, 0, 9, NoAbort), EModbusError);
}
