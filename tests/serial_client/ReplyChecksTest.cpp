// The client's reply checks and its transaction accounting, through the real
// path: the client queues on a connection opened on a pseudo-terminal, the
// worker writes the request, and a scripted server on the other end of the
// line answers it.

#include "SerialClientTestSupport.h"

#include "KelvaneError.h"

#include <gtest/gtest.h>

#include <memory>

using namespace serialtest;

namespace {

// Requests as the table issues them.
using Request = std::function<uint32_t(TModbusClient&, int32_t userData)>;

uint32_t ReadTwoAt10(TModbusClient& c, int32_t u) { return c.ReadHoldingRegisters(10, 2, u); }
uint32_t ReadThreeAt10(TModbusClient& c, int32_t u) { return c.ReadHoldingRegisters(10, 3, u); }
uint32_t ReadFourAt10(TModbusClient& c, int32_t u) { return c.ReadHoldingRegisters(10, 4, u); }
uint32_t Write1234At5(TModbusClient& c, int32_t u) { return c.WriteSingleRegister(5, 0x1234, u); }
uint32_t ReportId(TModbusClient& c, int32_t u) { return c.ReportServerIdentification(u); }

uint32_t ReadTenCoilsAt3(TModbusClient& c, int32_t u) { return c.ReadCoils(3, 10, u); }
uint32_t QueryData1234(TModbusClient& c, int32_t u)
{
    return c.Diagnostics(TDiagnosticAction::daReturnQueryData, 0x1234, u);
}
uint32_t BusMessageCount(TModbusClient& c, int32_t u)
{
    return c.Diagnostics(TDiagnosticAction::daReturnBusMessageCount, 0x1234, u);
}
// File 4 records 1 and 2, file 3 record 9; written with 7, 8 and 9.
TModbusFileRecordList TwoFileRanges()
{
    TModbusFileRecordList list;
    list.Add(4, 1, 2).SetValue(0, 7);
    list.Items(0).SetValue(1, 8);
    list.Add(3, 9, 1).SetValue(0, 9);
    return list;
}
uint32_t ReadFiles(TModbusClient& c, int32_t u) { return c.ReadFileRecord(TwoFileRanges(), u); }
uint32_t WriteFiles(TModbusClient& c, int32_t u) { return c.WriteFileRecord(TwoFileRanges(), u); }
const std::vector<uint16_t> SevenEight{7, 8};

struct ReplyCase {
    const char* Name;
    Request Issue;
    Bytes ReplyAdu; // server 1's reply without its CRC
    std::string Event;
    TTransactionReply Reply;
    std::vector<int> Values;
    uint8_t ExceptionCode = 0;
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.Name; }

using R = TTransactionReply;

const ReplyCase ReplyCases[] = {
    {"ByteCountOneOverIsUnmatchedWithZeros", ReadTwoAt10, {1, 3, 5, 0, 10, 0, 11, 0}, "HoldingRegistersRead",
     R::trUnmatchedReply, {0, 0}},
    {"ByteCountTwoShortIsUnmatchedWithZeros", ReadThreeAt10, {1, 3, 4, 0, 1, 0, 2}, "HoldingRegistersRead",
     R::trUnmatchedReply, {0, 0, 0}},
    {"HugeByteCountIsUnmatched", ReadTwoAt10, {1, 3, 0xFF, 0, 1, 0, 2}, "HoldingRegistersRead",
     R::trUnmatchedReply, {0, 0}},
    {"DataShorterThanByteCountIsUnmatched", ReadFourAt10, {1, 3, 8, 0, 1, 0, 2}, "HoldingRegistersRead",
     R::trUnmatchedReply, {0, 0, 0, 0}},
    {"OtherFunctionIsUnmatched", ReadTwoAt10, {1, 4, 4, 0, 1, 0, 2}, "HoldingRegistersRead", R::trUnmatchedReply,
     {0, 0}},
    {"ExceptionReplyHasCodeAndNoValues", ReadTwoAt10, {1, 0x83, 2}, "HoldingRegistersRead", R::trExceptionReply,
     {0, 0}, 2},
    // Longer than an exception reply, so the frame layer passes it on as a
    // reply; its function code is still not the request's.
    {"ExceptionFunctionCodeWithDataIsUnmatched", ReadTwoAt10, {1, 0x83, 4, 0, 1, 0, 2}, "HoldingRegistersRead",
     R::trUnmatchedReply, {0, 0}},
    {"ExceptionCodeAboveEightHasNoKind", ReadTwoAt10, {1, 0x83, 0x0B}, "HoldingRegistersRead",
     R::trExceptionReply, {0, 0}, 0x0B},
    {"WriteEchoPasses", Write1234At5, {1, 6, 0, 5, 0x12, 0x34}, "SingleRegisterWrite", R::trSuccess,
     {5, 0x1234}},
    {"WriteEchoWithOtherValueIsUnmatched", Write1234At5, {1, 6, 0, 5, 0x12, 0x35}, "SingleRegisterWrite",
     R::trUnmatchedReply, {5, 0x1234}},
    {"ServerIdWithByteCountZero", ReportId, {1, 17, 0}, "ServerIdentificationReport", R::trSuccess, {0}},
    {"ServerIdBytes", ReportId, {1, 17, 3, 0xAA, 0xBB, 0xCC}, "ServerIdentificationReport", R::trSuccess,
     {3, 0xAA, 0xBB, 0xCC}},
    {"ServerIdCountBeyondFrameIsUnmatched", ReportId, {1, 17, 5, 0xAA}, "ServerIdentificationReport",
     R::trUnmatchedReply, {0}},
    // The functions the meter link does not use share the same checks.
    {"CoilsUnpackedLeastSignificantFirst", ReadTenCoilsAt3, {1, 1, 2, 0b10110101, 0b11}, "CoilsRead",
     R::trSuccess, {1, 0, 1, 0, 1, 1, 0, 1, 1, 1}},
    {"CoilsByteCountShortIsUnmatched", ReadTenCoilsAt3, {1, 1, 1, 0xFF}, "CoilsRead", R::trUnmatchedReply,
     std::vector<int>(10, 0)},
    {"SingleCoilEcho", [](TModbusClient& c, int32_t u) { return c.WriteSingleCoil(4, true, u); },
     {1, 5, 0, 4, 0xFF, 0}, "SingleCoilWrite", R::trSuccess, {4, 1}},
    {"ExceptionStatusBits", [](TModbusClient& c, int32_t u) { return c.ReadExceptionStatus(u); }, {1, 7, 0x81},
     "ExceptionStatusRead", R::trSuccess, {1, 0, 0, 0, 0, 0, 0, 1}},
    {"DiagnosticQueryDataEchoed", QueryData1234, {1, 8, 0, 0, 0x12, 0x34}, "Diagnostics", R::trSuccess,
     {int(TDiagnosticAction::daReturnQueryData), 0}},
    {"DiagnosticQueryDataNotEchoedIsUnmatched", QueryData1234, {1, 8, 0, 0, 0x12, 0x35}, "Diagnostics",
     R::trUnmatchedReply, {int(TDiagnosticAction::daReturnQueryData), 0}},
    {"DiagnosticCounterIsTheResult", BusMessageCount, {1, 8, 0, 11, 0, 42}, "Diagnostics", R::trSuccess,
     {int(TDiagnosticAction::daReturnBusMessageCount), 42}},
    {"MultipleCoilsWriteEcho",
     [](TModbusClient& c, int32_t u) { return c.WriteMultipleCoils(8, {true, false, true}, u); },
     {1, 15, 0, 8, 0, 3}, "MultipleCoilsWrite", R::trSuccess, {1, 0, 1}},
    {"FileRecordsRead", ReadFiles, {1, 20, 10, 5, 6, 0, 10, 0, 11, 3, 6, 0, 12}, "FileRecordRead", R::trSuccess,
     {10, 11, 12}},
    {"FileRecordWithWrongReferenceIsUnmatched", ReadFiles, {1, 20, 10, 5, 6, 0, 10, 0, 11, 3, 7, 0, 12},
     "FileRecordRead", R::trUnmatchedReply, {0, 0, 0}},
    {"FileRecordsWriteEcho", WriteFiles,
     {1, 21, 20, 6, 0, 4, 0, 1, 0, 2, 0, 7, 0, 8, 6, 0, 3, 0, 9, 0, 1, 0, 9}, "FileRecordWrite", R::trSuccess,
     {7, 8, 9}},
    {"MaskWriteEcho", [](TModbusClient& c, int32_t u) { return c.MaskWriteSingleRegister(4, 0xF2, 0x25, u); },
     {1, 22, 0, 4, 0, 0xF2, 0, 0x25}, "SingleRegisterMaskWrite", R::trSuccess, {4, 0xF2, 0x25}},
    {"ReadWriteReturnsReadThenWritten",
     [](TModbusClient& c, int32_t u) { return c.ReadWriteMultipleRegisters(3, 2, 10, SevenEight, u); },
     {1, 23, 4, 0, 1, 0, 2}, "MultipleRegistersReadWrite", R::trSuccess, {1, 2, 7, 8}},
};

class ReplyCheck : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyCheck, EventCarriesOutcomeAndValuesThenTransactionProcessed)
{
    const ReplyCase& c = GetParam();
    TRtuClientOnPty line;
    TScriptedPeer peer(line.Line.Master(), [&](const Bytes&) { return Rtu(c.ReplyAdu); });
    TEventLog log(line.Client);

