#include "ConfigWordSources.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

const TOutputSource& Row(int code)
{
    return OutputSources[*FindIndex(code)];
}

} // namespace

TEST(OutputSources, EveryCodeFindsItsOwnRowAndOthersNone)
{
    for (int row = 0; row < int(OutputSources.size()); ++row)
        EXPECT_EQ(FindIndex(OutputSources[row].Code), row) << row;
    for (int code : {0, 1, 0x1F, 0x42, 0x86, -1})
        EXPECT_FALSE(FindIndex(code).has_value()) << code;
}

TEST(OutputSources, CaptionsNameAndCode)
{
    EXPECT_EQ(SourceCaption(OutputSources[0]), "Total Real Power (W) -- [0x02]");
    EXPECT_EQ(SourceCaption(Row(0x0A)), "Voltage, A-N -- [0x0a]");
    EXPECT_EQ(SourceCaption(Row(0x85)), "Debug Register (12345) -- [0x85]");
    EXPECT_EQ(SourceCaption(UnknownSource(0x42)), "Unknown source -- [0x42]");
    EXPECT_EQ(SourceCaption(UnknownSource(-2)), "Unknown source -- [0xfffe]");
}

TEST(OutputSources, MultiplierUsesTheRatiosTheQuantityNeeds)
{
    const long double pt = 3, ct = 40;
    EXPECT_EQ(SourceMultiplier(Row(0x02), true, pt, ct), 120); // power: both
    EXPECT_EQ(SourceMultiplier(Row(0x05), true, pt, ct), 3);   // voltage: PT
    EXPECT_EQ(SourceMultiplier(Row(0x07), true, pt, ct), 40);  // current: CT
    EXPECT_EQ(SourceMultiplier(Row(0x08), true, pt, ct), 1);   // power factor: none
    EXPECT_EQ(SourceMultiplier(Row(0x02), false, pt, ct), 1);
    EXPECT_EQ(SourceMultiplier(UnknownSource(0x42), true, pt, ct), 1);
}

TEST(OutputSources, RawValuesAsText)
{
    struct Case {
        int code;
        int32_t raw;
        long double m;
        const char* text;
    };
    const Case cases[] = {
        {0x07, 5000, 40, "200.000"}, {0x07, 5000, 1, "5.000"},   {0x08, 9999, 1, "0.9999"},
        {0x09, 600, 1, "60.0"},      {0x02, 3, 40, "120"},       {0x13, -25, 1, "-2.5"},
        {0x02, 100, 1.0L / 3, "33"}, {0x85, 12345, 1, "12345"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TagToText(Row(c.code), c.raw, c.m), c.text) << c.code << " " << c.raw;
    EXPECT_EQ(TagToText(UnknownSource(0x42), 5000, 1), "5000");
}

TEST(OutputSources, TextToRawTruncatesButKeepsExactValues)
{
    struct Case {
        int code;
        const char* text;
        long double m;
        int32_t raw;
    };
    const Case cases[] = {
        {0x07, "200.000", 40, 5000}, {0x07, "199.9999", 40, 4999}, {0x07, "5", 1, 5000},
        {0x07, "4.1", 1, 4100},      {0x09, "60.1", 1, 601},        {0x13, "-2.55", 1, -25},
        {0x02, "abc", 1, 0},         {0x02, "", 1, 0},              {0x02, "7", 0, 7},
        {0x02, "+12", 1, 12},        {0x02, "1e3", 1, 0},           {0x02, "1.2.3", 1, 0},
        {0x02, "99999999999999", 1, std::numeric_limits<int32_t>::max()},
        {0x02, "-99999999999999", 1, std::numeric_limits<int32_t>::min()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TextToTag(Row(c.code), c.text, c.m), c.raw) << c.code << " '" << c.text << "'";
}

// What the dialog shows must read back as the same raw value, or a field
// that is merely entered and left would change the meter's setting.
TEST(OutputSources, EveryRenderingReadsBackAsItsRawValue)
{
    for (const TOutputSource& source : OutputSources)
        for (long double m : {1.0L, 40.0L, 120.0L})
            for (int32_t raw = -32768; raw <= 65535; raw += 7) {
                const QString text = TagToText(source, raw, m);
                ASSERT_EQ(TextToTag(source, text, m), raw) << source.Name << " m=" << double(m) << " "
                                                           << text.toStdString();
            }
}
