#include "MeterModel.h"

#include "RegisterBitDefs.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

struct rDefault {
    int Reg;
    uint16_t Value;
};

// The configuration a meter leaves the factory with.
constexpr rDefault ConfigDefaults[] = {
    {128, 1},      // PT primary
    {129, 1},      // PT secondary
    {130, 200},    // CT primary
    {131, 5},      // CT secondary
    {132, 15},     // demand period, minutes
    {133, TMeterModel::Fixed12345},
    {134, 25},     // pulse value: 25 W secondary, 1 kWh per pulse with 200:5
    {136, 0x02},   // output A follows total W
    {137, 0x07},   // output B follows the average current
    {140, 1000},   // output A 10 V at 1000 W secondary (40 kW primary)
    {141, 5000},   // output B 10 V at 5 A secondary (200 A primary)
    {142, TMeterModel::DefaultConfigWord},
    {143, 200},    // voltage threshold
    {144, 10},     // current threshold
    {147, 4095},   // PWM spans
    {148, 4095},
    {158, 0x1F40}, // extended configuration word
};

// Power-on values of the measuring chip's mode registers.
constexpr rDefault MeasurementDefaults[] = {
    {531, 0x04}, {532, 0xFC}, {534, 0x1C}, {535, 0x78},
    {539, 0x0FFF}, {540, 0xFFFF}, {541, 0xFF}, {543, 0xFF}, {544, 0xFF},
    {582, 0x3F}, {584, 0x3F},
};

// Integer measurements, numbered as the analog-output source codes.
enum : int {
    RegTotalW = 2, RegTotalVar = 3, RegTotalVa = 4, RegAvgVln = 5, RegAvgVll = 6,
    RegAvgAmps = 7, RegSystemPf = 8, RegFrequency = 9, RegVln = 10, RegVll = 13,
    RegAmps = 16, RegW = 19, RegVar = 22, RegVa = 25, RegPf = 28,
    RegVaB = 32, RegVaC = 33, RegDemandW = 88,
};

// Bits of the configuration word that change the sign of what is shown.
constexpr uint16_t ReverseWSign = 1 << 1;
constexpr uint16_t ReverseVarSign = 1 << 2;
constexpr uint16_t ForceWAbsolute = 1 << 5;
constexpr uint16_t ForceVarAbsolute = 1 << 6;
constexpr uint16_t ForcePfAbsolute = 1 << 7;

// The healthy load imports and is inductive, so its W, VAR and PF are
// positive; a wiring fault may make them negative. The configuration word
// may reverse W and VAR and force them positive. The power factor carries
// the sign of the real power shown, unless it is forced positive itself.
void ApplySigns(rLoadSnapshot& s, uint16_t configWord)
{
    const auto shown = [&](double value, uint16_t reverse, uint16_t absolute) {
        if (configWord & absolute)
            return std::abs(value);
        return (configWord & reverse) ? -value : value;
    };
    for (rPhaseLoad& l : s.Phase) {
        l.Watts = shown(l.Watts, ReverseWSign, ForceWAbsolute);
        l.Vars = shown(l.Vars, ReverseVarSign, ForceVarAbsolute);
        const double pf = std::abs(l.PowerFactor);
        l.PowerFactor = (configWord & ForcePfAbsolute) || l.Watts >= 0 ? pf : -pf;
    }
}

double Ratio(uint16_t primary, uint16_t secondary)
{
    return static_cast<double>(primary) / (secondary == 0 ? 1 : secondary);
}

uint16_t Wrap16(double value)
{
    return static_cast<uint16_t>(static_cast<uint64_t>(std::max(value, 0.0)) & 0xFFFF);
}

} // namespace

TMeterModel::TMeterModel(uint8_t unit, TClock clock)
    : UnitId(unit)
    , Clock(std::move(clock))
    , Load(unit)
{
    if (!Clock) {
        const auto start = std::chrono::steady_clock::now();
        Clock = [start] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
    }
    for (const auto& d : ConfigDefaults)
        Holding[d.Reg] = d.Value;
    Holding[149] = static_cast<uint16_t>(10000 + unit);
    for (const auto& d : MeasurementDefaults)
        Holding[d.Reg] = d.Value;
}

double TMeterModel::Now() const
{
    return Clock();
}

bool TMeterModel::IsWritable(int reg)
{
    if (reg == 133)
        return false;
    return (reg >= RegisterBitDefs::ConfigFirst && reg <= RegisterBitDefs::ConfigLast)
           || (reg >= RegisterBitDefs::MeasurementFirst && reg <= RegisterBitDefs::MeasurementLast);
}

