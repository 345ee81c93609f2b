#pragma once

// Simulated meters whose load stands still, so that every pass reads the
// same values, and those values as the test decodes them itself.

#include "SimHarness.h"

#include <bit>
#include <cstdint>
#include <vector>

inline simharness::rSimSetup Frozen(std::vector<uint8_t> units)
{
    simharness::rSimSetup setup;
    setup.Units = std::move(units);
    setup.Clock = [] { return 1000.0; };
    return setup;
}

// Logged quantity i of a simulated meter, decoded from its registers here,
// not by the logger's code: the float in registers 768 + 2i and 769 + 2i in
// the word order that bit 13 of register 142 gives.
inline double Quantity(simharness::TSimMeters& sim, uint8_t unit, int index)
{
    const uint32_t first = sim.Register(unit, uint16_t(768 + 2 * index));
    const uint32_t second = sim.Register(unit, uint16_t(769 + 2 * index));
    const bool lowWordFirst = sim.Register(unit, 142) & 0x2000;
    return std::bit_cast<float>(lowWordFirst ? second << 16 | first : first << 16 | second);
}
