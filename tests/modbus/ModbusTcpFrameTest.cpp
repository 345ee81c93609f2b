#include "ModbusTcpFrame.h"

#include <gtest/gtest.h>

using namespace ModbusTcp;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Encode(uint8_t unit, uint8_t function, uint16_t reg, uint16_t length, const TRegisterData& data = {})
{
    return EncodeRequest({unit, function, reg, length}, data);
}

} // namespace

TEST(ModbusTcpRequest, LayoutsOfEveryFunction)
{
    TRegisterData data{};
    data[0] = 0x1234;
    data[1] = 0xABCD;
    data[2] = 0;
    data[3] = 7;
    struct Row {
        uint8_t function;
        uint16_t reg, length;
        Bytes expected;
    };
    const Row rows[] = {
        {3, 0, 10, {0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 0x0A}},
        {3, 0x0300, 200, {0, 0, 0, 0, 0, 6, 1, 3, 3, 0, 0, 125}},   // quantity capped
        {4, 5, 2, {0, 0, 0, 0, 0, 6, 1, 4, 0, 5, 0, 2}},
        {1, 1, 300, {0, 0, 0, 0, 0, 6, 1, 1, 0, 1, 0, 250}},        // bit reads capped at 250
        {2, 1, 9, {0, 0, 0, 0, 0, 6, 1, 2, 0, 1, 0, 9}},
        {5, 7, 0, {0, 0, 0, 0, 0, 6, 1, 5, 0, 7, 0xFF, 0}},         // coil on: data[0] != 0
        {6, 0x0100, 0, {0, 0, 0, 0, 0, 6, 1, 6, 1, 0, 0x12, 0x34}},
        {16, 0x0100, 2, {0, 0, 0, 0, 0, 0x0B, 1, 0x10, 1, 0, 0, 2, 4, 0x12, 0x34, 0xAB, 0xCD}},
        // Four coils: 1, 1, 0, 1 packed least significant bit first.
        {15, 0x13, 4, {0, 0, 0, 0, 0, 8, 1, 0x0F, 0, 0x13, 0, 4, 1, 0x0B}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Encode(1, r.function, r.reg, r.length, data), r.expected) << "function " << int(r.function);
}

TEST(ModbusTcpRequest, LengthFieldCountsTheBytesThatFollow)
{
    TRegisterData data{};
    for (uint16_t n : {1, 50, 123}) {
        Bytes frame = Encode(9, 16, 0, n, data);
        EXPECT_EQ(frame.size(), 13u + 2 * n);
        EXPECT_EQ((frame[4] << 8 | frame[5]) + 6, static_cast<int>(frame.size()));
        EXPECT_EQ(frame[6], 9);
    }
}

TEST(ModbusTcpRequest, RefusesWhatCannotBeSent)
{
    EXPECT_THROW(Encode(1, 16, 0, 124), EModbusTcpError);
    EXPECT_THROW(Encode(1, 16, 0, 0), EModbusTcpError);
    for (uint8_t f : {0, 7, 8, 17, 23, 43, 0x83, 255})
        EXPECT_THROW(Encode(1, f, 0, 1), EModbusTcpError) << int(f);
    try {
        Encode(1, 16, 0, 200);
        FAIL();
    } catch (const EModbusTcpError& e) {
        EXPECT_NE(std::string(e.what()).find("200"), std::string::npos);
    }
}

TEST(ModbusTcpRequest, FrameIsTheHeaderAroundThePdu)
{
    const Bytes pdu = ModbusPdu::ReadRequest(3, 0, 10);
    const Bytes frame = EncodeFrame(1, pdu);
    EXPECT_EQ(frame, (Bytes{0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 0x0A}));
    EXPECT_EQ(Bytes(FramePdu(frame).begin(), FramePdu(frame).end()), pdu);
    EXPECT_TRUE(FramePdu(Bytes{0, 0, 0, 0, 0, 6, 1}).empty());
}

TEST(ModbusTcpReply, ExpectedLengthFromWhatArrived)
{
    EXPECT_EQ(ExpectedReplyLength(3, {}), HeaderSize + 1);
    EXPECT_EQ(ExpectedReplyLength(3, Bytes{0, 0, 0, 0, 0, 7, 1}), HeaderSize + 1);
    EXPECT_EQ(ExpectedReplyLength(3, Bytes{0, 0, 0, 0, 0, 7, 1, 3}), 9u);
    EXPECT_EQ(ExpectedReplyLength(3, Bytes{0, 0, 0, 0, 0, 7, 1, 3, 4}), 13u);
    EXPECT_EQ(ExpectedReplyLength(3, Bytes{0, 0, 0, 0, 0, 3, 1, 0x83}), 9u);
    EXPECT_EQ(ExpectedReplyLength(6, Bytes{0, 0, 0, 0, 0, 6, 1, 6}), 12u);
    EXPECT_EQ(ExpectedReplyLength(16, Bytes{0, 0, 0, 0, 0, 6, 1, 16, 0}), 12u);
    // A foreign function code ends the wait with what has arrived.
    EXPECT_EQ(ExpectedReplyLength(3, Bytes{0, 0, 0, 0, 0, 6, 1, 4}), 8u);
    // The largest byte count still fits the largest frame.
    EXPECT_EQ(ExpectedReplyLength(3, Bytes{0, 0, 0, 0, 0, 7, 1, 3, 255}), MaxFrameSize);
}

namespace {

struct DecodeRow {
    const char* what;
    TRequest request;
    uint16_t data0; // the value of a single write
    Bytes reply;
    int expected;
};

const TRequest Read10{1, 3, 0, 10};
const TRequest Read2{1, 3, 0, 2};
const TRequest Write6{1, 6, 1, 0};
const TRequest Write16{1, 16, 0x0100, 2};

Bytes Head(std::initializer_list<uint8_t> pdu)
{
    Bytes frame{0, 0, 0, 0, 0, static_cast<uint8_t>(pdu.size() + 1), 1};
    for (uint8_t byte : pdu)
        frame.push_back(byte);
    return frame;
}

} // namespace

TEST(ModbusTcpReply, ResultCodes)
{
    const DecodeRow rows[] = {
        {"nothing arrived", Read10, 0, {}, NoReply},
        {"exception 2", Read10, 0, Head({0x83, 2}), 2},
        {"exception 4 to a write", Write6, 2, Head({0x86, 4}), 4},
        {"exception naming none", Read10, 0, Head({0x83, 0}), InvalidReply},
        {"foreign function code", Read2, 0, Head({4, 2, 0, 1}), NoReply},
        {"foreign exception", Read2, 0, Head({0x84, 2}), NoReply},
        {"cut short in the header", Read2, 0, {0, 0, 0, 0}, InvalidReply},
        {"no byte count", Read2, 0, Head({3}), InvalidReply},
        {"byte count promises more", Read2, 0, Head({3, 4, 0, 1, 0}), InvalidReply},
        {"sound read", Read2, 0, Head({3, 4, 0, 1, 0, 2}), 0},
        {"read of 10 with no bytes", Read10, 0, Head({3, 0}), InvalidReply},
        {"read of 10 with 3 bytes", Read10, 0, Head({3, 3, 0, 1, 0}), InvalidReply},
        {"read of 10 with 4 bytes", Read10, 0, Head({3, 4, 0, 1, 0, 2}), InvalidReply},
        {"sound echo of function 6", Write6, 2, Head({6, 0, 1, 0, 2}), 0},
        {"echo with another value", Write6, 3, Head({6, 0, 1, 0, 2}), UnmatchedReply},
        {"echo of another register", Write6, 2, Head({6, 0, 9, 0, 2}), UnmatchedReply},
        {"echo cut short", Write6, 2, Head({6, 0, 1}), InvalidReply},
        {"sound echo of function 16", Write16, 0, Head({16, 1, 0, 0, 2}), 0},
        {"echo of another start", Write16, 0, Head({16, 1, 1, 0, 2}), UnmatchedReply},
        {"echo of another count", Write16, 0, Head({16, 1, 0, 0, 3}), UnmatchedReply},
    };
    for (const auto& r : rows) {
        TRegisterData data{};
        data[0] = r.data0;
        EXPECT_EQ(DecodeReply(r.request, r.reply, data), r.expected) << r.what;
    }
}

TEST(ModbusTcpReply, ValuesOfASoundReadOnly)
{
    TRegisterData data{};
    data.fill(0x5555);
    ASSERT_EQ(DecodeReply(Read2, Head({3, 4, 0x12, 0x34, 0xFF, 0xFE}), data), 0);
    EXPECT_EQ(data[0], 0x1234);
    EXPECT_EQ(data[1], 0xFFFE);
    EXPECT_EQ(data[2], 0x5555); // beyond the reply: untouched

    // A short reply leaves every value as it was.
    TRegisterData shortData{};
    shortData.fill(0x5555);
    EXPECT_EQ(DecodeReply(Read10, Head({3, 4, 0, 1, 0, 2}), shortData), InvalidReply);
    EXPECT_EQ(shortData[0], 0x5555);

    // Bits come least significant first, one word each.
    TRegisterData bitData{};
    ASSERT_EQ(DecodeReply({1, 1, 0, 8}, Head({1, 1, 0b00000101}), bitData), 0);
    EXPECT_EQ((std::vector<uint16_t>(bitData.begin(), bitData.begin() + 8)),
              (std::vector<uint16_t>{1, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(DecodeReply({1, 1, 0, 9}, Head({1, 1, 0xFF}), bitData), InvalidReply); // 9 bits need 2 bytes
}

TEST(ModbusTcpReply, ByteCountBeyondOneHundredTwentyFiveWordsIsInvalid)
{
    Bytes reply = {0, 0, 0, 0, 0, 0, 1, 3, 254};
    for (int i = 0; i < 254; ++i)
        reply.push_back(static_cast<uint8_t>(i));
    TRegisterData data{};
    data.fill(0xEEEE);
    EXPECT_EQ(DecodeReply({1, 3, 0, 125}, reply, data), InvalidReply);
    EXPECT_EQ(data[0], 0xEEEE);
    EXPECT_EQ(data[125], 0xEEEE);
}