uint8_t TMeterModel::ReadRegisters(uint16_t first, uint16_t count, std::vector<uint16_t>& out)
{
    if (count == 0 || first + count > RegisterCount)
        return 2;
    Refresh();
    out.assign(Holding.begin() + first, Holding.begin() + first + count);
    return 0;
}

uint8_t TMeterModel::WriteRegisters(uint16_t first, std::span<const uint16_t> values)
{
    if (values.empty() || first + values.size() > RegisterCount)
        return 2;
    for (size_t i = 0; i < values.size(); ++i)
        if (!IsWritable(first + static_cast<int>(i)))
            return 2;
    for (size_t i = 0; i < values.size(); ++i) {
        const int reg = first + static_cast<int>(i);
        uint16_t v = values[i];
        // A register narrower than 16 bits keeps only its own bits.
        if (const auto def = RegisterBitDefs::Lookup(reg); def && def->Bits < 16)
            v &= static_cast<uint16_t>((1u << def->Bits) - 1);
        Holding[reg] = v;
    }
    return 0;
}

std::string TMeterModel::Identification() const
{
    char version[16];
    std::snprintf(version, sizeof version, "%.2f", SoftwareVersion);
    return "Kelvane power transducer, serial " + std::to_string(SerialNumber()) + ", firmware " + version;
}

void TMeterModel::SetSigned(int reg, double value)
{
    const long v = std::lround(std::clamp(value, -32768.0, 32767.0));
    Holding[reg] = static_cast<uint16_t>(v);
}

std::array<float, TMeterModel::FloatCount> TMeterModel::LoggedQuantities()
{
    const double t = Now();
    rLoadSnapshot s = Load.At(t);
    ApplySigns(s, Holding[142]);
    return FloatQuantities(t, s);
}

std::array<float, TMeterModel::FloatCount> TMeterModel::FloatQuantities(double t, const rLoadSnapshot& s) const
{
    const double pt = Ratio(Holding[128], Holding[129]);
    const double ct = Ratio(Holding[130], Holding[131]);
    const double power = pt * ct;
    // Energies in kWh, kvarh and kVAh on the primary side.
    const double energy = power / 1000.0;

    const double demand = DemandWatts(t);

    double w = 0, var = 0, va = 0, vln = 0, amps = 0, wh = 0, varh = 0, vah = 0;
    for (int p = 0; p < 3; ++p) {
        w += s.Phase[p].Watts;
        var += s.Phase[p].Vars;
        va += s.Phase[p].VoltAmps;
        vln += s.Phase[p].Volts / 3;
        amps += s.Phase[p].Amps / 3;
        wh += s.Energy[p].WattHours;
        varh += s.Energy[p].VarHours;
        vah += s.Energy[p].VoltAmpHours;
    }
    const double vll = (s.LineVolts[0] + s.LineVolts[1] + s.LineVolts[2]) / 3;

    std::array<double, FloatCount> q{};
    q[0] = wh * energy;
    q[1] = w * power;
    q[2] = var * power;
    q[3] = va * power;
    q[4] = vln * pt;
    q[5] = vll * pt;
    q[6] = amps * ct;
    q[7] = va > 0 ? w / va : 1.0;
    if (Holding[142] & ForcePfAbsolute)
        q[7] = std::abs(q[7]);
    q[8] = s.Frequency;
    q[9] = demand * power;
    for (int p = 0; p < 3; ++p) {
        const rPhaseLoad& l = s.Phase[p];
        const rPhaseEnergy& e = s.Energy[p];
        q[10 + p] = l.Volts * pt;
        q[13 + p] = s.LineVolts[p] * pt;
        q[16 + p] = l.Amps * ct;
        q[19 + p] = l.Watts * power;
        q[22 + p] = l.Vars * power;
        q[25 + p] = l.VoltAmps * power;
        q[28 + p] = l.PowerFactor;
        // The load only imports and is inductive: export and capacitive
        // energies stay 0, the net energies equal the imported ones.
        q[32 + p] = e.WattHours * energy;
        q[36 + p] = 0;
        q[40 + p] = e.WattHours * energy;
        q[44 + p] = e.VarHours * energy;
        q[48 + p] = 0;
        q[52 + p] = e.VarHours * energy;
        q[56 + p] = e.VoltAmpHours * energy;
    }
    q[31] = SoftwareVersion;
    q[35] = q[0];
    q[39] = 0;
    q[43] = q[0];
    q[47] = varh * energy;
    q[51] = 0;
    q[55] = varh * energy;
    q[59] = vah * energy;

    std::array<float, FloatCount> f{};
    for (int i = 0; i < FloatCount; ++i)
        f[i] = static_cast<float>(q[i]);
    return f;
}

