#include "ModbusServerPdu.h"

#include "MeterModel.h"

namespace ModbusServerPdu {

namespace {

uint16_t Word(std::span<const uint8_t> pdu, size_t at)
{
    return static_cast<uint16_t>(pdu[at] << 8 | pdu[at + 1]);
}

void PutWord(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

std::vector<uint8_t> ReadRegisters(TMeterModel& meter, std::span<const uint8_t> req)
{
    const uint8_t fn = req[0];
    if (req.size() != 5)
        return Exception(fn, ExIllegalValue);
    const uint16_t first = Word(req, 1);
    const uint16_t count = Word(req, 3);
    if (count < 1 || count > MaxReadCount)
        return Exception(fn, ExIllegalValue);
    std::vector<uint16_t> values;
    if (const uint8_t ex = meter.ReadRegisters(first, count, values))
        return Exception(fn, ex);
    std::vector<uint8_t> reply{fn, static_cast<uint8_t>(2 * count)};
    for (uint16_t v : values)
        PutWord(reply, v);
    return reply;
}

std::vector<uint8_t> WriteSingle(TMeterModel& meter, std::span<const uint8_t> req)
{
    if (req.size() != 5)
        return Exception(FnWriteSingle, ExIllegalValue);
    const uint16_t value = Word(req, 3);
    if (const uint8_t ex = meter.WriteRegisters(Word(req, 1), std::span(&value, 1)))
        return Exception(FnWriteSingle, ex);
    return {req.begin(), req.end()};
}

std::vector<uint8_t> WriteMultiple(TMeterModel& meter, std::span<const uint8_t> req)
{
    if (req.size() < 6)
        return Exception(FnWriteMultiple, ExIllegalValue);
    const uint16_t first = Word(req, 1);
    const uint16_t count = Word(req, 3);
    const uint8_t byteCount = req[5];
    if (count < 1 || count > MaxWriteCount || byteCount != 2 * count || req.size() != 6u + byteCount)
        return Exception(FnWriteMultiple, ExIllegalValue);
    std::vector<uint16_t> values(count);
    for (uint16_t i = 0; i < count; ++i)
        values[i] = Word(req, 6 + 2 * i);
    if (const uint8_t ex = meter.WriteRegisters(first, values))
        return Exception(FnWriteMultiple, ex);
    return {req.begin(), req.begin() + 5};
}

std::vector<uint8_t> ReportServerId(const TMeterModel& meter, std::span<const uint8_t> req)
{
    if (req.size() != 1)
        return Exception(FnReportServerId, ExIllegalValue);
    const std::string text = meter.Identification();
    std::vector<uint8_t> reply{FnReportServerId, static_cast<uint8_t>(2 + text.size()), ServerId, RunStatusOn};
    reply.insert(reply.end(), text.begin(), text.end());
    return reply;
}

} // namespace

bool IsWrite(std::span<const uint8_t> request)
{
    return !request.empty() && (request[0] == FnWriteSingle || request[0] == FnWriteMultiple);
}

std::vector<uint8_t> Exception(uint8_t function, uint8_t code)
{
    return {static_cast<uint8_t>(function | 0x80), code};
}

std::vector<uint8_t> Handle(TMeterModel& meter, std::span<const uint8_t> request)
{
    if (request.empty())
        return Exception(0, ExIllegalFunction);
    switch (request[0]) {
    case FnReadHolding:
    case FnReadInput:
        return ReadRegisters(meter, request);
    case FnWriteSingle:
        return WriteSingle(meter, request);
    case FnWriteMultiple:
        return WriteMultiple(meter, request);
    case FnReportServerId:
        return ReportServerId(meter, request);
    default:
        return Exception(request[0], ExIllegalFunction);
    }
}

} // namespace ModbusServerPdu
