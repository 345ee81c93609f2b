#include "WiringCheck.h"

#include "KelvaneCOM.h"
#include "RegisterMap.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

using TTriple = std::array<double, 3>;

constexpr const char* PhaseNames[] = {"A", "B", "C"};
constexpr const char* LineNames[] = {"A-B", "B-C", "C-A"};
// The phases at either end of each line voltage.
constexpr int LineEnds[3][2] = {{0, 1}, {1, 2}, {2, 0}};

// Entries of the logged quantities the checks use.
constexpr int FrequencyEntry = 8;
constexpr int VoltsLNEntry = 10;
constexpr int VoltsLLEntry = 13;
constexpr int AmpsEntry = 16;
constexpr int WattsEntry = 19;
constexpr int PowerFactorEntry = 28;
constexpr int ConfigWordRegister = RegisterMap::ConfigWord;

// Phase names joined for a sentence: "A", "A and B", "A, B and C".
std::string JoinPhases(const std::vector<int>& phases)
{
    std::string text;
    for (size_t i = 0; i < phases.size(); ++i) {
        if (i > 0)
            text += i + 1 == phases.size() ? " and " : ", ";
        text += PhaseNames[phases[i]];
    }
    return text;
}

std::vector<int> PhasesWhere(const std::function<bool(int)>& test)
{
    std::vector<int> phases;
    for (int p = 0; p < 3; ++p)
        if (test(p))
            phases.push_back(p);
    return phases;
}

std::vector<rUsedValue> PerPhase(const char* quantity, const TTriple& v, const char* unit, int decimals,
                                 double scale = 1)
{
    std::vector<rUsedValue> used;
    for (int p = 0; p < 3; ++p)
        used.push_back({std::string(quantity) + " " + PhaseNames[p], v[p] * scale, unit, decimals});
    return used;
}

TCheckVerdict Grade(double deviation, double warning, double fail)
{
    if (deviation > fail)
        return TCheckVerdict::Fail;
    return deviation > warning ? TCheckVerdict::Warning : TCheckVerdict::Pass;
}

double Largest(const TTriple& v)
{
    return *std::max_element(v.begin(), v.end());
}

// The phase furthest from the three phases' average and its distance in %.
std::pair<int, double> Unbalance(const TTriple& v)
{
    const double average = (v[0] + v[1] + v[2]) / 3;
    int worst = 0;
    for (int p = 1; p < 3; ++p)
        if (std::abs(v[p] - average) > std::abs(v[worst] - average))
            worst = p;
    return {worst, average > 0 ? 100 * std::abs(v[worst] - average) / average : 0};
}

// What the checks share: which phases show a voltage and carry current.
struct rPresence {
    std::vector<int> NoVoltage;
    std::vector<int> NoCurrent;
    bool AnyVoltage = false;
    bool Load = false;
    bool AllVoltages() const { return AnyVoltage && NoVoltage.empty(); }
    bool AllCurrents() const { return Load && NoCurrent.empty(); }
};

rPresence PresenceOf(const rWiringValues& v, const rWiringThresholds& limits)
{
    rPresence r;
    const double vmax = Largest(v.VoltsLN);
    const double imax = Largest(v.Amps);
    r.AnyVoltage = vmax > 0;
    r.Load = imax >= limits.MinLoadAmps;
    r.NoVoltage = PhasesWhere([&](int p) { return v.VoltsLN[p] < limits.NoVoltageShare * vmax; });
    r.NoCurrent = PhasesWhere([&](int p) { return v.Amps[p] < limits.NoCurrentShare * imax; });
    return r;
}

std::vector<int> Others(const std::vector<int>& phases)
{
    return PhasesWhere([&](int p) { return std::find(phases.begin(), phases.end(), p) == phases.end(); });
}

