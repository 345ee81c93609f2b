#include "RequestDispatcher.h"

#include "ModbusServerPdu.h"

TRequestDispatcher::TRequestDispatcher(const std::vector<uint8_t>& units, rFaultOptions faults,
                                       TUnknownUnit unknownUnit, TMeterModel::TClock clock)
    : Faults(faults)
    , UnknownUnit(unknownUnit)
{
    for (uint8_t u : units)
        Meters.emplace(u, std::make_unique<TMeterModel>(u, clock));
}

TMeterModel* TRequestDispatcher::Meter(uint8_t unit)
{
    const auto it = Meters.find(unit);
    return it == Meters.end() ? nullptr : it->second.get();
}

bool TRequestDispatcher::WithMeter(uint8_t unit, const std::function<void(TMeterModel&)>& use)
{
    TMeterModel* meter = Meter(unit);
    if (!meter)
        return false;
    const std::lock_guard lock(Lock);
    use(*meter);
    return true;
}

std::optional<TRequestDispatcher::rReply> TRequestDispatcher::Handle(uint8_t unit, std::span<const uint8_t> pdu)
{
    return Handle(unit, pdu, UnknownUnit);
}

std::optional<TRequestDispatcher::rReply> TRequestDispatcher::Handle(uint8_t unit, std::span<const uint8_t> pdu,
                                                                     TUnknownUnit unknownUnit)
{
    TMeterModel* meter = Meter(unit);
    if (!meter) {
        // Not counted: the faults belong to the simulated meters.
        if (unknownUnit == TUnknownUnit::Silent || pdu.empty())
            return std::nullopt;
        return rReply{unit, ModbusServerPdu::Exception(pdu[0], ModbusServerPdu::ExGatewayTargetFailed)};
    }

    const std::lock_guard lock(Lock);
    ++RequestCount;
    if (IsNth(RequestCount, Faults.DropEvery))
        return std::nullopt;

    rReply reply{unit, {}};
    if (IsNth(RequestCount, Faults.ExceptionEvery) && !pdu.empty())
        reply.Pdu = ModbusServerPdu::Exception(pdu[0], ModbusServerPdu::ExServerFailure);
    else
        reply.Pdu = ModbusServerPdu::Handle(*meter, pdu);

    if (IsNth(RequestCount, Faults.CorruptEvery))
        Corrupt(reply.Pdu, CorruptCount++);
    if (Faults.WrongUnit)
        reply.Unit = static_cast<uint8_t>(unit + 1);
    return reply;
}

void TRequestDispatcher::Broadcast(std::span<const uint8_t> pdu)
{
    if (!ModbusServerPdu::IsWrite(pdu))
        return;
    const std::lock_guard lock(Lock);
    for (auto& [unit, meter] : Meters)
        ModbusServerPdu::Handle(*meter, pdu);
}

void TRequestDispatcher::Corrupt(std::vector<uint8_t>& pdu, uint64_t nth)
{
    if (pdu.size() < 2)
        return;
    const uint8_t fn = pdu[0];
    if (nth % 2 == 0 || (fn & 0x80) != 0) {
        // Function code 3 becomes 2, 4 becomes 5, 16 becomes 17 and so on;
        // the exception bit is kept as it was.
        pdu[0] = fn ^ 0x01;
        return;
    }
    switch (fn) {
    case ModbusServerPdu::FnReadHolding:
    case ModbusServerPdu::FnReadInput:
        // One register fewer than the data that follows.
        pdu[1] = static_cast<uint8_t>(pdu[1] - 2);
        break;
    case ModbusServerPdu::FnReportServerId:
        pdu[1] = static_cast<uint8_t>(pdu[1] - 1);
        break;
    default:
        // Writes echo the address: echo the next one.
        if (pdu.size() >= 3 && ++pdu[2] == 0)
            ++pdu[1];
        break;
    }
}
