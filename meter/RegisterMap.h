#pragma once

// The Kelvane meter's holding registers that the program relies on by
// number. Everything outside the simulator names them from here; the
// simulator keeps numbers of its own, so that it stays an independent
// judge of the program's reading of the map.
namespace RegisterMap {

// The configuration block that the configuration editor reads and writes.
constexpr int ConfigFirst = 128;
constexpr int ConfigLast = 158;

// Voltage (PT) and current (CT) transformer ratios: primary and secondary.
constexpr int PtPrimary = 128;
constexpr int PtSecondary = 129;
constexpr int CtPrimary = 130;
constexpr int CtSecondary = 131;

// A Kelvane meter always reads 12345 here.
constexpr int Fixed12345 = 133;
constexpr int Fixed12345Value = 12345;

// The configuration word; its bit 13 set means the low word of 32-bit and
// floating values comes first.
constexpr int ConfigWord = 142;
constexpr int WordOrderBit = 0x2000;

constexpr int SerialNumber = 149;
// The extended configuration word; its bit 3 makes the meter answer
// function 17 ("Devid Mode").
constexpr int XConfigWord = 158;
constexpr int XConfigDevidBit = 0x0008;

// The 60 logged quantities, as floats of two registers each from here.
constexpr int LoggedQuantitiesFirst = 768;
constexpr int LoggedQuantities = 60;

// The registers a technician sets and a profile carries: the ratios and
// pulse settings, the analog outputs, the configuration word and the
// scratchpads with the extended word; never the fixed register, the reset
// register, the thresholds, calibration or the serial number.
constexpr bool Editable(int reg)
{
    return (reg >= 128 && reg <= 132) || reg == 134 || (reg >= 136 && reg <= 142) || (reg >= 150 && reg <= 158);
}

} // namespace RegisterMap
