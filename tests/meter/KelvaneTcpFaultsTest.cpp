// The meter link over Modbus/TCP against meters that misbehave: every fault
// of an exchange is a result code with its text, the image keeps what it
// had, and the wait keeps the event loop turning and ends when told to.

#include "KelvaneCOM.h"
#include "CoreApp.h"
#include "ScriptedServer.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::Bytes;
using testsupport::ScriptedServer;

namespace {

const bool NoAbort = false;

std::unique_ptr<TKelvane> LinkTo(uint16_t port)
{
    EnsureCoreApp();
    auto link = std::make_unique<TKelvane>("127.0.0.1", true);
    link->SetTcpPort(port);
    return link;
}

// The reply of a meter whose registers 0 ... 9 hold 100 ... 109.
Bytes TenRegisters()
{
    Bytes reply{0, 0, 0, 0, 0, 23, 1, 3, 20};
    for (uint8_t i = 0; i < 10; ++i) {
        reply.push_back(0);
        reply.push_back(static_cast<uint8_t>(100 + i));
    }
    return reply;
}

// TenRegisters with one field of its header changed: the transaction
// identifier (which the server then leaves as it is), the protocol
// identifier, the length or the unit identifier.
ScriptedServer::Reply Transaction(uint16_t id)
{
    Bytes reply = TenRegisters();
    reply[0] = static_cast<uint8_t>(id >> 8);
    reply[1] = static_cast<uint8_t>(id & 0xFF);
    return {reply, false, false, false, true};
}

Bytes WithWord(std::size_t at, uint16_t word, Bytes reply = TenRegisters())
{
    reply[at] = static_cast<uint8_t>(word >> 8);
    reply[at + 1] = static_cast<uint8_t>(word & 0xFF);
    return reply;
}

Bytes FromUnit(uint8_t unit)
{
    Bytes reply = TenRegisters();
    reply[6] = unit;
    return reply;
}

Bytes WithTrailingByte()
{
    Bytes reply = WithWord(4, 24);
    reply.push_back(0);
    return reply;
}

struct FaultRow {
    const char* name;
    ScriptedServer::Reply reply; // to the second request; the first is answered soundly
    bool write;                  // the second request writes register 5 with 0xBEEF
    const char* text;
};

void PrintTo(const FaultRow& row, std::ostream* os)
{
    *os << row.name;
}

class KelvaneTcpFault : public ::testing::TestWithParam<FaultRow> {};

const FaultRow FaultRows[] = {
    // A sound frame that reads another count answers another read.
    {"NoRegisters", {{0, 0, 0, 0, 0, 3, 1, 3, 0}}, false, "Unmatched Response"},
    {"ThreeBytes", {{0, 0, 0, 0, 0, 6, 1, 3, 3, 0, 7, 0}}, false, "Unmatched Response"},
    {"TwoRegistersOfTen", {{0, 0, 0, 0, 0, 7, 1, 3, 4, 0, 7, 0, 8}}, false, "Unmatched Response"},
    {"EchoOfAnotherValue", {{0, 0, 0, 0, 0, 6, 1, 6, 0, 5, 0xBE, 0xEE}}, true, "Unmatched Response"},
    {"EchoOfAnotherRegister", {{0, 0, 0, 0, 0, 6, 1, 6, 0, 4, 0xBE, 0xEF}}, true, "Unmatched Response"},
    {"ClosedBeforeReplying", {{}, true}, false, "Socket Read Error"},
    {"ClosedMidReply", {{0, 0, 0, 0, 0, 23, 1, 3, 20, 0, 1}, true}, false, "Socket Read Error"},
    {"ResetBeforeReplying", {{}, false, false, true}, false, "Socket Read Error"},
    {"ResetOnAWrite", {{}, false, false, true}, true, "Socket Read Error"},
    // Replies that are not this request's are set aside while the wait goes
    // on; a header the stream cannot be read by makes the reply invalid.
    {"AnotherTransaction", Transaction(0x7F7F), false, "Timeout"},
    {"AnotherUnit", {FromUnit(2)}, false, "Timeout"},
    {"ProtocolOne", {WithWord(2, 1)}, false, "Invalid Response"},
    {"LengthOneTooLong", {WithTrailingByte()}, false, "Invalid Response"},
    {"LengthOneTooShort", {WithWord(4, 22)}, false, "Invalid Response"},
    {"LengthZero", {WithWord(4, 0)}, false, "Invalid Response"},
    {"LengthFFFF", {WithWord(4, 0xFFFF)}, false, "Invalid Response"},
};

} // namespace

