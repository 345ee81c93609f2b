// The worker thread of a serial connection against a meter played on a real
// pseudo-terminal: reply shapes, repeats, timing, queue order, broadcasts,
// cancelling, closing, a lost port, and the monitor loop.

#include "WorkerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using R = TTransactionReply;
using TSteps = std::vector<TPeerStep>;

struct TReplyRow {
    const char* Name;
    TTransmissionMode Mode;
    bool Echo;
    uint32_t MaxRetries;
    uint32_t ReceiveTimeout;
    TAnswer Answer;
    R Reply;
    uint32_t Attempts;
    uint8_t ExceptionKind = 0;
    uint8_t ExceptionCode = 0;
    int MinElapsedMs = 0;
};

void PrintTo(const TReplyRow& row, std::ostream* os)
{
    *os << row.Name;
}

TAnswer Say(TSteps steps)
{
    return [steps](const TBytes&, int) { return steps; };
}

TBytes FirstHalf(const TBytes& b) { return TBytes(b.begin(), b.begin() + b.size() / 2); }
TBytes SecondHalf(const TBytes& b) { return TBytes(b.begin() + b.size() / 2, b.end()); }

TAnswer ByteByByte(const TBytes& frame)
{
    TSteps steps;
    for (uint8_t b : frame)
        steps.push_back({10, {b}});
    return Say(steps);
}

TBytes BadCrc()
{
    TBytes frame = Rtu(GoodAdu());
    frame.back() ^= 0x5A;
    return frame;
}

TBytes BadLrc()
{
    TBytes frame = Ascii(GoodAdu());
    frame[frame.size() - 3] = frame[frame.size() - 3] == '0' ? '1' : '0';
    return frame;
}

const auto RTU = TTransmissionMode::tmRTU;
const auto ASCII = TTransmissionMode::tmASCII;

const TReplyRow ReplyRows[] = {
    {"Answered", RTU, false, 3, 400, Say({{0, Rtu(GoodAdu())}}), R::trSuccess, 1},
    {"BadCrcIsRepeated", RTU, false, 2, 400, Say({{0, BadCrc()}}), R::trInvalidFrame, 2},
    {"GarbageBeforeTheFrame", RTU, false, 1, 400, Say({{0, Concat({0xFF, 0x00, 0x13}, Rtu(GoodAdu()))}}),
     R::trInvalidFrame, 1},
    {"GarbageAfterTheFrame", RTU, false, 1, 400, Say({{0, Concat(Rtu(GoodAdu()), {0x55})}}), R::trInvalidFrame, 1},
    {"TwoFramesStuckTogether", RTU, false, 1, 400, Say({{0, Concat(Rtu(GoodAdu()), Rtu(GoodAdu()))}}),
     R::trInvalidFrame, 1},
    {"SplitInHalves", RTU, false, 1, 400, Say({{0, FirstHalf(Rtu(GoodAdu()))}, {40, SecondHalf(Rtu(GoodAdu()))}}),
     R::trSuccess, 1},
    {"ByteByByte", RTU, false, 1, 400, ByteByByte(Rtu(GoodAdu())), R::trSuccess, 1},
    {"StopsHalfWay", RTU, false, 1, 400, Say({{0, FirstHalf(Rtu(GoodAdu()))}}), R::trInvalidFrame, 1},
    {"WrongFunctionIsNotRepeated", RTU, false, 3, 400, Say({{0, Rtu({1, 4, 4, 0, 10, 0, 11})}}),
     R::trUnmatchedReply, 1},
    {"ExceptionIsNotRepeated", RTU, false, 3, 400, Say({{0, Rtu({1, 0x83, 2})}}), R::trExceptionReply, 1, 2, 2},
    {"UnknownExceptionCodeIsKindZero", RTU, false, 1, 400, Say({{0, Rtu({1, 0x83, 12})}}), R::trExceptionReply, 1,
     0, 12},
    {"OtherUnitIgnoredThenAnswered", RTU, false, 1, 400,
     Say({{0, Rtu(GoodAdu(2))}, {300, Rtu(GoodAdu())}}), R::trSuccess, 1},
    // The reply of another unit comes late in the wait; it is set aside and
    // the wait goes on to its own end, not longer, and no second attempt.
    {"OtherUnitIsSetAsideWithinTheWait", RTU, false, 1, 400, Say({{250, Rtu(GoodAdu(2))}}), R::trNoReply, 1, 0, 0, 390},
    {"SilenceIsRepeatedMaxRetriesTimes", RTU, false, 3, 300, Say({}), R::trNoReply, 3, 0, 0, 900},
    {"EchoAloneThenReply", RTU, true, 1, 400,
     [](const TBytes& request, int) { return TSteps{{0, request}, {300, Rtu(GoodAdu())}}; }, R::trSuccess, 1},
    {"EchoWithReply", RTU, true, 1, 400,
     [](const TBytes& request, int) { return TSteps{{0, Concat(request, Rtu(GoodAdu()))}}; }, R::trSuccess, 1},
    {"EchoExpectedButMissing", RTU, true, 1, 400, Say({{0, Rtu(GoodAdu())}}), R::trSuccess, 1},
    // Without the option the echo comes first: same unit and function, but
    // not the count asked, so it is no reply.
    {"EchoWithoutTheOption", RTU, false, 1, 400, [](const TBytes& request, int) { return TSteps{{0, request}}; },
     R::trUnmatchedReply, 1},
    {"AsciiAnswered", ASCII, false, 1, 400, Say({{0, Ascii(GoodAdu())}}), R::trSuccess, 1},
    {"AsciiBadLrcIsRepeated", ASCII, false, 2, 400, Say({{0, BadLrc()}}), R::trInvalidFrame, 2},
    {"AsciiNoiseBeforeTheColon", ASCII, false, 1, 400, Say({{0, Concat({'x', 0x00, '\n'}, Ascii(GoodAdu()))}}),
     R::trSuccess, 1},
};

