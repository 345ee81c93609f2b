#include "MeterLoad.h"

#include <algorithm>
#include <cmath>
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

} // namespace

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
    return s;
}