rWiringCheck VoltagePresent(const rWiringValues& v, const rPresence& on)
{
    rWiringCheck c{"Voltage on every phase", TCheckVerdict::Pass, PerPhase("V", v.VoltsLN, "V", 1), ""};
    if (!on.AnyVoltage) {
        c.Verdict = TCheckVerdict::Fail;
        c.Advice = "No phase shows a voltage: check that the voltage inputs are connected and their fuses intact.";
    } else if (!on.NoVoltage.empty()) {
        const std::string phases = JoinPhases(on.NoVoltage);
        const bool carries = on.Load && std::any_of(on.NoVoltage.begin(), on.NoVoltage.end(), [&](int p) {
            return std::find(on.NoCurrent.begin(), on.NoCurrent.end(), p) == on.NoCurrent.end();
        });
        c.Verdict = TCheckVerdict::Fail;
        c.Advice = "Phase " + phases + (carries ? " carries current but shows" : " shows") + " no voltage while "
                   + JoinPhases(Others(on.NoVoltage)) + " do: check the voltage lead of " + phases
                   + ", its fuse and its terminal.";
    } else {
        c.Advice = "All three phases show a voltage.";
    }
    return c;
}

rWiringCheck CurrentPresent(const rWiringValues& v, const rPresence& on)
{
    rWiringCheck c{"Current on every phase", TCheckVerdict::Pass, PerPhase("I", v.Amps, "A", 3), ""};
    if (!on.Load) {
        c.Verdict = TCheckVerdict::Warning;
        c.Advice = "No phase carries current: there is no load or no CT is connected; the checks that need a load "
                   "wait for one.";
    } else if (!on.NoCurrent.empty()) {
        const std::string phases = JoinPhases(on.NoCurrent);
        c.Verdict = TCheckVerdict::Fail;
        c.Advice = "Phase " + phases + " carries no current while " + JoinPhases(Others(on.NoCurrent))
                   + " do: check the CT of " + phases + ", its leads and that its shorting link is open.";
    } else {
        c.Advice = "All three phases carry current.";
    }
    return c;
}

// Marks a check that lacks what it needs as not judged; true then.
bool NotJudged(rWiringCheck& c, bool possible, const char* needs)
{
    if (possible)
        return false;
    c.Verdict = TCheckVerdict::Warning;
    c.Advice = std::string("Not judged: this needs ") + needs + ".";
    return true;
}

constexpr const char* FullLoad = "voltage and current on all three phases";

double PowerFactorSpread(const rWiringValues& v)
{
    TTriple pf;
    for (int p = 0; p < 3; ++p)
        pf[p] = std::abs(v.PowerFactor[p]);
    return Largest(pf) - *std::min_element(pf.begin(), pf.end());
}

rWiringCheck CtDirection(const rWiringValues& v, const rPresence& on, const rWiringThresholds& limits)
{
    rWiringCheck c{"CT direction", TCheckVerdict::Pass, PerPhase("P", v.Watts, "kW", 3, 0.001), ""};
    if (NotJudged(c, on.AllCurrents() && on.AllVoltages(), FullLoad))
        return c;
    if (v.ConfigWord & WiringCheck::ForceWAbsolute) {
        c.Verdict = TCheckVerdict::Warning;
        c.Advice = "Not judged: the configuration word forces W absolute (\"Force W Absolute\"), which hides a "
                   "reversed CT; clear that bit under Options, Config Word to check the CT direction.";
        return c;
    }
    const std::vector<int> negative = PhasesWhere([&](int p) { return v.Watts[p] < 0; });
    if (negative.empty() || negative.size() == 3) {
        c.Advice = negative.empty() ? "Real power has the same sign on all three phases."
                                    : "Real power is negative on all three phases: the meter sees export, or "
                                      "\"Reverse W Sign\" is set; no single CT is reversed.";
        return c;
    }
    const std::vector<int> odd = negative.size() == 1 ? negative : Others(negative);
    const std::string phase = PhaseNames[odd[0]];
    if (PowerFactorSpread(v) > limits.PowerFactorWarning) {
        c.Verdict = TCheckVerdict::Warning;
        c.Advice = "Real power on phase " + phase + " has the opposite sign, but the power factors differ too: "
                   "first check which CT sits on which phase (see the power factor check).";
        return c;
    }
    c.Verdict = TCheckVerdict::Fail;
    c.Advice = "Real power on phase " + phase + " has the opposite sign to " + JoinPhases(Others(odd))
               + ": the CT of " + phase + " is reversed; swap its S1 and S2 leads.";
    return c;
}