    const int32_t userData = -12345;
    const uint32_t id = c.Issue(line.Client, userData);
    ASSERT_TRUE(log.WaitProcessed(id));

    const std::vector<TSeenEvent> events = log.Of(id);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Name, c.Event);
    EXPECT_EQ(events[0].Info.Reply, c.Reply);
    EXPECT_EQ(events[0].Values, c.Values);
    EXPECT_EQ(events[0].Info.UserData, userData);
    EXPECT_EQ(events[0].Info.ServerAddress, 1);
    EXPECT_EQ(events[0].Info.Attempts, 1u);
    EXPECT_EQ(events[0].Info.ExceptionCode, c.ExceptionCode);
    EXPECT_EQ(events[0].Info.ExceptionKind, c.ExceptionCode <= 8 ? c.ExceptionCode : 0);
    // OnTransactionProcessed follows with the same outcome and the request's
    // function code.
    EXPECT_EQ(events[1].Name, "TransactionProcessed");
    EXPECT_EQ(events[1].Info.Reply, c.Reply);
    EXPECT_EQ(events[1].Values, std::vector<int>{peer.Requests().at(0).at(1)});
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyCheck, ::testing::ValuesIn(ReplyCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// Echoes a read of holding registers with as many zero words as asked for.
Bytes AnswerRead(const Bytes& request)
{
    const uint8_t count = request.at(5);
    Bytes adu{request[0], 3, static_cast<uint8_t>(2 * count)};
    adu.resize(adu.size() + 2u * count, 0);
    return Rtu(adu);
}

TEST(ServerAddress, BroadcastIsSentButRaisesNoEvent)
{
    TRtuClientOnPty line;
    TScriptedPeer peer(line.Line.Master(), [](const Bytes& request) {
        return request.at(0) == 0 ? Bytes{} : AnswerRead(request);
    });
    TModbusClient broadcaster;
    broadcaster.SetConnection(&line.Connection);
    broadcaster.SetServerAddress(0);
    TEventLog broadcasts(broadcaster);
    TEventLog log(line.Client);

    const uint32_t broadcastId = broadcaster.ReadHoldingRegisters(0, 1);
    const uint32_t id = line.Client.ReadHoldingRegisters(0, 1);
    // Transactions finish in queue order, so once the second is processed an
    // event of the broadcast would have arrived before it.
    ASSERT_TRUE(log.WaitProcessed(id));
    EXPECT_NE(broadcastId, id);
    EXPECT_TRUE(broadcasts.Events().empty());
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Requests()[0].at(0), 0);
}

