#pragma once

#include "SerialFrame.h"

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void Fill(TModbusBuffer& b, const Bytes& bytes)
{
    for (uint8_t byte : bytes)
        b.WriteByte(byte);
}

// The wire form of an ADU with its checksum appended.
inline std::string Wire(TTransmissionMode mode, const Bytes& adu)
{
    TModbusBuffer b(256);
    Fill(b, adu);
    AppendChecksum(mode, b);
    std::string raw(513, '\0');
    raw.resize(static_cast<std::size_t>(EncodeFrame(mode, b, reinterpret_cast<uint8_t*>(raw.data()), 513)));
    return raw;
}
