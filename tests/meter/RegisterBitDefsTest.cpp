#include "KelvaneCOM.h"
#include "RegisterBitDefs.h"

#include <gtest/gtest.h>

TEST(RegisterBitDefs, DefinitionsOfBothBlocks)
{
    EXPECT_FALSE(RegisterBitDefs::Lookup(127));
    EXPECT_FALSE(RegisterBitDefs::Lookup(163));
    EXPECT_FALSE(RegisterBitDefs::Lookup(511));
    EXPECT_FALSE(RegisterBitDefs::Lookup(585));
    struct Row {
        int reg;
        int bits;
        bool isSigned;
        std::string name;
    };
    const Row rows[] = {
        {128, 16, false, "PT Ratio Primary"}, {133, 16, false, "Fixed 12345"},
        {142, 16, false, "Configuration Word"}, {150, 16, false, "Scratch Pad [0]"},
        {157, 16, false, "Scratch Pad [7]"}, {158, 16, false, "Revenue Protection"},
        {159, 16, false, "Lo I Threshold"}, {162, 16, true, "PF c Offset"},
        {512, 16, false, "Reserved"}, {522, 24, true, "AIrms"}, {523, 24, false, "BIrms"},
        {527, 24, false, "CVrms"}, {528, 12, false, "Freq"}, {529, 8, true, "Temp"},
        {535, 8, false, "LCycMode"}, {538, 24, false, "RStatus"}, {540, 16, false, "LineCyc"},
        {547, 8, false, "Gain"}, {548, 12, true, "AVrmsGain"}, {574, 12, true, "CVarOS"},
        {575, 7, true, "APhCal"}, {577, 7, true, "CPhCal"}, {580, 8, false, "VADiv"},
        {581, 16, false, "APCFNUM"}, {582, 12, false, "APCFDEN"}, {584, 12, false, "VARCFDEN"},
    };
    for (const auto& r : rows) {
        const auto def = RegisterBitDefs::Lookup(r.reg);
        ASSERT_TRUE(def) << r.reg;
        EXPECT_EQ(def->Bits, r.bits) << r.reg;
        EXPECT_EQ(def->Signed, r.isSigned) << r.reg;
        EXPECT_EQ(def->Name, r.name) << r.reg;
    }
}

TEST(RegisterBitDefs, MaskedNumber)
{
    struct Row {
        int32_t value;
        int bits;
        bool isSigned;
        int32_t expected;
    };
    const Row rows[] = {
        {0x1234, 16, false, 0x1234}, {-1, 32, true, -1},        {0xFFFF, 16, true, -1},
        {0xFFFF, 16, false, 65535},  {0x40, 7, true, -64},      {0x3F, 7, true, 63},
        {0xC1, 7, true, -63},        {0x800, 12, true, -2048},  {0x7FF, 12, true, 2047},
        {0xF123, 12, false, 0x123},  {0xFFFF, 24, true, 0xFFFF}, {0x800000, 24, true, -8388608},
        {-1, 32, false, -1},         {0x12345, 0, true, 0},     {5, 1, true, -1},
        {0x7FFFFFFF, 32, true, 0x7FFFFFFF},
    };
    for (const auto& r : rows)
        EXPECT_EQ(TKelvane::MaskedNumber(r.value, r.bits, r.isSigned), r.expected)
            << std::hex << r.value << " bits " << std::dec << r.bits;
}

TEST(RegisterBitDefs, OutOfRangeWidthsAreClamped)
{
    EXPECT_EQ(MaskedNumber(0x1234, 40, false), 0x1234);
    EXPECT_EQ(MaskedNumber(0x1234, -3, true), 0);
}
