#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

// The three-phase load that one simulated meter measures.
//
// Every quantity is a smooth function of the time since the meter started,
// so a test that fixes the time knows the values. The load is what the
// transducer's inputs see, the secondary side: it is built around the
// default 200:5 current transformer, so a meter with default ratios shows a
// primary current of a few amps to some tens of amps. Voltages are
// ~230 V line to neutral with the phases 120 degrees apart, power factors
// lagging between 0.84 and 0.96 and the frequency 50 Hz within 0.03 Hz.

struct rPhaseLoad {
    double Volts = 0;       // line to neutral, RMS
    double Amps = 0;        // RMS
    double PowerFactor = 0; // lagging, so reactive power is positive
    double Watts = 0;       // Volts * Amps * PowerFactor
    double Vars = 0;        // Volts * Amps * sin(phi)
    double VoltAmps = 0;    // Volts * Amps
};

// Energies counted since the meter was put into service (the meter starts
// with a history, not at zero), in watt-hours and their reactive and
// apparent kin, per phase, secondary side.
struct rPhaseEnergy {
    double WattHours = 0;
    double VarHours = 0;
    double VoltAmpHours = 0;
};

struct rLoadSnapshot {
    std::array<rPhaseLoad, 3> Phase;
    std::array<double, 3> LineVolts{}; // A-B, B-C, A-C
    double Frequency = 0;
    std::array<rPhaseEnergy, 3> Energy;
};

// How the meter's inputs are connected to the supply and the load. Every
// wiring but Healthy is a fault a technician meets on site; it changes what
// the meter measures at the moment (voltages, currents, powers, power
// factors, line voltages, frequency) while the energy registers keep
// counting the load itself.
enum class TWiring {
    Healthy,
    ReversedCtL2,   // the CT of L2 mounted the wrong way round
    NoCurrentL3,    // the CT of L3 shorted or not connected
    NoVoltageL1,    // the voltage lead of L1 open (blown fuse)
    Unbalance,      // supply and load far out of balance
    CrossedVoltage, // the voltage input of L3 connected to L2
    CtWrongPhase,   // the CTs of L2 and L3 swapped
    Frequency,      // a supply at 42 Hz
};

// The wiring named as on the command line ("healthy", "reversed-ct-l2",
// "no-current-l3", "no-voltage-l1", "unbalance", "crossed-voltage",
// "ct-wrong-phase", "frequency"), or nothing for another name.
std::optional<TWiring> WiringFromName(std::string_view name);
// Those names, separated by "|".
std::string WiringNames();

class TMeterLoad {
public:
    // The nominal CT ratio the load is scaled for (200:5).
    static constexpr double NominalCtRatio = 40.0;

    // `seed` makes meters of different units carry different loads.
    explicit TMeterLoad(int seed);

    rPhaseLoad PhaseAt(int phase, double seconds) const;
    double FrequencyAt(double seconds) const;
    double TotalWattsAt(double seconds) const;

    // The whole state at `seconds` (clamped to >= 0). Energies are the
    // load's power summed in one-second steps from time 0; the sum is cached
    // so that a meter that runs for days does not integrate from the start
    // on every read, and recomputed when the time goes backwards.
    rLoadSnapshot At(double seconds);

    // What At measures from now on; Healthy until set.
    void SetWiring(TWiring wiring) { Wiring = wiring; }

private:
    struct rEnergyCache {
        long long WholeSeconds = 0;
        std::array<rPhaseEnergy, 3> Energy;
    };

    int Seed;
    TWiring Wiring = TWiring::Healthy;
    double BaseAmps;
    std::array<rPhaseEnergy, 3> StartEnergy;
    rEnergyCache Cache;
};
