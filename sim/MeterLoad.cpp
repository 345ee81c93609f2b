#include "MeterLoad.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace {

constexpr double TwoPi = 2 * std::numbers::pi;

double Wave(double seconds, double period, double phase)
{
    return std::sin(TwoPi * seconds / period + phase);
}

// Spreads the phases' drift so that they do not move in lockstep.
double PhaseOffset(int seed, int phase)
{
    return 0.7 * seed + 2.1 * phase;
}

using TPhasor = std::complex<double>;

struct rWiringName {
    TWiring Wiring;
    const char* Name;
};

constexpr rWiringName WiringTable[] = {
    {TWiring::Healthy, "healthy"},
    {TWiring::ReversedCtL2, "reversed-ct-l2"},
    {TWiring::NoCurrentL3, "no-current-l3"},
    {TWiring::NoVoltageL1, "no-voltage-l1"},
    {TWiring::Unbalance, "unbalance"},
    {TWiring::CrossedVoltage, "crossed-voltage"},
    {TWiring::CtWrongPhase, "ct-wrong-phase"},
    {TWiring::Frequency, "frequency"},
};

// Which phase of the supply each input of the meter sees, and how: the
// voltage and current of input k are the scale times those of phase From[k].
struct rInputs {
    std::array<int, 3> VoltageFrom{0, 1, 2};
    std::array<int, 3> CurrentFrom{0, 1, 2};
    std::array<double, 3> VoltageScale{1, 1, 1};
    std::array<double, 3> CurrentScale{1, 1, 1};
    // Scales apply to the phases' mean magnitude instead of their own, so
    // that the unbalance does not depend on the load's drift.
    bool ScaleTheMean = false;
};

rInputs InputsOf(TWiring wiring)
{
    rInputs in;
    switch (wiring) {
    case TWiring::ReversedCtL2: in.CurrentScale[1] = -1; break;
    case TWiring::NoCurrentL3: in.CurrentScale[2] = 0; break;
    case TWiring::NoVoltageL1: in.VoltageScale[0] = 0; break;
    case TWiring::Unbalance:
        in.ScaleTheMean = true;
        in.VoltageScale = {1.02, 0.90, 1.02};
        in.CurrentScale = {1.4, 0.1, 1.4};
        break;
    case TWiring::CrossedVoltage: in.VoltageFrom[2] = 1; break;
    case TWiring::CtWrongPhase: in.CurrentFrom = {0, 2, 1}; break;
    case TWiring::Healthy:
    case TWiring::Frequency: break;
    }
    return in;
}

double Mean(const std::array<double, 3>& v)
{
    return (v[0] + v[1] + v[2]) / 3;
}

// Measures the supply's phasors through the inputs as the wiring connects
// them: phase p's voltage leads by -120 p degrees, its current lags its
// voltage by the load's angle.
void MeasureThrough(const rInputs& in, rLoadSnapshot& s)
{
    std::array<double, 3> volts{}, amps{};
    for (int p = 0; p < 3; ++p) {
        volts[p] = s.Phase[p].Volts;
        amps[p] = s.Phase[p].Amps;
    }
    std::array<TPhasor, 3> supplyV, supplyI;
    for (int p = 0; p < 3; ++p) {
        const double angle = -2 * std::numbers::pi * p / 3;
        const double lag = std::acos(std::clamp(s.Phase[p].PowerFactor, -1.0, 1.0));
        const double v = in.ScaleTheMean ? Mean(volts) : volts[p];
        const double a = in.ScaleTheMean ? Mean(amps) : amps[p];
        supplyV[p] = std::polar(v, angle);
        supplyI[p] = std::polar(a, angle - lag);
    }
    std::array<TPhasor, 3> v;
    for (int k = 0; k < 3; ++k) {
        v[k] = in.VoltageScale[k] * supplyV[in.VoltageFrom[k]];
        const TPhasor i = in.CurrentScale[k] * supplyI[in.CurrentFrom[k]];
        const TPhasor power = v[k] * std::conj(i);
        rPhaseLoad& l = s.Phase[k];
        l.Volts = std::abs(v[k]);
        l.Amps = std::abs(i);
        l.VoltAmps = l.Volts * l.Amps;
        l.Watts = power.real();
        l.Vars = power.imag();
        l.PowerFactor = l.VoltAmps > 0 ? l.Watts / l.VoltAmps : 1.0;
    }
    s.LineVolts = {std::abs(v[0] - v[1]), std::abs(v[1] - v[2]), std::abs(v[0] - v[2])};
}