TEST(ServerAddress, ChangeDropsQueuedRequestsAndTheResultInProgress)
{
    TRtuClientOnPty line(5000);
    std::atomic<bool> release{false};
    TScriptedPeer peer(line.Line.Master(), [&](const Bytes& request) {
        if (request.at(0) == 1) // hold server 1's first reply until the address has changed
            WaitFor([&] { return release.load(); });
        return AnswerRead(request);
    });
    TEventLog log(line.Client);

    const uint32_t inProgress = line.Client.ReadHoldingRegisters(0, 1);
    ASSERT_TRUE(WaitFor([&] { return peer.Requests().size() == 1; }));
    const uint32_t queued1 = line.Client.ReadHoldingRegisters(1, 1);
    const uint32_t queued2 = line.Client.ReadHoldingRegisters(2, 1);
    line.Client.SetServerAddress(2);
    release = true;
    const uint32_t after = line.Client.ReadHoldingRegisters(3, 1);
    ASSERT_TRUE(log.WaitProcessed(after));

    EXPECT_TRUE(log.Of(inProgress).empty());
    EXPECT_TRUE(log.Of(queued1).empty());
    EXPECT_TRUE(log.Of(queued2).empty());
    EXPECT_EQ(log.Of(after).at(0).Info.ServerAddress, 2);
    const std::vector<Bytes> sent = peer.Requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].at(0), 1);
    EXPECT_EQ(sent[1].at(0), 2);
    EXPECT_EQ(sent[1].at(3), 3); // the last request's start register: the queued ones never went out
}