rWiringCheck VoltageUnbalance(const rWiringValues& v, const rPresence& on, const rWiringThresholds& limits)
{
    const auto [worst, percent] = Unbalance(v.VoltsLN);
    rWiringCheck c{"Voltage unbalance", TCheckVerdict::Pass, PerPhase("V", v.VoltsLN, "V", 1), ""};
    c.Values.push_back({"unbalance", percent, "%", 1});
    if (NotJudged(c, on.AllVoltages(), "a voltage on all three phases"))
        return c;
    c.Verdict = Grade(percent, limits.VoltageUnbalanceWarning, limits.VoltageUnbalanceFail);
    const std::string phase = PhaseNames[worst];
    if (c.Verdict == TCheckVerdict::Pass)
        c.Advice = "The phase voltages are balanced.";
    else
        c.Advice = "Phase " + phase + " is furthest from the average voltage: check its voltage lead and "
                   "terminal; if they are sound, the supply itself is unbalanced.";
    return c;
}

rWiringCheck CurrentUnbalance(const rWiringValues& v, const rPresence& on, const rWiringThresholds& limits)
{
    const auto [worst, percent] = Unbalance(v.Amps);
    rWiringCheck c{"Current unbalance", TCheckVerdict::Pass, PerPhase("I", v.Amps, "A", 3), ""};
    c.Values.push_back({"unbalance", percent, "%", 1});
    if (NotJudged(c, on.AllCurrents(), "current on all three phases"))
        return c;
    c.Verdict = Grade(percent, limits.CurrentUnbalanceWarning, limits.CurrentUnbalanceFail);
    const std::string phase = PhaseNames[worst];
    if (c.Verdict == TCheckVerdict::Pass)
        c.Advice = "The phase currents are within the usual spread of a load.";
    else if (c.Verdict == TCheckVerdict::Warning)
        c.Advice = "Phase " + phase + " is far from the average current: the load may be uneven; if it should be "
                   "balanced, check the CT of " + phase + " and its ratio.";
    else
        c.Advice = "Phase " + phase + " is very far from the average current: check that the CT of " + phase
                   + " sits on its own phase conductor, has the ratio of the others and its shorting link is open.";
    return c;
}

// The line-to-line voltage two line-to-neutral voltages 120 degrees apart
// give: sqrt(3) times them when they are equal.
double ExpectedLineVolts(double a, double b)
{
    return std::sqrt(a * a + b * b + a * b);
}

rWiringCheck LineVoltages(const rWiringValues& v, const rPresence& on, const rWiringThresholds& limits)
{
    rWiringCheck c{"Line-to-line voltages", TCheckVerdict::Pass, {}, ""};
    int worst = 0;
    double worstPercent = -1;
    for (int l = 0; l < 3; ++l) {
        const double expected = ExpectedLineVolts(v.VoltsLN[LineEnds[l][0]], v.VoltsLN[LineEnds[l][1]]);
        const double percent = expected > 0 ? 100 * std::abs(v.VoltsLL[l] - expected) / expected : 0;
        c.Values.push_back({std::string("V ") + LineNames[l], v.VoltsLL[l], "V", 1});
        if (percent > worstPercent) {
            worst = l;
            worstPercent = percent;
        }
    }
    const double expected = ExpectedLineVolts(v.VoltsLN[LineEnds[worst][0]], v.VoltsLN[LineEnds[worst][1]]);
    c.Values.push_back({std::string("expected ") + LineNames[worst], expected, "V", 1});
    if (NotJudged(c, on.AnyVoltage, "a voltage on at least one phase"))
        return c;
    c.Verdict = Grade(worstPercent, limits.LineVoltsWarning, limits.LineVoltsFail);
    const std::string line = LineNames[worst];
    if (c.Verdict == TCheckVerdict::Pass)
        c.Advice = "Each line-to-line voltage is about sqrt(3) times its line-to-neutral ones.";
    else
        c.Advice = "V " + line + " is not about sqrt(3) times its line-to-neutral voltages: the voltage lead of "
                   + PhaseNames[LineEnds[worst][0]] + " or " + PhaseNames[LineEnds[worst][1]]
                   + " is on the wrong phase or reversed; connect A, B and C each to its own input.";
    return c;
}