// The wiring's view of the healthy snapshot.
void ApplyWiring(TWiring wiring, rLoadSnapshot& s)
{
    if (wiring == TWiring::Healthy)
        return;
    if (wiring == TWiring::Frequency) {
        s.Frequency -= 8.0;
        return;
    }
    MeasureThrough(InputsOf(wiring), s);
}

} // namespace

std::optional<TWiring> WiringFromName(std::string_view name)
{
    for (const rWiringName& w : WiringTable)
        if (name == w.Name)
            return w.Wiring;
    return std::nullopt;
}

std::string WiringNames()
{
    std::string names;
    for (const rWiringName& w : WiringTable)
        names += (names.empty() ? "" : "|") + std::string(w.Name);
    return names;
}

TMeterLoad::TMeterLoad(int seed)
    : Seed(seed)
    // Primary base current 8 ... 16 A, depending on the unit.
    , BaseAmps((8.0 + (seed * 37 % 9)) / NominalCtRatio)
{
    // A meter that has been in service for a while: 1,200 kWh and more per
    // phase on the primary side, different for every unit.
    for (int p = 0; p < 3; ++p) {
        const double primaryKWh = 1200.0 + 137.0 * (seed % 50) + 211.0 * p;
        const double wh = primaryKWh * 1000.0 / NominalCtRatio;
        StartEnergy[p] = {wh, wh * 0.48, wh * 1.11};
    }
    Cache.Energy = StartEnergy;
}

rPhaseLoad TMeterLoad::PhaseAt(int phase, double seconds) const
{
    static constexpr std::array<double, 3> PhaseShare{1.0, 0.9, 1.1};
    const double off = PhaseOffset(Seed, phase);

    rPhaseLoad l;
    l.Volts = 230.0 * (1.0 + 0.010 * Wave(seconds, 97, off) + 0.004 * Wave(seconds, 13, 2 * off));
    // 0.55 ... 1.45 of the base current: 4 ... 26 A primary.
    l.Amps = BaseAmps * PhaseShare[phase]
             * (1.0 + 0.35 * Wave(seconds, 600, off) + 0.10 * Wave(seconds, 67, 3 * off));
    l.PowerFactor = 0.90 + 0.06 * Wave(seconds, 420, off);
    l.VoltAmps = l.Volts * l.Amps;
    l.Watts = l.VoltAmps * l.PowerFactor;
    l.Vars = l.VoltAmps * std::sqrt(1.0 - l.PowerFactor * l.PowerFactor);
    return l;
}

double TMeterLoad::FrequencyAt(double seconds) const
{
    return 50.0 + 0.03 * Wave(seconds, 45, Seed);
}

double TMeterLoad::TotalWattsAt(double seconds) const
{
    double w = 0;
    for (int p = 0; p < 3; ++p)
        w += PhaseAt(p, seconds).Watts;
    return w;
}

rLoadSnapshot TMeterLoad::At(double seconds)
{
    seconds = std::max(seconds, 0.0);
    rLoadSnapshot s;
    for (int p = 0; p < 3; ++p)
        s.Phase[p] = PhaseAt(p, seconds);

    // Phasors 120 degrees apart: |Va - Vb| = sqrt(Va^2 + Vb^2 + Va*Vb).
    const auto lineVolts = [&](int a, int b) {
        const double va = s.Phase[a].Volts, vb = s.Phase[b].Volts;
        return std::sqrt(va * va + vb * vb + va * vb);
    };
    s.LineVolts = {lineVolts(0, 1), lineVolts(1, 2), lineVolts(0, 2)};
    s.Frequency = FrequencyAt(seconds);

    const auto whole = static_cast<long long>(std::floor(seconds));
    if (whole < Cache.WholeSeconds)
        Cache = {0, StartEnergy};
    for (; Cache.WholeSeconds < whole; ++Cache.WholeSeconds) {
        for (int p = 0; p < 3; ++p) {
            const rPhaseLoad l = PhaseAt(p, static_cast<double>(Cache.WholeSeconds));
            Cache.Energy[p].WattHours += l.Watts / 3600.0;
            Cache.Energy[p].VarHours += l.Vars / 3600.0;
            Cache.Energy[p].VoltAmpHours += l.VoltAmps / 3600.0;
        }
    }
    const double fraction = seconds - static_cast<double>(whole);
    for (int p = 0; p < 3; ++p) {
        const rPhaseLoad l = PhaseAt(p, static_cast<double>(whole));
        s.Energy[p] = Cache.Energy[p];
        s.Energy[p].WattHours += l.Watts * fraction / 3600.0;
        s.Energy[p].VarHours += l.Vars * fraction / 3600.0;
        s.Energy[p].VoltAmpHours += l.VoltAmps * fraction / 3600.0;
    }
    ApplyWiring(Wiring, s);
    return s;
}
