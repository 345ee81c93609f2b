#include "RegisterBitDefs.h"

#include <algorithm>
#include <array>

namespace RegisterBitDefs {

namespace {

constexpr std::array<rRegisterDef, ConfigLast - ConfigFirst + 1> ConfigTable{{
    {16, false, "PT Ratio Primary"},
    {16, false, "PT Ratio Secondary"},
    {16, false, "CT Ratio Primary"},
    {16, false, "CT Ratio Secondary"},
    {16, false, "Demand Time"},
    {16, false, "Fixed 12345"},
    {16, false, "Pulse Value Register"},
    {16, false, "Reset Register"},
    {16, false, "Output A Source Reg"},
    {16, false, "Output B Source Reg"},
    {16, false, "Output A 0V Value"},
    {16, false, "Output B 0V Value"},
    {16, false, "Output A 10V Value"},
    {16, false, "Output B 10V Value"},
    {16, false, "Configuration Word"},
    {16, false, "Voltage Threshold"},
    {16, false, "Current Threshold"},
    {16, false, "Voltage Shift"},
    {16, false, "Current Shift"},
    {16, false, "PWM A Span"},
    {16, false, "PWM B Span"},
    {16, false, "Serial Number"},
    {16, false, "Scratch Pad [0]"},
    {16, false, "Scratch Pad [1]"},
    {16, false, "Scratch Pad [2]"},
    {16, false, "Scratch Pad [3]"},
    {16, false, "Scratch Pad [4]"},
    {16, false, "Scratch Pad [5]"},
    {16, false, "Scratch Pad [6]"},
    {16, false, "Scratch Pad [7]"},
    {16, false, "Revenue Protection"},
    {16, false, "Lo I Threshold"},
    {16, true, "PF a Offset"},
    {16, true, "PF b Offset"},
    {16, true, "PF c Offset"},
}};

constexpr std::array<rRegisterDef, MeasurementLast - MeasurementFirst + 1> MeasurementTable{{
    {16, false, "Reserved"},
    {16, false, "AWattHr"},
    {16, false, "BWattHr"},
    {16, false, "CWattHr"},
    {16, false, "AVarHr"},
    {16, false, "BVarHr"},
    {16, false, "CVarHr"},
    {16, false, "AVAHr"},
    {16, false, "BVAHr"},
    {16, false, "CVAHr"},
    {24, true, "AIrms"},
    {24, false, "BIrms"},
    {24, false, "CIrms"},
    {24, false, "AVrms"},
    {24, false, "BVrms"},
    {24, false, "CVrms"},
    {12, false, "Freq"},
    {8, true, "Temp"},
    {12, false, "WForm"},
    {8, false, "OPMode"},
    {8, false, "MMode"},
    {8, false, "WAVMode"},
    {8, false, "COMPMode"},
    {8, false, "LCycMode"},
    {24, false, "Mask"},
    {24, false, "Status"},
    {24, false, "RStatus"},
    {16, false, "ZXTOut"},
    {16, false, "LineCyc"},
    {8, false, "SAGCYC"},
    {8, false, "SAGLVL"},
    {8, false, "VPINTLVL"},
    {8, false, "IPINTLVL"},
    {8, false, "VPeak"},
    {8, false, "IPeak"},
    {8, false, "Gain"},
    {12, true, "AVrmsGain"},
    {12, true, "BVrmsGain"},
    {12, true, "CVrmsGain"},
    {12, true, "AIGain"},
    {12, true, "BIGain"},
    {12, true, "CIGain"},
    {12, true, "AWGain"},
    {12, true, "BWGain"},
    {12, true, "CWGain"},
    {12, true, "AVARGain"},
    {12, true, "BVARGain"},
    {12, true, "CVARGain"},
    {12, true, "AVAGain"},
    {12, true, "BVAGain"},
    {12, true, "CVAGain"},
    {12, true, "AVrmsOS"},
    {12, true, "BVrmsOS"},
    {12, true, "CVrmsOS"},
    {12, true, "AIrmsOS"},
    {12, true, "BIrmsOS"},
    {12, true, "CIrmsOS"},
    {12, true, "AWattOS"},
    {12, true, "BWattOS"},
    {12, true, "CWattOS"},
    {12, true, "AVarOS"},
    {12, true, "BVarOS"},
    {12, true, "CVarOS"},
    {7, true, "APhCal"},
    {7, true, "BPhCal"},
    {7, true, "CPhCal"},
    {8, false, "WDiv"},
    {8, false, "VARDiv"},
    {8, false, "VADiv"},
    {16, false, "APCFNUM"},
    {12, false, "APCFDEN"},
    {16, false, "VARCFNUM"},
    {12, false, "VARCFDEN"},
}};

} // namespace

std::optional<rRegisterDef> Lookup(int reg)
{
    if (reg >= ConfigFirst && reg <= ConfigLast)
        return ConfigTable[reg - ConfigFirst];
    if (reg >= MeasurementFirst && reg <= MeasurementLast)
        return MeasurementTable[reg - MeasurementFirst];
    return std::nullopt;
}

} // namespace RegisterBitDefs

int32_t MaskedNumber(int32_t value, int bits, bool isSigned)
{
    bits = std::clamp(bits, 0, 32);
    const uint32_t mask = static_cast<uint32_t>((uint64_t{1} << bits) - 1);
    const uint32_t v = static_cast<uint32_t>(value) & mask;
    const uint32_t top = uint32_t{1} << ((bits - 1) & 31);
    if (isSigned && static_cast<int32_t>(v & top) > 0)
        return static_cast<int32_t>(static_cast<int64_t>(v) - (int64_t{1} << bits));
    return static_cast<int32_t>(v);
}
