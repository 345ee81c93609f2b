#include "FrameTestSupport.h"

#include <gtest/gtest.h>

using TM = TTransmissionMode;
using TC = TConnectionMode;

namespace {

bool Decode(TM mode, TC connection, const std::string& raw, TModbusBuffer& b)
{
    return DecodeFrame({mode, connection}, reinterpret_cast<const uint8_t*>(raw.data()),
                       static_cast<int>(raw.size()), b);
}

TEST(Checksums, CatalogueValueLowByteFirst)
{
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(digits.data(), digits.size()), 0x4B37);
    EXPECT_EQ(Wire(TM::tmRTU, digits).substr(9), "\x37\x4B");
}

// Published requests that read holding registers, in both encodings.
TEST(Frames, KnownFramesEncodeAndDecode)
{
    const struct { TM mode; Bytes adu; std::string wire; } rows[] = {
        {TM::tmRTU, {1, 3, 0, 0, 0, 10}, std::string("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8)},
        {TM::tmRTU, {0x11, 3, 0, 0x6B, 0, 3}, std::string("\x11\x03\x00\x6B\x00\x03\x76\x87", 8)},
        {TM::tmASCII, {1, 3, 0, 0, 0, 10}, ":01030000000AF2\r\n"},
        {TM::tmASCII, {0x11, 3, 0, 0x6B, 0, 3}, ":1103006B00037E\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.wire);
        EXPECT_EQ(Wire(row.mode, row.adu), row.wire);
        TModbusBuffer b(256);
        ASSERT_TRUE(Decode(row.mode, TC::cmServer, row.wire, b));
        EXPECT_EQ(Bytes(b.Data(), b.Data() + row.adu.size()), row.adu);
        EXPECT_EQ(b.Position(), static_cast<int>(row.adu.size())); // at the checksum
        EXPECT_EQ(b.Size() - b.Position(), SerialLayout(row.mode).ChecksumSize);
    }
}

TEST(Frames, EncodeEmptyOrTooLarge)
{
    uint8_t raw[16] = {0xEE};
    TModbusBuffer b(8);
    EXPECT_EQ(EncodeFrame(TM::tmASCII, b, raw, 16), 0);
    EXPECT_EQ(raw[0], 0xEE);
    Fill(b, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(EncodeFrame(TM::tmRTU, b, raw, 7), 7);
    EXPECT_THROW(EncodeFrame(TM::tmRTU, b, raw, 6), EModbusError);
    EXPECT_THROW(EncodeFrame(TM::tmASCII, b, raw, 16), EModbusError); // needs 17
    TModbusBuffer small(4);
    EXPECT_THROW(Decode(TM::tmRTU, TC::cmClient, Wire(TM::tmRTU, {1, 3, 2, 0, 0}), small), EModbusError);
    EXPECT_THROW(Decode(TM::tmASCII, TC::cmClient, Wire(TM::tmASCII, {1, 3, 2, 0}), small), EModbusError);
}

TEST(Frames, DecodeRejectsWithoutError)
{
    const struct { const char* name; TM mode; TC connection; std::string raw; bool accepted; } rows[] = {
        {"RtuFourBytesToClient", TM::tmRTU, TC::cmClient, Wire(TM::tmRTU, {1, 7}), false},
        {"RtuFourBytesToServer", TM::tmRTU, TC::cmServer, Wire(TM::tmRTU, {1, 7}), true},
        {"RtuFourBytesToMonitor", TM::tmRTU, TC::cmMonitor, Wire(TM::tmRTU, {1, 7}), true},
        {"RtuBadCrc", TM::tmRTU, TC::cmServer, std::string("\x01\x03\x00\x00\x00\x0A\xC5\xCE", 8), false},
        {"AsciiTooShort", TM::tmASCII, TC::cmMonitor, ":01\r\n", false},
        {"AsciiEvenLength", TM::tmASCII, TC::cmClient, ":01030000000AF2\r\n\n", false},
        {"AsciiNoColon", TM::tmASCII, TC::cmClient, ";01030000000AF2\r\n", false},
        {"AsciiNoCR", TM::tmASCII, TC::cmClient, ":01030000000AF2\n\n", false},
        {"AsciiNoLF", TM::tmASCII, TC::cmClient, ":01030000000AF2\r\r", false},
        {"AsciiBadLrc", TM::tmASCII, TC::cmClient, ":01030000000AF3\r\n", false},
        {"AsciiLowerCaseHex", TM::tmASCII, TC::cmClient, ":01030000000af2\r\n", false},
        // Read as digit 42, 'a' would give 0x2A, which the LRC D2 matches.
        {"AsciiNonHexWithMatchingLrc", TM::tmASCII, TC::cmClient, ":01030000000aD2\r\n", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TModbusBuffer b(256);
        b.WriteWord(0xFFFF);
        EXPECT_EQ(Decode(row.mode, row.connection, row.raw, b), row.accepted);
        EXPECT_EQ(b.Size(), row.accepted ? static_cast<int>(row.raw.size()) : 0);
    }
}

TEST(Frames, ClassifyReply)
{
    using enum TTransactionReply;
    const struct {
        const char* name;
        TM mode;
        Bytes reply; // without checksum; empty: nothing came
        bool anyAddress, corrupt;
        TTransactionReply expected;
        uint8_t kind, code;
    } rows[] = {
        {"Nothing", TM::tmRTU, {}, false, false, trNoReply, 0, 0},
        {"Corrupt", TM::tmRTU, {1, 3, 2, 0, 7}, false, true, trInvalidFrame, 0, 0},
        {"OtherServer", TM::tmRTU, {2, 3, 2, 0, 7}, false, false, trUnexpectedReply, 0, 0},
        {"OtherServerAccepted", TM::tmRTU, {2, 3, 2, 0, 7}, true, false, trSuccess, 0, 0},
        {"OtherFunction", TM::tmRTU, {1, 4, 2, 0, 7}, false, false, trUnmatchedReply, 0, 0},
        {"Registers", TM::tmRTU, {1, 3, 2, 0, 7}, false, false, trSuccess, 0, 0},
        {"Exception6", TM::tmRTU, {1, 0x83, 6}, false, false, trExceptionReply, 6, 6},
        {"Exception9", TM::tmRTU, {1, 0x83, 9}, false, false, trExceptionReply, 0, 9},
        {"ExceptionTooLong", TM::tmRTU, {1, 0x83, 2, 0}, false, false, trUnmatchedReply, 0, 0},
        {"AsciiException", TM::tmASCII, {1, 0x83, 2}, false, false, trExceptionReply, 2, 2},
        {"AsciiRegisters", TM::tmASCII, {1, 3, 2, 0, 7}, false, false, trSuccess, 0, 0},
    };
    TModbusBuffer request(256);
    Fill(request, {1, 3, 0, 0, 0, 1});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string raw = row.reply.empty() ? std::string() : Wire(row.mode, row.reply);
        if (row.corrupt)
            raw[3] ^= 0x10;
        TModbusBuffer reply(256);
        TExceptionInfo exception{99, 99};
        EXPECT_EQ(ClassifyReply({row.mode, TC::cmClient}, request, row.anyAddress,
                                reinterpret_cast<const uint8_t*>(raw.data()), static_cast<int>(raw.size()), reply,
                                exception),
                  row.expected);
        EXPECT_EQ(exception.Kind, row.kind);
        EXPECT_EQ(exception.Code, row.code);
    }
    TModbusBuffer function0x80(256);
    ASSERT_TRUE(Decode(TM::tmRTU, TC::cmClient, Wire(TM::tmRTU, {1, 0x80, 2}), function0x80));
    EXPECT_FALSE(IsExceptionReply({}, function0x80));
}

TEST(Frames, FrameInterval)
{
    using enum TDataBits;
    using enum TParityScheme;
    using enum TStopBits;
    const struct { TM mode; TLineTiming line; uint32_t expected; } rows[] = {
        {TM::tmRTU, {9600, db8, psNone, sb1, 4}, 16},           // 3.75 ms raised to the floor
        {TM::tmRTU, {9600, db8, psNone, sb1, 50}, 47},          // 46.875
        {TM::tmRTU, {115200, db8, psEven, sb1, 4}, 16},
        {TM::tmRTU, {1200, db7, psEven, sb2, 4}, 34},           // 10 bits: 33.3
        {TM::tmRTU, {9600, db8, psNone, sb1, 1000000}, 937500}, // 9e9 does not wrap
        {TM::tmRTU, {0, db8, psNone, sb1, 4}, 16},
        {TM::tmASCII, {9600, db8, psNone, sb1, 4}, 16},
        {TM::tmASCII, {300, db7, psEven, sb1, 100}, 100},
    };
    for (const auto& row : rows)
        EXPECT_EQ(FrameInterval(row.mode, row.line), row.expected) << row.line.Baud << " baud, "
                                                                   << row.line.SilentInterval;
}

} // namespace

// How many bytes a reply still lacks, as it arrives byte by byte: for every
// prefix of a sound reply the rest of it, then 0; -1 where its bytes cannot
// tell its length.
TEST(Frames, ReplyBytesMissing)
{
    auto rtu = [](Bytes pdu) {
        pdu.insert(pdu.begin(), 1);
        const uint16_t crc = Crc16(pdu.data(), pdu.size());
        pdu.push_back(static_cast<uint8_t>(crc));
        pdu.push_back(static_cast<uint8_t>(crc >> 8));
        return pdu;
    };
    const struct {
        const char* name;
        TM mode;
        uint8_t function;
        Bytes reply;
        std::vector<int> missing; // after 0, 1, 2, ... bytes of the reply
    } rows[] = {
        {"read of two registers", TM::tmRTU, 3, rtu({3, 4, 0, 1, 0, 2}), {2, 1, 3, 6, 5, 4, 3, 2, 1, 0}},
        {"exception", TM::tmRTU, 3, rtu({0x83, 2}), {2, 1, 3, 2, 1, 0}},
        {"write echo", TM::tmRTU, 6, rtu({6, 0, 5, 0xBE, 0xEF}), {2, 1, 6, 5, 4, 3, 2, 1, 0}},
        {"identification", TM::tmRTU, 17, rtu({17, 2, 0x2A, 0xFF}), {2, 1, 3, 4, 3, 2, 1, 0}},
        {"another function", TM::tmRTU, 3, rtu({4, 2, 0, 1}), {2, 1, -1, -1, -1, -1, -1}},
        {"Modbus/TCP read", TM::tmTCP, 3, {0, 9, 0, 0, 0, 5, 1, 3, 2, 0, 7}, {6, 5, 4, 3, 2, 1, 5, 4, 3, 2, 1, 0}},
        {"ASCII", TM::tmASCII, 3, {':', '0', '1'}, {-1, -1, -1, -1}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (std::size_t n = 0; n < row.missing.size(); ++n)
            EXPECT_EQ(ReplyBytesMissing(row.mode, row.function, row.reply.data(), static_cast<int>(n)), row.missing[n])
                << "after " << n << " bytes";
    }
    // A whole reply whose CRC or header is wrong cannot be ended by its length.
    Bytes badCrc = rtu({3, 2, 0, 1});
    badCrc.back() ^= 1;
    EXPECT_EQ(ReplyBytesMissing(TM::tmRTU, 3, badCrc.data(), static_cast<int>(badCrc.size())), -1);
    const Bytes protocolOne{0, 9, 0, 1, 0, 5, 1, 3, 2, 0, 7};
    EXPECT_EQ(ReplyBytesMissing(TM::tmTCP, 3, protocolOne.data(), 6), -1);
    const Bytes lengthZero{0, 9, 0, 0, 0, 0};
    EXPECT_EQ(ReplyBytesMissing(TM::tmTCP, 3, lengthZero.data(), 6), -1);
}
