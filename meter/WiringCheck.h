#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TKelvane;

// The checks a technician runs after connecting a meter: from the measured
// values alone they tell a healthy connection from a reversed CT, a missing
// voltage or current, a crossed voltage lead, a CT on the wrong phase, a
// strong unbalance or a frequency that no mains has. Pure functions; the
// values come from the register image of the latest poll.

// The measurements the checks judge, primary side, phases A, B, C.
struct rWiringValues {
    std::array<double, 3> VoltsLN{}; // A-N, B-N, C-N
    std::array<double, 3> VoltsLL{}; // A-B, B-C, C-A
    std::array<double, 3> Amps{};
    std::array<double, 3> Watts{};
    std::array<double, 3> PowerFactor{};
    double Frequency = 0;
    uint16_t ConfigWord = 0; // register 142
};

enum class TCheckVerdict { Pass, Warning, Fail };

// A value a check used, to be shown beside its verdict.
struct rUsedValue {
    std::string Label;
    double Value = 0;
    std::string Unit;
    int Decimals = 1;
};

struct rWiringCheck {
    std::string Name;
    TCheckVerdict Verdict = TCheckVerdict::Pass;
    std::vector<rUsedValue> Values;
    std::string Advice; // one sentence to act on
};

// Where the checks draw their lines. Shares and deviations are relative, so
// they hold for any PT and CT ratio.
struct rWiringThresholds {
    // A phase below this share of the highest phase voltage (current) has
    // none.
    double NoVoltageShare = 0.10;
    double NoCurrentShare = 0.05;
    // Below this current (A, primary) on every phase there is no load.
    double MinLoadAmps = 0.01;
    // Largest deviation of a phase from the three phases' average, in %.
    double VoltageUnbalanceWarning = 2;
    double VoltageUnbalanceFail = 5;
    double CurrentUnbalanceWarning = 60;
    double CurrentUnbalanceFail = 80;
    // Deviation of a line-to-line voltage from the one that its two
    // line-to-neutral voltages give 120 degrees apart (about sqrt(3) times
    // them), in %.
    double LineVoltsWarning = 5;
    double LineVoltsFail = 10;
    // Distance of a phase's power factor (absolute) from the median of the
    // three under load.
    double PowerFactorWarning = 0.2;
    double PowerFactorFail = 0.4;
    double FrequencyMin = 45;
    double FrequencyMax = 65;
};

namespace WiringCheck {

// Bits of the configuration word that make the meter show absolute values.
constexpr uint16_t ForceWAbsolute = 1 << 5;
constexpr uint16_t ForceVarAbsolute = 1 << 6;
constexpr uint16_t ForcePfAbsolute = 1 << 7;

// Every check, in a fixed order. Values that are not finite numbers give a
// single warning instead.
std::vector<rWiringCheck> Check(const rWiringValues& values, const rWiringThresholds& limits = {});

// The quantities the configuration word forces absolute ("W, VAR, PF"), or
// empty when none.
std::string ForcedAbsolute(uint16_t configWord);

// The values from the register image: the floating-point measurements from
// register 768 in the meter's word order and the configuration word.
// Nothing when the latest read of any of those registers failed.
std::optional<rWiringValues> ValuesFromImage(const TKelvane& meter);

} // namespace WiringCheck
