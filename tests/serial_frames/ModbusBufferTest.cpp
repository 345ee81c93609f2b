#include "ModbusBits.h"
#include "ModbusBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace {

TEST(Buffer, CursorSizeAndMessages)
{
    const char* noSpace = "There is not enough space in the buffer to perform the requested action";
    struct Row {
        const char* name;
        std::function<void(TModbusBuffer&)> act;
        int position, size;
        const char* error;
    };
    const Row rows[] = {
        {"PositionAtSize", [](auto& b) { b.SetPosition(0); b.SetPosition(3); }, 3, 3, nullptr},
        {"PositionBeyondSize", [](auto& b) { b.SetPosition(4); }, 3, 3, "Buffer position is invalid (4)"},
        {"NegativePosition", [](auto& b) { b.SetPosition(-1); }, 3, 3, "Buffer position is invalid (-1)"},
        {"SizeBelowCursor", [](auto& b) { b.SetSize(1); }, 1, 1, nullptr},
        {"SizeUpToCapacity", [](auto& b) { b.SetSize(4); }, 3, 4, nullptr},
        {"SizeBeyondCapacity", [](auto& b) { b.SetSize(5); }, 3, 3, "Buffer size is invalid (5)"},
        {"RelativeSeek", [](auto& b) { b.Seek(TBufferSeekOrigin::soForward1); }, 3, 3, "Buffer position is invalid (4)"},
        {"SeekBack2", [](auto& b) { b.Seek(TBufferSeekOrigin::soBack2); }, 1, 3, nullptr},
        {"WriteInside", [](auto& b) { b.Seek(TBufferSeekOrigin::soStart); b.WriteWord(1); }, 2, 3, nullptr},
        {"WriteFillsBlock", [](auto& b) { b.WriteByte(1); }, 4, 4, nullptr},
        {"WritePastCapacity", [](auto& b) { b.WriteWordLE(1); }, 3, 3, noSpace},
        {"ReadBeyondSizeInsideBlock", [](auto& b) { b.ReadByte(); b.ReadBytes(nullptr, 0); }, 3, 3, nullptr},
        {"ReadPastCapacity", [](auto& b) { uint8_t d[2]; b.ReadBytes(d, 2); }, 3, 3, noSpace},
        {"ReadsStayBigEndian", [](auto& b) {
             b.Seek(TBufferSeekOrigin::soStart);
             EXPECT_EQ(b.ReadWord(), 0x1234);
             EXPECT_EQ(b.ReadWordLE(), 0x3412);
         }, 0, 3, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TModbusBuffer b(4);
        b.WriteWord(0x1234);
        b.WriteByte(0x56);
        try {
            row.act(b);
            EXPECT_EQ(row.error, nullptr);
        } catch (const EModbusError& e) {
            EXPECT_STREQ(e.what(), row.error);
        }
        EXPECT_EQ(b.Position(), row.position);
        EXPECT_EQ(b.Size(), row.size);
    }
}

// Any sequence of operations keeps 0 <= Position <= Size <= Capacity, and a
// refused one changes nothing.
TEST(Buffer, InvariantHoldsUnderRandomOperations)
{
    std::mt19937 random(7);
    TModbusBuffer b(6);
    for (int step = 0; step < 20000; ++step) {
        const int before[] = {b.Position(), b.Size()};
        const int arg = static_cast<int>(random() % 10) - 2;
        try {
            switch (random() % 6) {
            case 0: b.SetPosition(arg); break;
            case 1: b.SetSize(arg); break;
            case 2: b.Seek(static_cast<TBufferSeekOrigin>(random() % 6)); break;
            case 3: b.WriteWord(static_cast<uint16_t>(step)); break;
            case 4: b.WriteByte(static_cast<uint8_t>(step)); break;
            default: b.ReadWordLE(); break;
            }
        } catch (const EModbusError&) {
            ASSERT_EQ(b.Position(), before[0]);
            ASSERT_EQ(b.Size(), before[1]);
        }
        ASSERT_TRUE(0 <= b.Position() && b.Position() <= b.Size() && b.Size() <= b.Capacity());
    }
}

TEST(Bits, PackAndUnpackLeastSignificantFirst)
{
    const std::vector<bool> nine = {true, false, true, true, false, false, false, false, true};
    TModbusBuffer b(4);
    PackBits(nine, b);
    PackBits(std::vector<bool>(8, true), b);
    ASSERT_EQ(b.Size(), 3);
    b.Seek(TBufferSeekOrigin::soStart);
    EXPECT_EQ(b.ReadWord(), 0x0D01);
    std::vector<bool> back(9);
    UnpackBits(b, back);
    EXPECT_EQ(back, nine);
    EXPECT_EQ(b.Position(), 2);
    EXPECT_EQ(WordsToSingle(0x3F80, 0x0000, true), 1.0f);
    EXPECT_EQ(WordsToSingle(0x0000, 0xC020, false), -2.5f);
}

} // namespace
