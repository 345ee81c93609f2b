#include "LogValues.h"

#include "KelvaneCOM.h"
#include "RegisterMap.h"

#include <algorithm>
#include <initializer_list>
#include <limits>

namespace {

// The "Log" button logs these integer registers, scaled, as entries 19 to 27.
constexpr int FirstScaledEntry = 19;
constexpr std::array ScaledRegisters{19, 20, 21, 22, 23, 24, 25, 32, 33};

// numerator / denominator of a ratio register pair; a meter whose secondary
// reads 0 has no ratio configured, and 1 keeps the value unscaled rather
// than logging an infinity.
double Ratio(const TKelvane& meter, int numeratorRegister, int denominatorRegister)
{
    const int32_t denominator = meter.GetRegister(denominatorRegister);
    return denominator == 0 ? 1.0 : double(meter.GetRegister(numeratorRegister)) / denominator;
}

// A quantity that was not read is logged as an empty field (a value that is
// no number formats as nothing), so a spreadsheet shows a gap rather than a
// stale value or the zero of a reset image as if it had been measured.
constexpr double NotRead = std::numeric_limits<double>::quiet_NaN();

bool LatestReadsOk(const TKelvane& meter, std::initializer_list<int> registers)
{
    return std::all_of(registers.begin(), registers.end(), [&meter](int reg) { return meter.LatestReadOk(reg); });
}

} // namespace

TLogValues LogValues(const TKelvane& meter, bool scaledPhasePowers)
{
    TLogValues values{};
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = meter.LoggedQuantity(int(i)).value_or(NotRead);
    if (scaledPhasePowers) {
        using namespace RegisterMap;
        const double scale = Ratio(meter, PtPrimary, PtSecondary) * Ratio(meter, CtPrimary, CtSecondary);
        for (std::size_t k = 0; k < ScaledRegisters.size(); ++k) {
            const int reg = ScaledRegisters[k];
            values[FirstScaledEntry + k] =
                LatestReadsOk(meter, {reg, PtPrimary, PtSecondary, CtPrimary, CtSecondary}) ? meter.GetRegister(reg) * scale / 10 : NotRead;
        }
    }
    return values;
}
