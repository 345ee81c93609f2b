#pragma once

#include "MeterModel.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

// Faults a test or a technician can ask the simulator to make. An "every N"
// of 0 is off; requests are counted over all units and all clients, from 1.
struct rFaultOptions {
    int DropEvery = 0;      // no reply to every Nth request
    int ExceptionEvery = 0; // every Nth request answered with exception 4
    int CorruptEvery = 0;   // every Nth reply corrupted
    bool WrongUnit = false; // replies carry another unit id
};

// What a request to a unit that no meter here has gets. A gateway in front
// of absent meters answers exception 11; a meter on a serial bus keeps quiet.
enum class TUnknownUnit { Silent, GatewayException };

// The meters behind the servers and the faults laid over their replies; the
// transports (Modbus/TCP, RTU) only move frames. Both transports may serve
// the same meters from threads of their own: Handle and Broadcast take one
// request at a time.
class TRequestDispatcher {
public:
    struct rReply {
        uint8_t Unit;
        std::vector<uint8_t> Pdu;
    };

    TRequestDispatcher(const std::vector<uint8_t>& units, rFaultOptions faults,
                       TUnknownUnit unknownUnit, TMeterModel::TClock clock = {});

    // The reply to `pdu` addressed to `unit`, or nothing when no reply is
    // to be sent. A unit without a meter gets what unknownUnit says, by
    // default what the constructor was told.
    std::optional<rReply> Handle(uint8_t unit, std::span<const uint8_t> pdu);
    std::optional<rReply> Handle(uint8_t unit, std::span<const uint8_t> pdu, TUnknownUnit unknownUnit);

    // A request to every unit at once (address 0 on a serial bus): each
    // meter executes a write; anything else is ignored. Nobody replies, so
    // no fault applies and the request is not counted.
    void Broadcast(std::span<const uint8_t> pdu);

    // The unit of the one meter here; 0 when there are several.
    uint8_t SoleUnit() const { return Meters.size() == 1 ? Meters.begin()->first : 0; }

    // The meter of `unit`, or null. The servers use the meters under the
    // dispatcher's lock; anyone else may look at them only while no server
    // runs.
    TMeterModel* Meter(uint8_t unit);
    // Runs `use` on the meter of `unit` under that lock, so that a test may
    // look at or change a meter while servers run. False when no meter has
    // that unit.
    bool WithMeter(uint8_t unit, const std::function<void(TMeterModel&)>& use);

    // Corrupting a reply alternates between two ways: a wrong function code,
    // and a reply whose byte count (or, for writes, echoed address) does not
    // match the rest of the frame.
    static void Corrupt(std::vector<uint8_t>& pdu, uint64_t nth);

private:
    static bool IsNth(uint64_t count, int every) { return every > 0 && count % every == 0; }

    std::map<uint8_t, std::unique_ptr<TMeterModel>> Meters;
    rFaultOptions Faults;
    TUnknownUnit UnknownUnit;
    uint64_t RequestCount = 0;
    uint64_t CorruptCount = 0;
    std::mutex Lock;
};