class WorkerReply : public testing::TestWithParam<TReplyRow> {};

TEST_P(WorkerReply, EndsWithTheOutcomeOfItsReply)
{
    const TReplyRow& row = GetParam();
    TMeterPeer peer;
    TTestClient client;
    TModbusConnection connection;
    SetUpLine(connection, peer, row.ReceiveTimeout);
    connection.SetTransmissionMode(row.Mode);
    connection.SetMaxRetries(row.MaxRetries);
    connection.SetEchoQueryBeforeReply(row.Echo);
    client.Register(connection);
    connection.SetActive(true);
    peer.Answer(row.Mode == RTU ? 8 : 17, row.Answer);

    const auto start = TClock::now();
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return !client.Done.empty(); }));
    const int64_t elapsed = MsSince(start);

    const TTransactionInfo& info = client.Done[0];
    EXPECT_EQ(info.Reply, row.Reply);
    EXPECT_EQ(info.Attempts, row.Attempts);
    EXPECT_EQ(peer.RequestCount(), row.Attempts);
    EXPECT_EQ(info.ExceptionKind, row.ExceptionKind);
    EXPECT_EQ(info.ExceptionCode, row.ExceptionCode);
    EXPECT_FALSE(info.PortLost);
    EXPECT_GE(elapsed, row.MinElapsedMs);
    if (row.Reply == R::trSuccess) {
        const TBytes expected = GoodAdu();
        ASSERT_GE(client.Replies[0].size(), expected.size());
        EXPECT_EQ(TBytes(client.Replies[0].begin(), client.Replies[0].begin() + expected.size()), expected);
    }
    connection.SetActive(false);
    EXPECT_EQ(client.Done.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WorkerReply, testing::ValuesIn(ReplyRows),
                         [](const auto& info) { return std::string(info.param.Name); });

// A worker on the peer's line, with a client of unit 1.
class Worker : public testing::Test {
protected:
    void SetUp() override
    {
        ShownErrors().clear();
        SetUpLine(connection, peer);
        client.Register(connection);
        connection.OnWorkerException = [this](const std::exception& e) { displayed.push_back(e.what()); };
        connection.OnLinkStateChange = [this](TModbusConnection*, const std::string& text) { states.push_back(text); };
    }
    static TAnswer AnswerUnit1()
    {
        return [](const TBytes& request, int) {
            return request[0] == 1 ? TSteps{{0, Rtu(GoodAdu())}} : TSteps{};
        };
    }

    TMeterPeer peer;
    TTestClient client;
    TModbusConnection connection;
    std::vector<std::string> displayed;
    std::vector<std::string> states;
};

