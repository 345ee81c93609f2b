#include "MeterModel.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <memory>

namespace {

// A meter whose clock the test sets.
struct rFixedClockMeter {
    explicit rFixedClockMeter(uint8_t unit = 1)
        : Time(std::make_shared<double>(0.0))
        , Meter(unit, [t = Time] { return *t; })
    {
    }
    uint16_t Read(uint16_t reg)
    {
        std::vector<uint16_t> v;
        EXPECT_EQ(Meter.ReadRegisters(reg, 1, v), 0) << "register " << reg;
        return v.empty() ? 0 : v[0];
    }
    int16_t ReadSigned(uint16_t reg) { return static_cast<int16_t>(Read(reg)); }
    void Write(uint16_t reg, uint16_t value)
    {
        ASSERT_EQ(Meter.WriteRegisters(reg, std::span(&value, 1)), 0) << "register " << reg;
    }
    std::shared_ptr<double> Time;
    TMeterModel Meter;
};

float Decode(uint16_t high, uint16_t low)
{
    return std::bit_cast<float>(static_cast<uint32_t>(high) << 16 | low);
}

// Index into the logged quantities.
enum : int {
    TotalEnergy = 0, TotalW = 1, TotalVar = 2, TotalVa = 3, AvgVln = 4, AvgVll = 5, AvgAmps = 6,
    SystemPf = 7, Frequency = 8, Demand = 9, Vln = 10, Vll = 13, Amps = 16, W = 19, Var = 22,
    Va = 25, Pf = 28, Version = 31, Import = 32, TotalImport = 35, Export = 36, NetEnergy = 40,
    Inductive = 44, TotalInductive = 47, Capacitive = 48, VarHours = 52, VaHours = 56, TotalVaHours = 59,
};

TEST(MeterModel, ConfigurationDefaults)
{
    rFixedClockMeter m(7);
    const struct {
        uint16_t Reg, Value;
    } rows[] = {
        {128, 1}, {129, 1}, {130, 200}, {131, 5}, {132, 15}, {133, 12345},
        {142, 0x05E6}, {149, 10007}, {150, 0}, {157, 0}, {160, 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(m.Read(r.Reg), r.Value) << "register " << r.Reg;
    EXPECT_EQ(m.Meter.Identification(), "Kelvane power transducer, serial 10007, firmware 5.70");
}

struct rWriteCase {
    const char* Name;
    uint16_t First;
    std::vector<uint16_t> Values;
    uint8_t Exception;
    std::vector<uint16_t> ReadBack; // after the write, from First
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const rWriteCase& row, std::ostream* os) { *os << row.Name; }

class MeterModelWrite : public testing::TestWithParam<rWriteCase> {};

TEST_P(MeterModelWrite, StoresOrRefusesWhole)
{
    const rWriteCase& c = GetParam();
    rFixedClockMeter m;
    std::vector<uint16_t> before;
    ASSERT_EQ(m.Meter.ReadRegisters(c.First, static_cast<uint16_t>(c.ReadBack.size()), before), 0);

    EXPECT_EQ(m.Meter.WriteRegisters(c.First, c.Values), c.Exception);

    std::vector<uint16_t> after;
    ASSERT_EQ(m.Meter.ReadRegisters(c.First, static_cast<uint16_t>(c.ReadBack.size()), after), 0);
    if (c.Exception != 0)
        EXPECT_EQ(after, before) << "a refused write changed registers";
    else
        EXPECT_EQ(after, c.ReadBack);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MeterModelWrite,
    testing::Values(
        rWriteCase{"Scratchpad", 150, {0xBEEF}, 0, {0xBEEF}},
        rWriteCase{"SerialNumber", 149, {4242}, 0, {4242}},
        rWriteCase{"Fixed12345Refused", 133, {1}, 2, {12345}},
        rWriteCase{"RangeOver133Refused", 132, {30, 1, 2}, 2, {15, 12345, 25}},
        rWriteCase{"BelowConfigRefused", 127, {1, 1}, 2, {0, 1}},
        rWriteCase{"PastConfigRefusedWhole", 156, {1, 2, 3, 4, 5, 6, 7, 8}, 2, {0, 0, 0x1F40, 0, 0, 0, 0, 0}},
        rWriteCase{"MeasurementRegisterRefused", 2, {100}, 2, {0}},
        rWriteCase{"FloatBlockRefused", 900, {1}, 2, {0}},
        rWriteCase{"PastMapRefused", 1023, {1, 2}, 2, {0}},
        // Measurement block: values keep only their register's bits.
        rWriteCase{"PhCal7Bits", 575, {300}, 0, {44}},
        rWriteCase{"Gain12Bits", 548, {0xFFFF}, 0, {0x0FFF}},
        rWriteCase{"WDiv8Bits", 578, {0x1234}, 0, {0x34}},
        rWriteCase{"LastOfBlock", 584, {0xF123}, 0, {0x0123}},
        rWriteCase{"PastMeasurementRefused", 584, {1, 1}, 2, {0x3F}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(MeterModel, ReadRangeEndsAt1023)
{
    rFixedClockMeter m;
    std::vector<uint16_t> v;
    EXPECT_EQ(m.Meter.ReadRegisters(1023, 1, v), 0);
    EXPECT_EQ(m.Meter.ReadRegisters(1023, 2, v), 2);
    EXPECT_EQ(m.Meter.ReadRegisters(1024, 1, v), 2);
    EXPECT_EQ(m.Meter.ReadRegisters(65535, 1, v), 2);
    ASSERT_EQ(m.Meter.ReadRegisters(900, 124, v), 0);
    for (uint16_t x : v)
        EXPECT_EQ(x, 0) << "registers past the float block read 0";
}

TEST(MeterModel, WordOrderFollowsBit13OfConfigWord)
{
    rFixedClockMeter m;
    *m.Time = 1234.5;
    const uint16_t a = m.Read(768 + 2 * Frequency), b = m.Read(769 + 2 * Frequency);
    EXPECT_NEAR(Decode(a, b), 50.0, 0.05) << "bit 13 clear: high word first";
    EXPECT_FALSE(std::abs(Decode(b, a) - 50.0f) < 1.0f);

    m.Write(142, 0x05E6 | 0x2000);
    const uint16_t c = m.Read(768 + 2 * Frequency), d = m.Read(769 + 2 * Frequency);
    EXPECT_EQ(c, b);
    EXPECT_EQ(d, a);
    EXPECT_NEAR(Decode(d, c), 50.0, 0.05) << "bit 13 set: low word first";
    EXPECT_FLOAT_EQ(Decode(m.Read(768 + 2 * Version + 1), m.Read(768 + 2 * Version)), 5.7f);
}

class MeterModelAtTime : public testing::TestWithParam<double> {};

TEST_P(MeterModelAtTime, PlausibleAndConsistent)
{
    rFixedClockMeter m(3);
    *m.Time = GetParam();
    const auto q = m.Meter.LoggedQuantities();

    EXPECT_NEAR(q[Frequency], 50.0, 0.05);
    EXPECT_FLOAT_EQ(q[Version], 5.7f);
    double w = 0, var = 0, va = 0;
    for (int p = 0; p < 3; ++p) {
        SCOPED_TRACE(testing::Message() << "phase " << p);
        EXPECT_GT(q[Vln + p], 220.0);
        EXPECT_LT(q[Vln + p], 240.0);
        EXPECT_GT(q[Vll + p], 380.0);
        EXPECT_LT(q[Vll + p], 416.0);
        EXPECT_GT(q[Amps + p], 3.0);
        EXPECT_LT(q[Amps + p], 30.0);
        EXPECT_GE(q[Pf + p], 0.8);
        EXPECT_LE(q[Pf + p], 1.0);
        EXPECT_NEAR(q[Va + p], q[Vln + p] * q[Amps + p], q[Va + p] * 1e-5);
        EXPECT_NEAR(q[W + p], q[Va + p] * q[Pf + p], q[Va + p] * 1e-5);
        EXPECT_NEAR(std::hypot(q[W + p], q[Var + p]), q[Va + p], q[Va + p] * 1e-5);
        EXPECT_GT(q[Import + p], 1000.0) << "a meter in service has counted energy";
        EXPECT_EQ(q[Export + p], 0.0f);
        EXPECT_EQ(q[Capacitive + p], 0.0f);
        EXPECT_FLOAT_EQ(q[NetEnergy + p], q[Import + p]);
        EXPECT_FLOAT_EQ(q[VarHours + p], q[Inductive + p]);
        EXPECT_GT(q[VaHours + p], q[Import + p]);
        w += q[W + p];
        var += q[Var + p];
        va += q[Va + p];
    }
    // Line voltages from phasors 120 degrees apart.
    const auto ll = [&](int a, int b) {
        return std::sqrt(q[Vln + a] * q[Vln + a] + q[Vln + b] * q[Vln + b] + q[Vln + a] * q[Vln + b]);
    };
    EXPECT_NEAR(q[Vll + 0], ll(0, 1), 0.01);
    EXPECT_NEAR(q[Vll + 1], ll(1, 2), 0.01);
    EXPECT_NEAR(q[Vll + 2], ll(0, 2), 0.01);

    EXPECT_NEAR(q[TotalW], w, w * 1e-5);
    EXPECT_NEAR(q[TotalVar], var, var * 1e-5);
    EXPECT_NEAR(q[TotalVa], va, va * 1e-5);
    EXPECT_NEAR(q[SystemPf], w / va, 1e-5);
    EXPECT_NEAR(q[AvgAmps], (q[Amps] + q[Amps + 1] + q[Amps + 2]) / 3, 1e-3);
    EXPECT_NEAR(q[AvgVln], (q[Vln] + q[Vln + 1] + q[Vln + 2]) / 3, 1e-3);
    EXPECT_NEAR(q[TotalImport], q[Import] + q[Import + 1] + q[Import + 2], 0.01);
    EXPECT_FLOAT_EQ(q[TotalEnergy], q[TotalImport]);
    EXPECT_NEAR(q[TotalInductive], q[Inductive] + q[Inductive + 1] + q[Inductive + 2], 0.01);
    EXPECT_NEAR(q[TotalVaHours], q[VaHours] + q[VaHours + 1] + q[VaHours + 2], 0.01);
    // Demand is a mean of the same load over 15 minutes.
    EXPECT_GT(q[Demand], 0.4 * q[TotalW]);
    EXPECT_LT(q[Demand], 2.5 * q[TotalW]);

    // The integer registers hold the same load on the secondary side of
    // the 200:5 CT (x40) and 1:1 PT, in their source units.
    constexpr double Ct = 40.0;
    EXPECT_NEAR(m.Read(9), q[Frequency] * 10, 0.51);
    for (int p = 0; p < 3; ++p) {
        SCOPED_TRACE(testing::Message() << "phase " << p);
        EXPECT_NEAR(m.ReadSigned(10 + p), q[Vln + p] * 10, 0.51);
        EXPECT_NEAR(m.ReadSigned(13 + p), q[Vll + p] * 10, 0.51);
        EXPECT_NEAR(m.ReadSigned(16 + p), q[Amps + p] / Ct * 1000, 0.51);
        EXPECT_NEAR(m.ReadSigned(19 + p), q[W + p] / Ct * 10, 0.51);
        EXPECT_NEAR(m.ReadSigned(22 + p), q[Var + p] / Ct * 10, 0.51);
        EXPECT_NEAR(m.ReadSigned(25 + p), q[Va + p] / Ct * 10, 0.51);
        EXPECT_NEAR(m.ReadSigned(28 + p), q[Pf + p] * 10000, 0.51);
    }
    EXPECT_EQ(m.Read(32), m.Read(26));
    EXPECT_EQ(m.Read(33), m.Read(27));
    EXPECT_NEAR(m.ReadSigned(2), q[TotalW] / Ct, 0.51);
    EXPECT_NEAR(m.ReadSigned(3), q[TotalVar] / Ct, 0.51);
    EXPECT_NEAR(m.ReadSigned(4), q[TotalVa] / Ct, 0.51);
    EXPECT_NEAR(m.ReadSigned(7), q[AvgAmps] / Ct * 1000, 0.51);
    EXPECT_NEAR(m.ReadSigned(8), q[SystemPf] * 10000, 0.51);
    EXPECT_NEAR(m.ReadSigned(88), q[Demand] / Ct, 0.51);
    EXPECT_EQ(m.Read(31), 0);

    // The raw block: RMS values and frequency, each within its width.
    EXPECT_NEAR(m.Read(525), q[Vln] * 100, 1.0);
    EXPECT_NEAR(m.Read(522), q[Amps] / Ct * 50000, 1.0);
    EXPECT_EQ(m.Read(528) & ~0x0FFF, 0);
    EXPECT_NEAR(m.Read(528), q[Frequency] * 10, 0.51);
}

// From start through one second's fraction, a minute, a day and a week.
INSTANTIATE_TEST_SUITE_P(Times, MeterModelAtTime,
                         testing::Values(0.0, 0.4, 59.5, 3600.0, 86400.0 + 17.25, 7 * 86400.0 + 1.5));

TEST(MeterModel, EnergyGrowsWithThePowerDrawn)
{
    rFixedClockMeter m;
    *m.Time = 600;
    const auto before = m.Meter.LoggedQuantities();
    *m.Time = 660;
    const auto after = m.Meter.LoggedQuantities();
    const double kwh = after[TotalEnergy] - before[TotalEnergy];
    // One minute at roughly the mean of the two powers (W -> kWh).
    const double expected = (before[TotalW] + after[TotalW]) / 2 * 60 / 3.6e6;
    EXPECT_GT(kwh, 0.0);
    EXPECT_NEAR(kwh, expected, expected * 0.15);
    EXPECT_GT(after[TotalVaHours], before[TotalVaHours]);
    EXPECT_GT(after[TotalInductive], before[TotalInductive]);
}

TEST(MeterModel, SameTimeGivesSameValuesAlsoAfterGoingBack)
{
    rFixedClockMeter m;
    *m.Time = 5000.25;
    const auto first = m.Meter.LoggedQuantities();
    *m.Time = 9000;
    m.Meter.LoggedQuantities();
    *m.Time = 5000.25;
    EXPECT_EQ(m.Meter.LoggedQuantities(), first);

    rFixedClockMeter fresh;
    *fresh.Time = 5000.25;
    EXPECT_EQ(fresh.Meter.LoggedQuantities(), first);
}

TEST(MeterModel, UnitsCarryTheirOwnLoad)
{
    rFixedClockMeter one(1), two(2);
    *one.Time = *two.Time = 100;
    EXPECT_NE(one.Meter.LoggedQuantities()[Amps], two.Meter.LoggedQuantities()[Amps]);
    EXPECT_NE(one.Read(149), two.Read(149));
}

TEST(MeterModel, RatiosScaleThePrimaryValuesOnly)
{
    rFixedClockMeter m;
    *m.Time = 42;
    const auto before = m.Meter.LoggedQuantities();
    const uint16_t ampsRegister = m.Read(16);
    m.Write(130, 400);  // CT 400:5
    m.Write(128, 240);  // PT 240:120
    m.Write(129, 120);
    const auto after = m.Meter.LoggedQuantities();
    EXPECT_FLOAT_EQ(after[Amps], 2 * before[Amps]);
    EXPECT_FLOAT_EQ(after[Vln], 2 * before[Vln]);
    EXPECT_FLOAT_EQ(after[W], 4 * before[W]);
    EXPECT_FLOAT_EQ(after[Pf], before[Pf]);
    EXPECT_EQ(m.Read(16), ampsRegister) << "the inputs see the same current";

    m.Write(131, 0); // a secondary of 0 counts as 1 rather than dividing by 0
    EXPECT_TRUE(std::isfinite(m.Meter.LoggedQuantities()[Amps]));
}

TEST(MeterModel, ConfigWordSignsGiveTwosComplement)
{
    rFixedClockMeter m;
    *m.Time = 10;
    ASSERT_GT(m.ReadSigned(2), 0);
    ASSERT_GT(m.ReadSigned(3), 0);

    // Reverse W sign stays set; Force W absolute and Force PF absolute go.
    m.Write(142, 0x05E6 & ~0x0020 & ~0x0080);
    EXPECT_LT(m.ReadSigned(2), 0);
    EXPECT_GT(m.Read(2), 0x8000) << "16-bit two's complement";
    EXPECT_LT(m.ReadSigned(19), 0);
    EXPECT_LT(m.ReadSigned(28), 0) << "the power factor follows the real power";
    EXPECT_GT(m.ReadSigned(3), 0) << "VAR is still forced absolute";
    const auto q = m.Meter.LoggedQuantities();
    EXPECT_LT(q[TotalW], 0.0f);
    EXPECT_LT(q[SystemPf], 0.0f);

    m.Write(142, 0x0004); // only Reverse VAR sign
    EXPECT_GT(m.ReadSigned(2), 0);
    EXPECT_LT(m.ReadSigned(3), 0);
    EXPECT_LT(m.ReadSigned(22), 0);
}

TEST(MeterModel, LiveRawRegistersFollowTheLoadAfterAWrite)
{
    rFixedClockMeter m;
    *m.Time = 10;
    m.Write(525, 1);
    EXPECT_GT(m.Read(525), 20000) << "AVrms is measured, not stored";
}

} // namespace