// Server 1 answers reads of register 7 and nothing else.
Bytes AnswerRegister7(const Bytes& request)
{
    return request.at(3) == 7 ? AnswerRead(request) : Bytes{};
}

TEST(ConsecutiveTimeouts, LimitCountsUnansweredAttemptsAndAReplyResetsIt)
{
    TRtuClientOnPty line(100);
    TScriptedPeer peer(line.Line.Master(), AnswerRegister7);
    TEventLog log(line.Client);
    line.Client.SetMaxConsecutiveTimeouts(2);

    auto run = [&](uint16_t reg, uint16_t count = 1) {
        const uint32_t id = line.Client.ReadHoldingRegisters(reg, count);
        EXPECT_TRUE(log.WaitProcessed(id, 20000));
        return id;
    };
    run(0);
    run(0);
    EXPECT_EQ(line.Client.ConsecutiveTimeouts(), 2u);
    // Answered: the count starts again. Its count is another, so that its
    // reply cannot pass for a late one of the unanswered reads.
    run(7, 2);
    EXPECT_EQ(line.Client.ConsecutiveTimeouts(), 0u);
    run(0);
    run(0);
    EXPECT_EQ(log.Count("ConsecutiveTimeoutLimitExceed"), 0u);
    const uint32_t third = run(0);
    ASSERT_EQ(log.Count("ConsecutiveTimeoutLimitExceed"), 1u);
    EXPECT_EQ(log.Events().back().Name, "ConsecutiveTimeoutLimitExceed");
    EXPECT_EQ(log.Of(third).back().Name, "TransactionProcessed");
    EXPECT_EQ(line.Client.ConsecutiveTimeouts(), 0u);

    // Every attempt counts: three sends of one silent request pass a limit of 2.
    line.Connection.SetMaxRetries(3);
    const uint32_t retried = run(0);
    EXPECT_EQ(log.Of(retried).at(0).Info.Attempts, 3u);
    EXPECT_EQ(log.Of(retried).at(0).Info.Reply, TTransactionReply::trNoReply);
    EXPECT_EQ(log.Count("ConsecutiveTimeoutLimitExceed"), 2u);

    // Below -1 switches the check off like -1 itself.
    line.Client.SetMaxConsecutiveTimeouts(-5);
    EXPECT_EQ(line.Client.MaxConsecutiveTimeouts(), -1);
    run(0);
    EXPECT_EQ(log.Count("ConsecutiveTimeoutLimitExceed"), 2u);
    EXPECT_EQ(line.Client.ConsecutiveTimeouts(), 0u);
}

TEST(ConsecutiveTimeouts, LostPortStillRaisesEventsAndCountsOnlyItsAttempts)
{
    TRtuClientOnPty line(100);
    std::vector<std::string> shown;
    line.Connection.OnLinkStateChange = [&](TModbusConnection*, const std::string& text) { shown.push_back(text); };
    TEventLog log(line.Client);
    line.Client.SetMaxConsecutiveTimeouts(1000);
    line.Line.CloseMaster();

    uint32_t attempts = 0;
    bool lost = false;
    for (int i = 0; i < 3; ++i) {
        const uint32_t id = line.Client.ReadHoldingRegisters(0, 4);
        ASSERT_TRUE(log.WaitProcessed(id));
        const TSeenEvent read = log.Of(id).at(0);
        EXPECT_EQ(read.Name, "HoldingRegistersRead");
        EXPECT_EQ(read.Info.Reply, TTransactionReply::trNoReply);
        EXPECT_EQ(read.Values, std::vector<int>(4, 0));
        attempts += read.Info.Attempts;
        lost = read.Info.PortLost;
    }
    EXPECT_TRUE(lost);
    ASSERT_FALSE(shown.empty());
    EXPECT_NE(shown[0].find("lost"), std::string::npos) << shown[0];
    EXPECT_EQ(line.Client.ConsecutiveTimeouts(), attempts);
}