// Each attempt is logged with what really became of it, and so is every
// frame set aside: a late reply never stands for the next request's.
TEST_F(Worker, EachAttemptIsLoggedWithItsOwnOutcome)
{
    const struct {
        const char* name;
        uint32_t maxRetries;
        TAnswer answer;
        std::vector<std::string> outcomes;
        R reply;
    } rows[] = {
        {"BadCrcThenAnswered", 2,
         [](const TBytes&, int index) { return index == 0 ? TSteps{{0, BadCrc()}} : TSteps{{0, Rtu(GoodAdu())}}; },
         {"Invalid reply (CRC)", "OK"}, R::trSuccess},
        // Answered 150 ms after the 300 ms timeout: thrown away before the
        // second attempt goes out.
        {"LateThenAnswered", 2,
         [](const TBytes&, int index) { return TSteps{{index == 0 ? 450 : 0, Rtu(GoodAdu())}}; },
         {"Timeout", "Late reply discarded", "OK"}, R::trSuccess},
        // A garbled frame ends the first wait early (at its 200 ms
        // silence); the real reply comes 530 ms after the request, after a
        // whole timeout of quiet from there: the line is guarded from the
        // request's sending, not from the end of its short wait.
        {"CutShortThenLate", 2,
         [](const TBytes&, int index) {
             return index == 0 ? TSteps{{0, BadCrc()}, {530, Rtu(GoodAdu())}} : TSteps{{100, Rtu(GoodAdu())}};
         },
         {"Invalid reply (CRC)", "Late reply discarded", "OK"}, R::trSuccess},
        {"AnotherUnit", 1, Say({{0, Rtu(GoodAdu(2))}}), {"Reply from unit 2 discarded", "Timeout"}, R::trNoReply},
        {"WrongByteCount", 1, Say({{0, Rtu({1, 3, 2, 0, 10})}}), {"Invalid reply (wrong byte count)"},
         R::trUnmatchedReply},
        {"AnotherFunction", 1, Say({{0, Rtu({1, 4, 4, 0, 10, 0, 11})}}), {"Reply to another function"},
         R::trUnmatchedReply},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TMeterPeer meter;
        TTestClient events;
        TModbusConnection line;
        SetUpLine(line, meter, 300);
        line.SetMaxRetries(row.maxRetries);
        events.Register(line);
        line.SetActive(true);
        meter.Answer(8, row.answer);
        EnqueueRead(line, events);
        ASSERT_TRUE(WaitFor([&] { return !events.Done.empty(); }));
        const TTransactionInfo& info = events.Done[0];
        EXPECT_EQ(info.Reply, row.reply);
        std::vector<std::string> outcomes;
        for (const TAttemptRecord& attempt : info.AttemptLog) {
            outcomes.push_back(attempt.Outcome);
            // Only attempts carry a request, a send time and a round trip;
            // a timeout's is the whole wait.
            EXPECT_EQ(attempt.Request.empty(), attempt.SentAtMs == 0) << attempt.Outcome;
            if (attempt.Outcome == "Timeout") {
                EXPECT_GE(attempt.RoundTripUs, 290000);
            }
        }
        EXPECT_EQ(outcomes, row.outcomes);
        line.SetActive(false);
    }
}

TEST_F(Worker, RunsTheQueueInOrderOneTransactionAfterTheOther)
{
    connection.SetRefetchDelay(150);
    connection.SetActive(true);
    peer.Answer(8, AnswerUnit1());
    std::vector<uint32_t> ids;
    for (uint16_t start = 0; start < 3; ++start)
        ids.push_back(EnqueueRead(connection, client, start));
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 3; }));

    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(client.Done[i].ID, ids[i]);
        EXPECT_EQ(client.Done[i].Reply, R::trSuccess);
        EXPECT_EQ(requests[i].Data[3], i) << "start register of request " << i;
    }
    // The next request goes out only after the last RefetchDelay sleep (150
    // ms; the meter stamps a request when its thread gets to read it, so a
    // little of the sleep may hide in the stamp of the earlier one).
    for (int i = 1; i < 3; ++i)
        EXPECT_GE(requests[i].Time - requests[i - 1].Time, std::chrono::milliseconds(120));
}

// A meter heard silent through the whole wait after its first miss is
// tried again at once from then on: its tries go a timeout apart. When it
// comes back answering late, the wait after its request no longer covers
// the reply, and the reply, though it answers the next request's function
// and count, is set aside, never taken for that request's answer.
TEST_F(Worker, SilentMetersTriesGoBackToBackAndItsLateReplyIsNeverAnotherRequests)
{
    connection.SetMaxRetries(3);
    connection.SetActive(true);
    const auto values = [](const TBytes& request) { return Rtu({1, 3, 4, 0, request[3], 0, 7}); };
    peer.Answer(8, [&](const TBytes& request, int index) {
        return index < 6 ? TSteps{} : TSteps{{index == 6 ? 600 : 250, values(request)}};
    });
    EnqueueRead(connection, client, 0);
    EnqueueRead(connection, client, 0);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 2; }));
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_GE(requests[1].Time - requests[0].Time, std::chrono::milliseconds(750)) << "the first miss is guarded";
    for (int i = 2; i < 6; ++i)
        EXPECT_LT(requests[i].Time - requests[i - 1].Time, std::chrono::milliseconds(600)) << i;

    connection.SetMaxRetries(1);
    EnqueueRead(connection, client, 0);
    EnqueueRead(connection, client, 2);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 4; }));
    EXPECT_EQ(client.Done[2].Reply, R::trNoReply);
    const TTransactionInfo& next = client.Done[3];
    EXPECT_TRUE(next.Reply != R::trSuccess || client.Replies[3][4] == 2) << "values of the read of register 0";
    std::vector<std::string> outcomes;
    for (const TAttemptRecord& attempt : next.AttemptLog)
        outcomes.push_back(attempt.Outcome);
    EXPECT_NE(std::find(outcomes.begin(), outcomes.end(), "Reply set aside: it may answer an earlier request"),
              outcomes.end());
}

