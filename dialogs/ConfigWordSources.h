#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// A quantity that an analog output (or the pulse output) can follow: the code
// the meter keeps in its source register, the divisor from register units to
// engineering units, and whether the value is a primary-side quantity that
// the CT and PT ratios scale.
struct TOutputSource {
    int32_t Code;
    int32_t Scale;
    bool UsesCT;
    bool UsesPT;
    const char* Name;
    const char* Unit;
};

inline constexpr std::array<TOutputSource, 31> OutputSources{{
    {0x02, 1, true, true, "Total Real Power (W)", "W"},
    {0x03, 1, true, true, "Total Reactive Power (VAR)", "VAR"},
    {0x04, 1, true, true, "Total Apparent Power (VA)", "VA"},
    {0x05, 10, false, true, "Average Voltage (L-N)", "V"},
    {0x06, 10, false, true, "Average Voltage (L-L)", "V"},
    {0x07, 1000, true, false, "Average Current", "A"},
    {0x08, 10000, false, false, "System Power Factor", ""},
    {0x09, 10, false, false, "Frequency", "Hz"},
    {0x0A, 10, false, true, "Voltage, A-N", "V"},
    {0x0B, 10, false, true, "Voltage, B-N", "V"},
    {0x0C, 10, false, true, "Voltage, C-N", "V"},
    {0x0D, 10, false, true, "Voltage, A-B", "V"},
    {0x0E, 10, false, true, "Voltage, B-C", "V"},
    {0x0F, 10, false, true, "Voltage, A-C", "V"},
    {0x10, 1000, true, false, "Current, phase A", "A"},
    {0x11, 1000, true, false, "Current, phase B", "A"},
    {0x12, 1000, true, false, "Current, phase C", "A"},
    {0x13, 10, true, true, "W, phase A", "W"},
    {0x14, 10, true, true, "W, phase B", "W"},
    {0x15, 10, true, true, "W, phase C", "W"},
    {0x16, 10, true, true, "VAR, phase A", "VAR"},
    {0x17, 10, true, true, "VAR, phase B", "VAR"},
    {0x18, 10, true, true, "VAR, phase C", "VAR"},
    {0x19, 10, true, true, "VA, phase A", "VA"},
    {0x1A, 10, true, true, "VA, phase B", "VA"},
    {0x1B, 10, true, true, "VA, phase C", "VA"},
    {0x1C, 10000, false, false, "Power Factor, phase A", ""},
    {0x1D, 10000, false, false, "Power Factor, phase B", ""},
    {0x1E, 10000, false, false, "Power Factor, phase C", ""},
    {0x58, 1, true, true, "Total Demand Power (W)", "W"},
    {0x85, 1, false, false, "Debug Register (12345)", ""},
}};

// The last OutputSources row whose code is `code`, or nothing.
std::optional<int> FindIndex(int32_t code);

// A source register may hold a code that the table lacks. It is shown and
// stored as it came, with no scaling and no unit.
TOutputSource UnknownSource(int32_t code);

// The combo box text of a source: "Name -- [0xcc]".
QString SourceCaption(const TOutputSource& source);

// The ratio multiplier for a source: PT ratio and CT ratio as the source uses
// them, or 1 when the ratios are left out.
long double SourceMultiplier(const TOutputSource& source, bool includeRatios, long double ptRatio,
                             long double ctRatio);

// A raw register value as engineering text: raw * multiplier / scale with as
// many decimals as the scale has tens.
QString TagToText(const TOutputSource& source, int32_t raw, long double multiplier);

// Engineering text back to a raw register value, truncated toward zero. Text
// that is not a number gives 0; a multiplier of 0 counts as 1.
int32_t TextToTag(const TOutputSource& source, const QString& text, long double multiplier);

// The text as a number in the edits' own notation ("." as the decimal point,
// whatever the locale), or nothing.
std::optional<long double> ParseNumber(const QString& text);
