#include "ModbusPdu.h"

#include <gtest/gtest.h>

#include <string>

using namespace ModbusPdu;
using Bytes = std::vector<uint8_t>;

namespace {

struct LengthRow {
    const char* name;
    uint8_t function;
    Bytes received;
    std::size_t expected;
};

void PrintTo(const LengthRow& row, std::ostream* os)
{
    *os << row.name;
}

class ReplyLengthTest : public ::testing::TestWithParam<LengthRow> {};

// Every function code of the protocol that the master knows, before and
// after the byte that decides the length, and as an exception reply.
const LengthRow LengthRows[] = {
    {"NothingYet", 3, {}, 1},
    {"ReadCoilsNeedsByteCount", 1, {1}, 2},
    {"ReadCoils", 1, {1, 2}, 4},
    {"ReadDiscreteInputs", 2, {2, 1}, 3},
    {"ReadHoldingNeedsByteCount", 3, {3}, 2},
    {"ReadHolding", 3, {3, 20}, 22},
    {"ReadHoldingLargestByteCountIsCapped", 3, {3, 255}, MaxPduSize},
    {"ReadInput", 4, {4, 4, 0}, 6},
    {"WriteSingleCoil", 5, {5}, 5},
    {"WriteSingleRegister", 6, {6, 0}, 5},
    {"ReadExceptionStatus", 7, {7}, 2},
    {"Diagnostics", 8, {8}, 5},
    {"WriteMultipleCoils", 15, {15}, 5},
    {"WriteMultipleRegisters", 16, {16, 0, 1}, 5},
    {"ReportServerIdNeedsByteCount", 17, {17}, 2},
    {"ReportServerId", 17, {17, 10}, 12},
    {"ReadFileRecord", 20, {20, 9}, 11},
    {"WriteFileRecord", 21, {21, 14}, 16},
    {"MaskWriteRegister", 22, {22}, 7},
    {"ReadWriteRegisters", 23, {23, 6}, 8},
    {"ReadWriteRegistersNeedsByteCount", 23, {23}, 2},
    {"ExceptionToReadCoils", 1, {0x81}, 2},
    {"ExceptionToReadHolding", 3, {0x83, 2}, 2},
    {"ExceptionToWriteSingleRegister", 6, {0x86}, 2},
    {"ExceptionToReadExceptionStatus", 7, {0x87}, 2},
    {"ExceptionToDiagnostics", 8, {0x88}, 2},
    {"ExceptionToWriteMultipleRegisters", 16, {0x90, 3}, 2},
    {"ExceptionToReportServerId", 17, {0x91}, 2},
    {"ExceptionToReadFileRecord", 20, {0x94}, 2},
    {"ExceptionToWriteFileRecord", 21, {0x95}, 2},
    {"ExceptionToMaskWrite", 22, {0x96}, 2},
    {"ExceptionToReadWrite", 23, {0x97}, 2},
    {"ForeignFunctionIsCompleteAsItStands", 3, {4, 2, 0}, 3},
    {"ForeignExceptionIsCompleteAsItStands", 3, {0x84}, 1},
    {"UnknownFunctionIsCompleteAsItStands", 43, {43, 14, 1}, 3},
    {"BytesBeyondTheReplyDoNotCount", 6, {6, 0, 1, 0, 2, 9, 9}, 5},
};

} // namespace

TEST_P(ReplyLengthTest, FromWhatHasArrived)
{
    const LengthRow& row = GetParam();
    EXPECT_EQ(ReplyLength(row.function, row.received), row.expected);
}