// The meter answers at once, but with ReceiveTimeout 0 nothing is collected.
TEST_F(Worker, ReceiveTimeoutZeroEndsEveryAttemptWithoutAReply)
{
    connection.SetReceiveTimeout(0);
    connection.SetMaxRetries(2);
    // Time for the meter to take the request off the line before the next
    // attempt discards what the line holds.
    connection.SetRefetchDelay(300);
    connection.SetActive(true);
    peer.Answer(8, AnswerUnit1());
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 1; }));

    EXPECT_EQ(client.Done[0].Reply, R::trNoReply);
    EXPECT_EQ(client.Done[0].Attempts, 2u);
    EXPECT_EQ(peer.RequestCount(), 2u);
}

TEST_F(Worker, BroadcastIsWrittenOnceAndRaisesNoEvent)
{
    TTestClient everyone(0);
    everyone.Register(connection);
    connection.SetMaxRetries(3);
    connection.SetTurnaroundDelay(300);
    connection.SetActive(true);
    peer.Answer(8, AnswerUnit1());
    EnqueueRead(connection, everyone);
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 1; }));

    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Data[0], 0);
    // TurnaroundDelay 300 ms, less what the meter's stamps may lose.
    EXPECT_GE(requests[1].Time - requests[0].Time, std::chrono::milliseconds(250));
    QCoreApplication::processEvents();
    EXPECT_TRUE(everyone.Done.empty());
}

TEST_F(Worker, CancelDropsTheClientsQueuedTransactionsOnly)
{
    TTestClient other(2);
    other.Register(connection);
    connection.SetActive(true);
    peer.Answer(8, [](const TBytes& request, int) { return TSteps{{200, Rtu(GoodAdu(request[0]))}}; });
    const uint32_t first = EnqueueRead(connection, client);
    EnqueueRead(connection, client);
    const uint32_t others = EnqueueRead(connection, other);
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return peer.RequestCount() == 1; }));
    connection.CancelClientTransactions(&client);
    ASSERT_TRUE(WaitFor([&] { return other.Done.size() == 1; }));

    ASSERT_EQ(client.Done.size(), 1u);
    EXPECT_EQ(client.Done[0].ID, first);
    EXPECT_EQ(client.Done[0].Reply, R::trSuccess);
    EXPECT_EQ(other.Done[0].ID, others);
    EXPECT_EQ(peer.RequestCount(), 2u);
}

// Closing the port does not wait for a meter that keeps silent: the wait
// for the reply ends at once, no further attempt goes out and nothing queued
// is sent.
TEST_F(Worker, ClosingEndsTheTransactionInProgressAtOnce)
{
    connection.SetReceiveTimeout(5000);
    connection.SetMaxRetries(2);
    connection.SetActive(true);
    peer.Answer(8, Say({}));
    EnqueueRead(connection, client);
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return peer.RequestCount() == 1; }));
    const auto start = TClock::now();
    connection.SetActive(false);

    EXPECT_LT(MsSince(start), 4000);
    EXPECT_EQ(peer.RequestCount(), 1u) << "the first attempt of the first, nothing more";
    QCoreApplication::processEvents();
    EXPECT_TRUE(client.Done.empty());
    EXPECT_TRUE(displayed.empty());
}

