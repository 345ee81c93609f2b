#include "ModbusFileRecords.h"

#include "KelvaneError.h"

#include <string>

TModbusFileRecord::TModbusFileRecord(uint16_t fileNumber, uint16_t recordNumber, uint16_t recordLength)
    : fileNumber_(fileNumber), recordNumber_(recordNumber)
{
    if (int(recordNumber) + int(recordLength) - 1 > LastRecordNumber)
        throw EModbusError("Starting register index is invalid (" + std::to_string(recordNumber) + ")");
    values_.assign(recordLength, 0);
}

void TModbusFileRecord::CheckIndex(int index) const
{
    if (index < 0 || index >= RecordLength())
        throw EModbusError("Register index is invalid (" + std::to_string(index) + ")");
}

uint16_t TModbusFileRecord::Value(int index) const
{
    CheckIndex(index);
    return values_[static_cast<std::size_t>(index)];
}

void TModbusFileRecord::SetValue(int index, uint16_t value)
{
    CheckIndex(index);
    values_[static_cast<std::size_t>(index)] = value;
}

TModbusFileRecord& TModbusFileRecordList::Add(uint16_t fileNumber, uint16_t recordNumber, uint16_t recordLength)
{
    // The record is owned from its creation on, so a failed append frees it.
    auto record = std::make_unique<TModbusFileRecord>(fileNumber, recordNumber, recordLength);
    items_.push_back(std::move(record));
    return *items_.back();
}

void TModbusFileRecordList::CheckIndex(int index) const
{
    if (index < 0 || index >= Count())
        throw EModbusError("List index out of bounds (" + std::to_string(index) + ")");
}

void TModbusFileRecordList::Delete(int index)
{
    CheckIndex(index);
    items_.erase(items_.begin() + index);
}

void TModbusFileRecordList::Clear()
{
    items_.clear();
}

TModbusFileRecord& TModbusFileRecordList::Items(int index)
{
    CheckIndex(index);
    return *items_[static_cast<std::size_t>(index)];
}

const TModbusFileRecord& TModbusFileRecordList::Items(int index) const
{
    CheckIndex(index);
    return *items_[static_cast<std::size_t>(index)];
}