TEST_P(KelvaneTcpFault, IsAResultCodeAndTheImageKeepsItsValues)
{
    const FaultRow& row = GetParam();
    int served = 0;
    ScriptedServer server([&](const Bytes&) { return served++ == 0 ? ScriptedServer::Reply{TenRegisters()} : row.reply; });
    auto link = LinkTo(server.Port());
    link->SetRXTimeout(300);
    ASSERT_EQ(link->ReadRegisters(1, 3, 0, 9, NoAbort), 0);
    int result = 0;
    ASSERT_NO_THROW(result = row.write ? link->WriteRegister(1, 5, 0xBEEF, NoAbort)
                                       : link->ReadRegisters(1, 3, 0, 9, NoAbort));
    EXPECT_EQ(TKelvane::ErrorCode(result), row.text);
    EXPECT_EQ(link->LastResult(), result);
    for (int reg = 0; reg < 10; ++reg)
        EXPECT_EQ(link->GetRegister(reg), 100 + reg) << reg;
}

INSTANTIATE_TEST_SUITE_P(Faults, KelvaneTcpFault, ::testing::ValuesIn(FaultRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A gateway that hands over another transaction's reply ahead of ours, both
// in one segment: ours is taken, the other is set aside and shown.
TEST(KelvaneTcp, ReplyOfAnotherTransactionAheadOfOursIsSetAside)
{
    ScriptedServer server([](const Bytes& request) {
        Bytes other = WithWord(0, static_cast<uint16_t>((request[0] << 8 | request[1]) + 1));
        for (std::size_t i = 9; i < other.size(); i += 2)
            other[i] = 0; // registers 0 ... 9 hold 0 ... 9 there
        Bytes both = other;
        const Bytes ours = WithWord(0, static_cast<uint16_t>(request[0] << 8 | request[1]));
        both.insert(both.end(), ours.begin(), ours.end());
        return ScriptedServer::Reply{both, false, false, false, true};
    });
    auto link = LinkTo(server.Port());
    const TExchange read = link->Read(1, 3, 0, 9, NoAbort);
    ASSERT_EQ(read.Result, 0);
    for (int reg = 0; reg < 10; ++reg)
        EXPECT_EQ(link->GetRegister(reg), 100 + reg) << reg;
    ASSERT_EQ(read.Attempts.size(), 2u);
    EXPECT_EQ(read.Attempts[0].Result, MeterResult::Discarded);
    EXPECT_TRUE(read.Attempts[0].Outcome.startsWith("Reply to transaction ")) << read.Attempts[0].Outcome.toStdString();
    EXPECT_EQ(read.Attempts[1].Outcome, "OK");
}

// A target that is not an IP address cannot be connected to: the link says
// so by being inactive, and its operations send nothing.
TEST(KelvaneTcp, TargetThatIsNotAnAddressLeavesTheLinkInactive)
{
    EnsureCoreApp();
    for (const char* target : {"", "meter.invalid", "300.1.2.3"}) {
        TKelvane link(target, true);
        EXPECT_FALSE(link.Active()) << target;
        EXPECT_EQ(link.ReadRegisters(1, 3, 0, 9, NoAbort), MeterResult::SocketNotConnected);
        EXPECT_EQ(link.WriteRegister(1, 5, 1, NoAbort), MeterResult::SocketNotConnected);
    }
    EXPECT_TRUE(TKelvane("::1", true).Active());
}

namespace {

// A link waiting on a peer that never answers, on a thread with an event
// loop whose timer records when it fires.
class KelvaneTcpWait : public ::testing::Test {
protected:
    KelvaneTcpWait()
    {
        if (!QCoreApplication::instance())
            app_ = std::make_unique<QCoreApplication>(argc_, argv_);
        ticker_.setInterval(10);
        QObject::connect(&ticker_, &QTimer::timeout, [this] { ticks_.push_back(Clock::now()); });
    }

    // The longest time the event loop went without turning while op ran.
    template <typename Operation>
    Clock::duration LongestGap(Operation op)
    {
        ticks_.clear();
        ticker_.start();
        const auto t0 = Clock::now();
        op();
        const auto t1 = Clock::now();
        ticker_.stop();
        Clock::duration longest{};
        auto previous = t0;
        for (auto t : ticks_) {
            longest = std::max(longest, t - previous);
            previous = t;
        }
        return std::max(longest, t1 - previous);
    }

    ScriptedServer silent{[](const Bytes&) { return ScriptedServer::Reply{{}, false, true}; }};
    std::vector<Clock::time_point> ticks_;

private:
    int argc_ = 1;
    char name_[12] = "meter_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
    QTimer ticker_;
};

} // namespace

TEST_F(KelvaneTcpWait, EventsAreProcessedWhileTheReplyIsAwaited)
{
    auto link = LinkTo(silent.Port());
    link->SetRXTimeout(1000);
    int result = 0;
    const auto gap = LongestGap([&] { result = link->ReadRegisters(1, 3, 0, 9, NoAbort); });
    EXPECT_EQ(result, -1);
    EXPECT_GT(ticks_.size(), 20u);
    EXPECT_LT(gap, 250ms) << std::chrono::duration_cast<std::chrono::milliseconds>(gap).count() << " ms";
}

TEST_F(KelvaneTcpWait, EventsAreProcessedWhileTheConnectIsAwaitedAndAbortEndsIt)
{
    testsupport::UnansweredListener never;
    auto link = LinkTo(never.Port());
    bool abort = false;
    QTimer::singleShot(600, [&] { abort = true; });
    int result = 0;
    const auto t0 = Clock::now();
    const auto gap = LongestGap([&] { result = link->ReadRegisters(1, 3, 0, 9, abort); });
    const auto elapsed = Clock::now() - t0;
    EXPECT_EQ(result, TKelvane::ResultPending);
    EXPECT_GE(elapsed, 550ms);
    EXPECT_LT(elapsed, 2s); // the connect limit is 5 s
    EXPECT_LT(gap, 250ms) << std::chrono::duration_cast<std::chrono::milliseconds>(gap).count() << " ms";
}

TEST_F(KelvaneTcpWait, AbortEndsTheReplyWaitAndNothingMoreIsSent)
{
    auto link = LinkTo(silent.Port());
    link->SetRXTimeout(10000);
    bool abort = false;
    QTimer::singleShot(150, [&] { abort = true; });
    const auto t0 = Clock::now();
    EXPECT_EQ(link->ReadRegisters(1, 3, 0, 9, abort), TKelvane::ResultPending);
    EXPECT_LT(Clock::now() - t0, 2s);
    const TExchange write = link->Write(1, 5, 1, abort);
    EXPECT_EQ(write.Result, TKelvane::ResultPending);
    EXPECT_TRUE(write.Request().isEmpty());
    EXPECT_EQ(silent.Connections(), 1);
}

// A command that runs inside the wait of another operation on the same link
// does not start a second exchange beside it: it goes after it, and each
// gets its own outcome.
TEST_F(KelvaneTcpWait, OperationInsideAWaitOfTheSameLinkGoesAfterIt)
{
    auto link = LinkTo(silent.Port());
    link->SetRXTimeout(400);
    int nested = 0;
    bool exchangingInside = false;
    QTimer::singleShot(100, [&] {
        exchangingInside = link->Exchanging();
        nested = link->WriteRegister(1, 5, 1, NoAbort);
    });
    EXPECT_EQ(link->ReadRegisters(1, 3, 0, 9, NoAbort), -1);
    EXPECT_TRUE(exchangingInside);
    EXPECT_EQ(nested, -1);
    EXPECT_FALSE(link->Exchanging());
    ASSERT_EQ(silent.Requests().size(), 2u);
    EXPECT_EQ(silent.Requests()[0][7], 3); // the read first
    EXPECT_EQ(silent.Requests()[1][7], 6); // then the write
}
