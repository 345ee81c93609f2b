#include "ModbusPdu.h"

#include "ModbusFunctions.h"

// The request layouts of functions 20 and 21: a byte count, then one
// sub-request per record (reference type, file, first record, length, and
// for a write the register values).

namespace ModbusPdu {
namespace {

void AppendWord(TPdu& pdu, uint16_t w)
{
    pdu.push_back(static_cast<uint8_t>(w >> 8));
    pdu.push_back(static_cast<uint8_t>(w & 0xFF));
}

void AppendSubRequest(TPdu& pdu, const TFileRecordRef& record, uint16_t length)
{
    pdu.push_back(FileRecordReference);
    AppendWord(pdu, record.FileNumber);
    AppendWord(pdu, record.RecordNumber);
    AppendWord(pdu, length);
}

// Fills in the byte count once the sub-requests are known.
TPdu Finish(TPdu pdu)
{
    pdu[1] = static_cast<uint8_t>(pdu.size() - 2);
    return pdu;
}

} // namespace

TPdu ReadFileRecordRequest(std::span<const TFileRecordRef> records)
{
    TPdu pdu{ModbusFunctions::ReadFileRecord, 0};
    for (const TFileRecordRef& record : records)
        AppendSubRequest(pdu, record, record.RecordLength);
    return Finish(std::move(pdu));
}

TPdu WriteFileRecordRequest(std::span<const TFileRecordRef> records)
{
    TPdu pdu{ModbusFunctions::WriteFileRecord, 0};
    for (const TFileRecordRef& record : records) {
        AppendSubRequest(pdu, record, static_cast<uint16_t>(record.Values.size()));
        for (uint16_t value : record.Values)
            AppendWord(pdu, value);
    }
    return Finish(std::move(pdu));
}

} // namespace ModbusPdu