TEST(Lifetime, ClientDestroyedInItsOwnEventRaisesNothingMore)
{
    TRtuClientOnPty line;
    TScriptedPeer peer(line.Line.Master(), AnswerRead);
    auto client = std::make_unique<TModbusClient>();
    client->SetConnection(&line.Connection);
    client->SetMaxConsecutiveTimeouts(0);
    bool processed = false;
    bool read = false;
    client->OnHoldingRegistersRead = [&](TModbusClient*, const TTransactionInfo&, uint16_t, uint16_t,
                                         const TRegValues&) {
        read = true;
        client.reset();
    };
    client->OnTransactionProcessed = [&](TModbusClient*, const TTransactionInfo&, uint8_t, bool) {
        processed = true;
    };
    client->ReadHoldingRegisters(0, 1);
    // The other client's reply comes after the first one's in queue order.
    TEventLog log(line.Client);
    ASSERT_TRUE(log.WaitProcessed(line.Client.ReadHoldingRegisters(0, 1)));
    EXPECT_TRUE(read);
    EXPECT_FALSE(processed);
}

TEST(Lifetime, ConnectionDestroyedFirstIsForgotten)
{
    App();
    TPtyLine pty;
    TModbusClient client;
    {
        TModbusConnection connection;
        connection.SetPort(pty.SlavePath());
        connection.SetActive(true);
        client.SetConnection(&connection);
        EXPECT_EQ(client.Connection(), &connection);
    }
    EXPECT_EQ(client.Connection(), nullptr);
    try {
        client.ReadHoldingRegisters(0, 1);
        FAIL() << "a request without a connection was accepted";
    } catch (const EModbusError& e) {
        EXPECT_STREQ(e.what(), "There is no active connection");
    }
}

// Argument checks: a refused request raises before anything is built, so
// it draws no ID and sends nothing.
struct ArgumentCase {
    const char* Name;
    std::function<uint32_t(TModbusClient&)> Issue;
    const char* Error; // nullptr: accepted
};
void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << c.Name; }

const std::vector<uint16_t> Values123(123, 1), Values124(124, 1), Values122(122, 1);

const ArgumentCase ArgumentCases[] = {
    {"ReadCountZero", [](TModbusClient& c) { return c.ReadHoldingRegisters(0, 0); },
     "Register count must be between 1 and 125"},
    {"ReadCount126", [](TModbusClient& c) { return c.ReadInputRegisters(0, 126); },
     "Register count must be between 1 and 125"},
    {"ReadEndsAtLastRegister", [](TModbusClient& c) { return c.ReadHoldingRegisters(65500, 36); }, nullptr},
    {"ReadPassesLastRegister", [](TModbusClient& c) { return c.ReadHoldingRegisters(65500, 37); },
     "Starting register index is invalid (65500)"},
    {"Write123Values", [](TModbusClient& c) { return c.WriteMultipleRegisters(0, Values123); }, nullptr},
    {"Write124Values", [](TModbusClient& c) { return c.WriteMultipleRegisters(0, Values124); },
     "Register count must be between 1 and 123"},
    {"WriteNoValues", [](TModbusClient& c) { return c.WriteMultipleRegisters(0, {}); },
     "Register count must be between 1 and 123"},
    {"WritePassesLastRegister", [](TModbusClient& c) { return c.WriteMultipleRegisters(65414, Values123); },
     "Starting register index is invalid (65414)"},
    {"ReadWriteWrites122", [](TModbusClient& c) { return c.ReadWriteMultipleRegisters(0, 1, 0, Values122); },
     "Register count must be between 1 and 121"},
    {"Coils2001", [](TModbusClient& c) { return c.ReadCoils(0, 2001); }, "Bit count must be between 1 and 2000"},
    {"CoilsPastLastBit", [](TModbusClient& c) { return c.ReadDiscreteInputs(65535, 2); },
     "Starting bit index is invalid (65535)"},
    {"EmptyFileRecordList", [](TModbusClient& c) { return c.ReadFileRecord(TModbusFileRecordList{}); },
     "File record data must be between 1 and 245 bytes"},
};

class ArgumentCheck : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentCheck, RefusedBeforeAnIdIsDrawn)
{
    const ArgumentCase& c = GetParam();
    TRtuClientOnPty line(0);
    const uint32_t before = line.Client.ReadHoldingRegisters(0, 1);
    if (c.Error) {
        try {
            c.Issue(line.Client);
            FAIL() << "accepted";
        } catch (const EModbusError& e) {
            EXPECT_STREQ(e.what(), c.Error);
        }
        EXPECT_EQ(line.Client.ReadHoldingRegisters(0, 1), before + 1);
    } else {
        EXPECT_EQ(c.Issue(line.Client), before + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Arguments, ArgumentCheck, ::testing::ValuesIn(ArgumentCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