double TMeterModel::DemandWatts(double t) const
{
    // Sliding window demand: the mean total power over the demand period,
    // sampled at up to 60 points.
    const int minutes = Holding[132];
    if (minutes == 0)
        return Load.TotalWattsAt(t);
    const int n = std::min(minutes, 60);
    double sum = 0;
    for (int k = 0; k < n; ++k)
        sum += Load.TotalWattsAt(t - minutes * 60.0 * (k + 0.5) / n);
    return sum / n;
}

void TMeterModel::Refresh()
{
    const double t = Now();
    rLoadSnapshot s = Load.At(t);
    ApplySigns(s, Holding[142]);

    // Integer measurements: what the inputs see, in the units of the
    // analog-output sources (W, VAR and VA; V x10; A x1000; PF x10000; Hz x10).
    double w = 0, var = 0, va = 0, vln = 0, amps = 0;
    for (int p = 0; p < 3; ++p) {
        const rPhaseLoad& l = s.Phase[p];
        w += l.Watts;
        var += l.Vars;
        va += l.VoltAmps;
        vln += l.Volts / 3;
        amps += l.Amps / 3;
        SetSigned(RegVln + p, l.Volts * 10);
        SetSigned(RegVll + p, s.LineVolts[p] * 10);
        SetSigned(RegAmps + p, l.Amps * 1000);
        SetSigned(RegW + p, l.Watts * 10);
        SetSigned(RegVar + p, l.Vars * 10);
        SetSigned(RegVa + p, l.VoltAmps * 10);
        SetSigned(RegPf + p, l.PowerFactor * 10000);
    }
    SetSigned(RegTotalW, w);
    SetSigned(RegTotalVar, var);
    SetSigned(RegTotalVa, va);
    SetSigned(RegAvgVln, vln * 10);
    SetSigned(RegAvgVll, (s.LineVolts[0] + s.LineVolts[1] + s.LineVolts[2]) / 3 * 10);
    SetSigned(RegAvgAmps, amps * 1000);
    const double systemPf = va > 0 ? w / va : 1.0;
    SetSigned(RegSystemPf, 10000 * ((Holding[142] & ForcePfAbsolute) ? std::abs(systemPf) : systemPf));
    SetSigned(RegFrequency, s.Frequency * 10);
    SetSigned(RegDemandW, DemandWatts(t));
    // Phases B and C's apparent power also sit beside each other at 32, 33.
    Holding[RegVaB] = Holding[RegVa + 1];
    Holding[RegVaC] = Holding[RegVa + 2];

    // The measuring chip's own registers: energy accumulators that wrap,
    // RMS values, line frequency and die temperature.
    for (int p = 0; p < 3; ++p) {
        Holding[513 + p] = Wrap16(s.Energy[p].WattHours * 100);
        Holding[516 + p] = Wrap16(s.Energy[p].VarHours * 100);
        Holding[519 + p] = Wrap16(s.Energy[p].VoltAmpHours * 100);
        Holding[522 + p] = static_cast<uint16_t>(std::clamp(s.Phase[p].Amps * 50000, 0.0, 65535.0));
        Holding[525 + p] = static_cast<uint16_t>(std::clamp(s.Phase[p].Volts * 100, 0.0, 65535.0));
    }
    Holding[528] = static_cast<uint16_t>(std::lround(s.Frequency * 10) & 0x0FFF);
    Holding[529] = static_cast<uint16_t>(31 + std::lround(2 * std::sin(t / 900)));

    // The logged quantities; bit 13 of the configuration word puts the low
    // word first.
    const bool lowFirst = (Holding[142] & WordOrderBit) != 0;
    const auto values = FloatQuantities(t, s);
    for (int i = 0; i < FloatCount; ++i) {
        const auto bits = std::bit_cast<uint32_t>(values[i]);
        const auto high = static_cast<uint16_t>(bits >> 16);
        const auto low = static_cast<uint16_t>(bits & 0xFFFF);
        Holding[FloatFirst + 2 * i] = lowFirst ? low : high;
        Holding[FloatFirst + 2 * i + 1] = lowFirst ? high : low;
    }
}