TEST_F(Worker, PortLostDuringAReplyEndsEveryTransactionAtOnce)
{
    connection.SetReceiveTimeout(3000);
    connection.SetActive(true);
    peer.Answer(8, Say({{50, {}, true}}));
    for (int i = 0; i < 3; ++i)
        EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 3; }));

    ASSERT_EQ(states.size(), 1u);
    EXPECT_NE(states[0].find(peer.Path()), std::string::npos) << states[0];
    EXPECT_TRUE(connection.PortLost());
    const uint32_t attempts[] = {1, 0, 0};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(client.Done[i].PortLost);
        EXPECT_EQ(client.Done[i].Reply, R::trNoReply);
        EXPECT_EQ(client.Done[i].Attempts, attempts[i]);
    }

    // A request queued later ends without waiting for a reply.
    const auto start = TClock::now();
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 4; }));
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(client.Done[3].PortLost);
    EXPECT_EQ(states.size(), 1u);
    EXPECT_TRUE(displayed.empty());

    // Closing and opening on a working line clears the state.
    connection.SetActive(false);
    EXPECT_FALSE(connection.PortLost());
    TMeterPeer next;
    connection.SetPort(next.Path());
    connection.SetActive(true);
    next.Answer(8, AnswerUnit1());
    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 5; }));
    EXPECT_EQ(client.Done[4].Reply, R::trSuccess);
    EXPECT_FALSE(client.Done[4].PortLost);
    connection.SetActive(false);
}

// A port lost while the worker waits for work is a state of the link, told
// once; nothing reaches the application's exception handler.
TEST_F(Worker, PortLostWhileIdleIsToldOnceAsALinkState)
{
    connection.OnWorkerException = nullptr;
    connection.SetActive(true);
    peer.HangUp();
    ASSERT_TRUE(WaitFor([&] { return !states.empty(); }));
    EXPECT_NE(states[0].find(peer.Path()), std::string::npos) << states[0];
    EXPECT_TRUE(connection.PortLost());

    EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 1; }));
    EXPECT_TRUE(client.Done[0].PortLost);
    EXPECT_EQ(client.Done[0].Attempts, 0u);
    EXPECT_EQ(states.size(), 1u);
    EXPECT_TRUE(ShownErrors().empty());
}

// Any other failure on the worker frees its transaction without an event,
// is shown, and the worker goes on with the next one.
TEST_F(Worker, OtherFailureDropsTheTransactionAndTheWorkerGoesOn)
{
    std::atomic<int> sends{0};
    connection.OnBeforeFrameSendAsync = [&sends](TModbusConnection*) {
        if (sends++ == 0)
            throw EModbusError("refused by the line driver");
    };
    connection.SetActive(true);
    peer.Answer(8, AnswerUnit1());
    EnqueueRead(connection, client);
    const uint32_t second = EnqueueRead(connection, client);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 1 && displayed.size() == 1; }));

    EXPECT_EQ(client.Done[0].ID, second);
    EXPECT_EQ(client.Done[0].Reply, R::trSuccess);
    EXPECT_EQ(displayed[0], "refused by the line driver");
    EXPECT_EQ(peer.RequestCount(), 1u);
}

TEST_F(Worker, FrameCopiesAreTakenWhileTheHandlersAreAssigned)
{
    std::vector<std::pair<bool, TBytes>> frames;
    connection.SetActive(true);
    peer.Answer(8, AnswerUnit1());
    EnqueueRead(connection, client, 7);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 1; }));
    connection.OnFrameSend = [&](TModbusConnection*, const TFrameData& d) { frames.push_back({true, d}); };
    connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) { frames.push_back({false, d}); };
    EnqueueRead(connection, client, 9);
    ASSERT_TRUE(WaitFor([&] { return client.Done.size() == 2; }));

    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].first);
    EXPECT_EQ(frames[0].second, Rtu({1, 3, 0, 9, 0, 2}));
    EXPECT_FALSE(frames[1].first);
    EXPECT_EQ(frames[1].second, Rtu(GoodAdu()));
}

TEST_F(Worker, MonitorReportsEveryFrameAndCloseEndsItsEndlessWait)
{
    struct TCaptured {
        uint8_t Address, Command;
        TBytes Data;
    };
    std::vector<TCaptured> captured;
    int invalid = 0;
    connection.SetConnectionMode(TConnectionMode::cmMonitor);
    connection.OnInspectCapturedFrame = [&](TModbusConnection*, uint8_t a, uint8_t c, const TFrameData& d) {
        captured.push_back({a, c, d});
    };
    connection.OnInvalidFrameDiscard = [&](TModbusConnection*) { ++invalid; };
    connection.SetActive(true);

    peer.Write(Rtu({5, 3, 0, 1, 0, 2}));
    ASSERT_TRUE(WaitFor([&] { return captured.size() == 1; }));
    peer.Write(BadCrc());
    ASSERT_TRUE(WaitFor([&] { return invalid == 1; }));

    EXPECT_EQ(captured[0].Address, 5);
    EXPECT_EQ(captured[0].Command, 3);
    EXPECT_EQ(captured[0].Data, (TBytes{0, 1, 0, 2}));
    const auto start = TClock::now();
    connection.SetActive(false);
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_TRUE(displayed.empty());
}

} // namespace
