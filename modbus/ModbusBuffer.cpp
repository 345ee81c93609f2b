#include "ModbusBuffer.h"

#include "SerialFrame.h"

#include <cstring>
#include <string>

namespace {

[[noreturn]] void RaiseInvalid(const char* what, int value)
{
    throw EModbusError(std::string(what) + " (" + std::to_string(value) + ")");
}

} // namespace

// The block starts zeroed so that a read beyond Size, which the space check
// allows, never sees indeterminate memory.
TModbusBuffer::TModbusBuffer(int capacity)
    : capacity_(capacity)
{
    if (capacity < 0)
        RaiseInvalid("Buffer size is invalid", capacity);
    data_ = std::make_unique<uint8_t[]>(static_cast<std::size_t>(capacity));
}

void TModbusBuffer::RaiseNoSpace()
{
    throw EModbusError("There is not enough space in the buffer to perform the requested action");
}

void TModbusBuffer::CheckSpace(int n) const
{
    if (capacity_ - position_ < n)
        RaiseNoSpace();
}

void TModbusBuffer::Grow()
{
    if (position_ > size_)
        size_ = position_;
}

void TModbusBuffer::SetPosition(int p)
{
    if (p == position_)
        return;
    if (p < 0 || p > size_)
        RaiseInvalid("Buffer position is invalid", p);
    position_ = p;
}

void TModbusBuffer::SetSize(int s)
{
    if (s == size_)
        return;
    if (s < 0 || s > capacity_)
        RaiseInvalid("Buffer size is invalid", s);
    size_ = s;
    if (position_ > s)
        position_ = s;
}

void TModbusBuffer::Seek(TBufferSeekOrigin origin)
{
    switch (origin) {
    case TBufferSeekOrigin::soStart:
        position_ = 0;
        break;
    case TBufferSeekOrigin::soEnd:
        position_ = size_;
        break;
    case TBufferSeekOrigin::soBack1:
        SetPosition(position_ - 1);
        break;
    case TBufferSeekOrigin::soForward1:
        SetPosition(position_ + 1);
        break;
    case TBufferSeekOrigin::soBack2:
        SetPosition(position_ - 2);
        break;
    case TBufferSeekOrigin::soForward2:
        SetPosition(position_ + 2);
        break;
    }
}

uint8_t TModbusBuffer::ReadByte() const
{
    CheckSpace(1);
    return data_[position_];
}

uint8_t TModbusBuffer::ByteAt(int offset) const
{
    if (offset < 0 || offset >= capacity_)
        RaiseNoSpace();
    return data_[offset];
}

uint16_t TModbusBuffer::ReadWord() const
{
    CheckSpace(2);
    return static_cast<uint16_t>(data_[position_] << 8 | data_[position_ + 1]);
}

uint16_t TModbusBuffer::ReadWordLE() const
{
    CheckSpace(2);
    return static_cast<uint16_t>(data_[position_] | data_[position_ + 1] << 8);
}

void TModbusBuffer::ReadBytes(uint8_t* dest, int n) const
{
    if (n <= 0)
        return;
    CheckSpace(n);
    std::memcpy(dest, data_.get() + position_, static_cast<std::size_t>(n));
}

void TModbusBuffer::WriteByte(uint8_t b)
{
    CheckSpace(1);
    data_[position_++] = b;
    Grow();
}

void TModbusBuffer::WriteWord(uint16_t w)
{
    CheckSpace(2);
    data_[position_++] = static_cast<uint8_t>(w >> 8);
    data_[position_++] = static_cast<uint8_t>(w & 0xFF);
    Grow();
}

void TModbusBuffer::WriteWordLE(uint16_t w)
{
    CheckSpace(2);
    data_[position_++] = static_cast<uint8_t>(w & 0xFF);
    data_[position_++] = static_cast<uint8_t>(w >> 8);
    Grow();
}

uint16_t TModbusBuffer::Crc16() const
{
    return ::Crc16(data_.get(), static_cast<std::size_t>(position_));
}

uint8_t TModbusBuffer::Lrc() const
{
    return ::Lrc(data_.get(), static_cast<std::size_t>(position_));
}
