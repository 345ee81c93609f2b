#pragma once

#include "ModbusBuffer.h"

#include <cstdint>
#include <vector>

// Bit and word utilities of the request layer.
int BitBytes(int n);
// Writes BitBytes(values.size()) bytes at the cursor, least significant bit first.
void PackBits(const std::vector<bool>& values, TModbusBuffer& buffer);
// Reads values.size() bits from the cursor on, moving it past the bytes read.
void UnpackBits(TModbusBuffer& buffer, std::vector<bool>& values);
// The IEEE-754 single made of two words: first is the high half when
// highFirst, else the low half.
float WordsToSingle(uint16_t first, uint16_t second, bool highFirst);