INSTANTIATE_TEST_SUITE_P(EveryFunction, ReplyLengthTest, ::testing::ValuesIn(LengthRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ModbusPduRequest, Layouts)
{
    const uint16_t words[] = {0x1234, 0xABCD};
    const bool coils[] = {true, true, false, true, false, false, false, false, true};
    const std::pair<Bytes, Bytes> rows[] = {
        {ReadRequest(3, 0x0102, 10), {3, 1, 2, 0, 10}},
        {ReadRequest(1, 0, 2000), {1, 0, 0, 0x07, 0xD0}},
        {WriteSingleCoilRequest(7, true), {5, 0, 7, 0xFF, 0}},
        {WriteSingleCoilRequest(7, false), {5, 0, 7, 0, 0}},
        {WriteSingleRegisterRequest(0x0100, 0x1234), {6, 1, 0, 0x12, 0x34}},
        {WriteMultipleCoilsRequest(0x13, coils), {15, 0, 0x13, 0, 9, 2, 0x0B, 0x01}},
        {WriteMultipleRegistersRequest(0x0100, words), {16, 1, 0, 0, 2, 4, 0x12, 0x34, 0xAB, 0xCD}},
        {ReadExceptionStatusRequest(), {7}},
        {DiagnosticsRequest(0, 0xA537), {8, 0, 0, 0xA5, 0x37}},
        {ReportServerIdRequest(), {17}},
        {MaskWriteRegisterRequest(4, 0xF2, 0x25), {22, 0, 4, 0, 0xF2, 0, 0x25}},
        {ReadWriteRegistersRequest(3, 6, 0x0E, words), {23, 0, 3, 0, 6, 0, 0x0E, 0, 2, 4, 0x12, 0x34, 0xAB, 0xCD}},
    };
    for (const auto& [built, expected] : rows)
        EXPECT_EQ(built, expected) << "function " << int(expected[0]);
}

TEST(ModbusPduReply, RegisterValuesOnlyWhenTheByteCountIsTheCountAsked)
{
    struct Row {
        Bytes pdu;
        uint16_t count;
        bool expected;
    };
    const Row rows[] = {
        {{3, 4, 0x12, 0x34, 0xFF, 0xFE}, 2, true},
        {{3, 5, 0x12, 0x34, 0xFF, 0xFE, 0}, 2, true}, // an odd extra byte halves away
        {{3, 0}, 10, false},
        {{3, 3, 0, 1, 0}, 10, false},
        {{3, 4, 0, 1, 0, 2}, 10, false},
        {{3, 20, 0, 1}, 10, false}, // the count is right, the data is not there
        {{3}, 1, false},
    };
    for (const auto& r : rows) {
        std::vector<uint16_t> dest(r.count, 0x5555);
        EXPECT_EQ(ReadRegistersReply(r.pdu, r.count, dest), r.expected) << "byte count " << int(r.pdu.size() > 1 ? r.pdu[1] : -1);
        if (r.expected)
            EXPECT_EQ(dest, (std::vector<uint16_t>{0x1234, 0xFFFE}));
        else
            EXPECT_EQ(dest, std::vector<uint16_t>(r.count, 0x5555)); // untouched
    }
    std::vector<uint16_t> tooSmall(1);
    EXPECT_FALSE(ReadRegistersReply(Bytes{3, 4, 0, 1, 0, 2}, 2, tooSmall));
}

TEST(ModbusPduReply, EchoesExceptionsAndFunctionCodes)
{
    EXPECT_TRUE(EchoMatches(Bytes{6, 0, 0x96, 1, 2}, 150, 0x0102));
    EXPECT_FALSE(EchoMatches(Bytes{6, 0, 0x96, 1, 3}, 150, 0x0102));
    EXPECT_FALSE(EchoMatches(Bytes{6, 0, 0x97, 1, 2}, 150, 0x0102));
    EXPECT_FALSE(EchoMatches(Bytes{6, 0, 0x96, 1}, 150, 0x0102));

    EXPECT_TRUE(IsException(Bytes{0x83, 2}));
    EXPECT_FALSE(IsException(Bytes{0x80, 2})); // 0x80 itself is no exception
    EXPECT_FALSE(IsException(Bytes{0x83, 2, 0}));
    EXPECT_FALSE(IsException(Bytes{3, 2}));

    EXPECT_TRUE(FunctionMatches(3, Bytes{3}));
    EXPECT_TRUE(FunctionMatches(3, Bytes{0x83}));
    EXPECT_FALSE(FunctionMatches(3, Bytes{0x84}));
    EXPECT_FALSE(FunctionMatches(3, Bytes{}));
}
