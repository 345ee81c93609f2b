#pragma once

#include <cstdint>
#include <optional>

// Width, sign and name of the meter's registers whose values are narrower
// than 16 bits or signed: the configuration block and the measurement block.
struct rRegisterDef {
    uint8_t Bits;
    bool Signed;
    const char* Name;
};

namespace RegisterBitDefs {

constexpr int ConfigFirst = 128;
constexpr int ConfigLast = 162;
constexpr int MeasurementFirst = 512;
constexpr int MeasurementLast = 584;

// The definition of a register, or nothing for a register outside both blocks.
std::optional<rRegisterDef> Lookup(int reg);

} // namespace RegisterBitDefs

// The value's low `bits` bits, read as a two's-complement number of that
// width when isSigned. Bits 0 ... 32.
int32_t MaskedNumber(int32_t value, int bits, bool isSigned);
