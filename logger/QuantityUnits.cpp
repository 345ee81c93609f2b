#include "QuantityUnits.h"

#include <array>

namespace {

// The unit of a run of quantities, in the log's order.
struct TUnitRange {
    std::size_t First, Last;
    TQuantityUnit Unit;
};

constexpr double KiloHour = 3.6e6; // kWh to joules, kvarh to var seconds, kVAh to VA seconds

constexpr std::array<TUnitRange, 21> Units{{
    {0, 0, {"kWh", "joules", KiloHour, true}},
    {1, 1, {"W", "watts", 1, false}},
    {2, 2, {"var", "volt_amperes_reactive", 1, false}},
    {3, 3, {"VA", "volt_amperes", 1, false}},
    {4, 5, {"V", "volts", 1, false}},
    {6, 6, {"A", "amperes", 1, false}},
    {7, 7, {"", "ratio", 1, false}},
    {8, 8, {"Hz", "hertz", 1, false}},
    {9, 9, {"W", "watts", 1, false}},
    {10, 15, {"V", "volts", 1, false}},
    {16, 18, {"A", "amperes", 1, false}},
    {19, 21, {"W", "watts", 1, false}},
    {22, 24, {"var", "volt_amperes_reactive", 1, false}},
    {25, 27, {"VA", "volt_amperes", 1, false}},
    {28, 30, {"", "ratio", 1, false}},
    {31, 31, {"", "", 1, false}}, // the software version
    {32, 39, {"kWh", "joules", KiloHour, true}},
    {40, 43, {"kWh", "joules", KiloHour, false}}, // net energy, may fall
    {44, 51, {"kvarh", "volt_ampere_reactive_seconds", KiloHour, true}},
    {52, 55, {"kvarh", "volt_ampere_reactive_seconds", KiloHour, false}}, // net, may fall
    {56, 59, {"kVAh", "volt_ampere_seconds", KiloHour, true}},
}};

} // namespace

const TQuantityUnit& QuantityUnit(std::size_t index)
{
    for (const TUnitRange& range : Units)
        if (index >= range.First && index <= range.Last)
            return range.Unit;
    return Units.back().Unit; // not reached: the ranges cover all 60 quantities
}
