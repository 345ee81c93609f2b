#include "ModbusBits.h"

#include <bit>

int BitBytes(int n)
{
    if (n <= 0)
        return 0;
    return n / 8 + (n % 8 != 0 ? 1 : 0);
}

void PackBits(const std::vector<bool>& values, TModbusBuffer& buffer)
{
    const int n = static_cast<int>(values.size());
    for (int first = 0; first < n; first += 8) {
        uint8_t byte = 0;
        for (int bit = 0; bit < 8 && first + bit < n; ++bit)
            if (values[static_cast<std::size_t>(first + bit)])
                byte = static_cast<uint8_t>(byte | 1u << bit);
        buffer.WriteByte(byte);
    }
}

// Reads never move the cursor, so each byte is read and then stepped over.
void UnpackBits(TModbusBuffer& buffer, std::vector<bool>& values)
{
    uint8_t byte = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i % 8 == 0) {
            byte = buffer.ReadByte();
            buffer.Seek(TBufferSeekOrigin::soForward1);
        }
        values[i] = (byte >> (i % 8) & 1) != 0;
    }
}

float WordsToSingle(uint16_t first, uint16_t second, bool highFirst)
{
    const uint32_t high = highFirst ? first : second;
    const uint32_t low = highFirst ? second : first;
    return std::bit_cast<float>(high << 16 | low);
}