rWiringCheck PowerFactors(const rWiringValues& v, const rPresence& on, const rWiringThresholds& limits)
{
    rWiringCheck c{"Power factor per phase", TCheckVerdict::Pass, PerPhase("PF", v.PowerFactor, "", 3), ""};
    if (NotJudged(c, on.AllCurrents() && on.AllVoltages(), FullLoad))
        return c;
    TTriple pf;
    for (int p = 0; p < 3; ++p)
        pf[p] = std::abs(v.PowerFactor[p]);
    TTriple sorted = pf;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[1];
    int worst = 0;
    for (int p = 1; p < 3; ++p)
        if (std::abs(pf[p] - median) > std::abs(pf[worst] - median))
            worst = p;
    c.Verdict = Grade(std::abs(pf[worst] - median), limits.PowerFactorWarning, limits.PowerFactorFail);
    const std::string phase = PhaseNames[worst];
    if (c.Verdict == TCheckVerdict::Pass)
        c.Advice = "The phases' power factors agree.";
    else
        c.Advice = "The power factor of phase " + phase + " is far from the others under load: its CT is probably "
                   "on another phase's conductor; put each CT on the conductor of its own voltage phase.";
    return c;
}

rWiringCheck FrequencyInRange(const rWiringValues& v, const rWiringThresholds& limits)
{
    rWiringCheck c{"Frequency", TCheckVerdict::Pass, {{"f", v.Frequency, "Hz", 2}}, ""};
    if (v.Frequency >= limits.FrequencyMin && v.Frequency <= limits.FrequencyMax) {
        c.Advice = "The frequency is that of a mains supply.";
        return c;
    }
    c.Verdict = TCheckVerdict::Fail;
    c.Advice = "The frequency is outside the range of any mains supply: check that the voltage inputs see the "
               "supply and not a drive's output or an open lead.";
    return c;
}

bool AllFinite(const rWiringValues& v)
{
    for (const TTriple* t : {&v.VoltsLN, &v.VoltsLL, &v.Amps, &v.Watts, &v.PowerFactor})
        for (double x : *t)
            if (!std::isfinite(x))
                return false;
    return std::isfinite(v.Frequency);
}

} // namespace

namespace WiringCheck {

std::vector<rWiringCheck> Check(const rWiringValues& values, const rWiringThresholds& limits)
{
    if (!AllFinite(values))
        return {{"Measurements", TCheckVerdict::Warning, {},
                 "The meter gave values that are not numbers, so nothing is judged: read its measurements again."}};
    const rPresence on = PresenceOf(values, limits);
    return {VoltagePresent(values, on),
            CurrentPresent(values, on),
            CtDirection(values, on, limits),
            VoltageUnbalance(values, on, limits),
            CurrentUnbalance(values, on, limits),
            LineVoltages(values, on, limits),
            PowerFactors(values, on, limits),
            FrequencyInRange(values, limits)};
}

std::string ForcedAbsolute(uint16_t configWord)
{
    std::string names;
    for (const auto& [bit, name] : {std::pair{ForceWAbsolute, "W"}, {ForceVarAbsolute, "VAR"}, {ForcePfAbsolute, "PF"}})
        if (configWord & bit)
            names += (names.empty() ? "" : ", ") + std::string(name);
    return names;
}

std::optional<rWiringValues> ValuesFromImage(const TKelvane& meter)
{
    if (!meter.LatestReadOk(ConfigWordRegister))
        return std::nullopt;
    bool allRead = true;
    const auto entry = [&](int index) {
        const std::optional<double> value = meter.LoggedQuantity(index);
        allRead = allRead && value;
        return value.value_or(0);
    };
    rWiringValues v;
    for (int p = 0; p < 3; ++p) {
        v.VoltsLN[p] = entry(VoltsLNEntry + p);
        v.VoltsLL[p] = entry(VoltsLLEntry + p);
        v.Amps[p] = entry(AmpsEntry + p);
        v.Watts[p] = entry(WattsEntry + p);
        v.PowerFactor[p] = entry(PowerFactorEntry + p);
    }
    v.Frequency = entry(FrequencyEntry);
    v.ConfigWord = static_cast<uint16_t>(meter.GetRegister(ConfigWordRegister));
    if (!allRead)
        return std::nullopt;
    return v;
}

} // namespace WiringCheck
