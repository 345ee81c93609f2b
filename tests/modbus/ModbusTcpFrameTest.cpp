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

TEST(ModbusTcpReply, ExpectedLengthFromWhatArrived)
{
    EXPECT_EQ(ExpectedReplyLength(3, {}), ReplyHeadSize);
    const Bytes head3 = {0, 0, 0, 0, 0, 7, 1, 3, 4};
    EXPECT_EQ(ExpectedReplyLength(3, head3), 13u);
    const Bytes exception = {0, 0, 0, 0, 0, 3, 1, 0x83, 2};
    EXPECT_EQ(ExpectedReplyLength(3, exception), 9u);
    const Bytes echo6 = {0, 0, 0, 0, 0, 6, 1, 6, 0};
    EXPECT_EQ(ExpectedReplyLength(6, echo6), 12u);
    EXPECT_EQ(ExpectedReplyLength(16, Bytes{0, 0, 0, 0, 0, 6, 1, 16, 0}), 12u);
    // The largest byte count still fits the reply buffer.
    const Bytes huge = {0, 0, 0, 0, 0, 7, 1, 3, 255};
    EXPECT_EQ(ExpectedReplyLength(3, huge), 264u);
    EXPECT_LE(ExpectedReplyLength(3, huge), FrameBufferSize);
}

TEST(ModbusTcpReply, ResultCodes)
{
    struct Row {
        uint8_t function;
        Bytes reply;
        int expected;
    };
    const Row rows[] = {
        {3, {}, -1},                                              // nothing arrived
        {3, {0, 0, 0, 0, 0, 3, 1, 0x83, 2}, 2},                   // exception 2
        {6, {0, 0, 0, 0, 0, 3, 1, 0x86, 4}, 4},
        {3, {0, 0, 0, 0, 0, 3, 1, 0x83, 0}, -2},                  // exception naming no exception
        {3, {0, 0, 0, 0, 0, 5, 1, 4, 2, 0, 1}, -1},               // foreign function code
        {3, {0, 0, 0, 0, 0, 5, 1, 0x84, 2}, -1},
        {3, {0, 0, 0, 0}, -2},                                    // cut short in the header
        {3, {0, 0, 0, 0, 0, 7, 1, 3}, -2},                        // no byte count
        {3, {0, 0, 0, 0, 0, 7, 1, 3, 4, 0, 1, 0}, -2},            // byte count promises more
        {3, {0, 0, 0, 0, 0, 7, 1, 3, 4, 0, 1, 0, 2}, 0},
        {6, {0, 0, 0, 0, 0, 6, 1, 6, 0, 1, 0, 2}, 0},
        {6, {0, 0, 0, 0, 0, 6, 1, 6, 0, 1}, -2},                  // echo cut short
    };
    for (const auto& r : rows) {
        TRegisterData data{};
        EXPECT_EQ(DecodeReply(r.function, r.reply, data), r.expected) << "reply of " << r.reply.size() << " bytes";
    }
}

TEST(ModbusTcpReply, DataIsTakenAsTheByteCountSays)
{
    TRegisterData data{};
    data.fill(0x5555);
    const Bytes words = {0, 0, 0, 0, 0, 7, 1, 3, 4, 0x12, 0x34, 0xFF, 0xFE};
    ASSERT_EQ(DecodeReply(3, words, data), 0);
    EXPECT_EQ(data[0], 0x1234);
    EXPECT_EQ(data[1], 0xFFFE);
    EXPECT_EQ(data[2], 0x5555); // beyond the reply: untouched

    // An odd byte count parses the whole words only.
    const Bytes odd = {0, 0, 0, 0, 0, 6, 1, 3, 3, 0, 9, 0xAA};
    TRegisterData oddData{};
    ASSERT_EQ(DecodeReply(3, odd, oddData), 0);
    EXPECT_EQ(oddData[0], 9);
    EXPECT_EQ(oddData[1], 0);

    // Bits come least significant first.
    const Bytes bits = {0, 0, 0, 0, 0, 4, 1, 1, 1, 0b00000101};
    TRegisterData bitData{};
    ASSERT_EQ(DecodeReply(1, bits, bitData), 0);
    EXPECT_EQ((std::vector<uint16_t>(bitData.begin(), bitData.begin() + 8)),
              (std::vector<uint16_t>{1, 0, 1, 0, 0, 0, 0, 0}));
}

TEST(ModbusTcpReply, ByteCountBeyondOneHundredTwentyFiveWordsIsCapped)
{
    Bytes reply = {0, 0, 0, 0, 0, 0, 1, 3, 254};
    for (int i = 0; i < 254; ++i)
        reply.push_back(static_cast<uint8_t>(i));
    TRegisterData data{};
    data.fill(0xEEEE);
    ASSERT_EQ(DecodeReply(3, reply, data), 0);
    EXPECT_EQ(data[124], (248 << 8) | 249);
    EXPECT_EQ(data[125], 0xEEEE);
}
