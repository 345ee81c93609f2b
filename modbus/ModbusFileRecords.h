#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Register values of a request or a reply, one 16-bit word each.
using TRegValues = std::vector<uint16_t>;

// One record range of a Modbus file (functions 20 and 21): RecordLength
// registers from RecordNumber on in file FileNumber. Records are numbered
// 0 ... 9999 within a file.
class TModbusFileRecord {
public:
    static constexpr int LastRecordNumber = 9999;

    // Raises EModbusError "Starting register index is invalid (%d)" with
    // recordNumber when the range passes the last record.
    TModbusFileRecord(uint16_t fileNumber, uint16_t recordNumber, uint16_t recordLength);

    uint16_t FileNumber() const { return fileNumber_; }
    uint16_t RecordNumber() const { return recordNumber_; }
    int RecordLength() const { return static_cast<int>(values_.size()); }
    const TRegValues& Values() const { return values_; }
    // Both raise EModbusError "Register index is invalid (%d)" for an index
    // outside the record.
    uint16_t Value(int index) const;
    void SetValue(int index, uint16_t value);

private:
    void CheckIndex(int index) const;

    uint16_t fileNumber_;
    uint16_t recordNumber_;
    TRegValues values_;
};

// An owning list of file records, in the order they were added.
class TModbusFileRecordList {
public:
    TModbusFileRecord& Add(uint16_t fileNumber, uint16_t recordNumber, uint16_t recordLength);
    // Delete and Items raise EModbusError "List index out of bounds (%d)"
    // for an index outside the list.
    void Delete(int index);
    void Clear();
    int Count() const { return static_cast<int>(items_.size()); }
    TModbusFileRecord& Items(int index);
    const TModbusFileRecord& Items(int index) const;

private:
    void CheckIndex(int index) const;

    std::vector<std::unique_ptr<TModbusFileRecord>> items_;
};
