#pragma once

#include "KelvaneError.h"

#include <cstdint>
#include <memory>

// The origins of TModbusBuffer::Seek.
enum class TBufferSeekOrigin { soStart, soEnd, soBack1, soForward1, soBack2, soForward2 };

// One application data unit of the serial Modbus master: a storage block of
// fixed Capacity, a cursor (Position) and the number of valid bytes (Size),
// always 0 <= Position <= Size <= Capacity. Reads look at the cursor without
// moving it; writes store at the cursor, move it on and grow Size. Every read
// and write checks its length against Capacity (not Size) and raises
// EModbusError when it would leave the block.
class TModbusBuffer {
public:
    explicit TModbusBuffer(int capacity);
    TModbusBuffer(const TModbusBuffer&) = delete;
    TModbusBuffer& operator=(const TModbusBuffer&) = delete;

    int Capacity() const { return capacity_; }
    int Position() const { return position_; }
    int Size() const { return size_; }
    void SetPosition(int p);
    void SetSize(int s);
    void Seek(TBufferSeekOrigin origin);

    uint8_t ReadByte() const;
    uint16_t ReadWord() const;
    uint16_t ReadWordLE() const;
    void ReadBytes(uint8_t* dest, int n) const;
    void WriteByte(uint8_t b);
    void WriteWord(uint16_t w);
    void WriteWordLE(uint16_t w);
    // The byte at offset, wherever the cursor is; checked against Capacity
    // like every read.
    uint8_t ByteAt(int offset) const;

    // Checksums over the bytes before the cursor.
    uint16_t Crc16() const;
    uint8_t Lrc() const;

    // The whole block, for the frame code that copies wire bytes in and out.
    uint8_t* Data() { return data_.get(); }
    const uint8_t* Data() const { return data_.get(); }

private:
    void CheckSpace(int n) const;
    [[noreturn]] static void RaiseNoSpace();
    void Grow();

    int capacity_;
    int position_ = 0;
    int size_ = 0;
    std::unique_ptr<uint8_t[]> data_;
};
