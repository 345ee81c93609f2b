#pragma once

#include "MeterLoad.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// One simulated Kelvane meter: its holding registers and the load it
// measures.
//
// Register map (0-based protocol addresses, 0 ... 1023; unlisted registers
// read 0):
//   2 ... 33, 88  integer measurements, numbered by their analog-output
//                 source codes, secondary side, 16-bit two's complement
//   128 ... 162   configuration block, writable except 133 (reads 12345)
//   512 ... 584   measurement block, each value within its register's width;
//                 writable (masked), but 513 ... 529 follow the load and
//                 overwrite what was written at the next read
//   768 ... 887   the 60 logged quantities as IEEE-754 singles, primary
//                 side, word order chosen by bit 13 of register 142
//
// Bits 1, 2 (reverse W, VAR sign) and 5, 6, 7 (force W, VAR, PF absolute)
// of the configuration word act on the measurements; the default word
// reverses and then forces absolute, so a meter shows positive values, also
// where a wiring fault makes a phase's power negative.
// Measurements are computed from the clock at the moment of a read. Not
// thread-safe: one server thread owns a meter.
class TMeterModel {
public:
    static constexpr int RegisterCount = 1024;
    static constexpr int FloatFirst = 768;
    static constexpr int FloatCount = 60;
    static constexpr uint16_t Fixed12345 = 12345;
    static constexpr uint16_t DefaultConfigWord = 0x05E6;
    static constexpr uint16_t WordOrderBit = 0x2000;
    static constexpr float SoftwareVersion = 5.7f;

    // Seconds since the meter started.
    using TClock = std::function<double()>;

    // Without a clock the meter runs on the steady clock from its
    // construction.
    explicit TMeterModel(uint8_t unit, TClock clock = {});

    uint8_t Unit() const { return UnitId; }
    uint16_t SerialNumber() const { return Holding[149]; }

    // Both return 0 or a Modbus exception code: 2 for a register outside the
    // map (reads) or one the meter does not accept (writes). A refused write
    // changes nothing.
    uint8_t ReadRegisters(uint16_t first, uint16_t count, std::vector<uint16_t>& out);
    uint8_t WriteRegisters(uint16_t first, std::span<const uint16_t> values);

    static bool IsWritable(int reg);

    // How the meter is connected (see TWiring); Healthy until set.
    void SetWiring(TWiring wiring) { Load.SetWiring(wiring); }

    // The readable model text of the identification report: model, serial
    // number and software version ("Kelvane power transducer, serial 10001,
    // firmware 5.70").
    std::string Identification() const;

    // The 60 logged quantities as the float block serves them.
    std::array<float, FloatCount> LoggedQuantities();

private:
    double Now() const;
    void Refresh();
    double DemandWatts(double t) const;
    std::array<float, FloatCount> FloatQuantities(double t, const rLoadSnapshot& s) const;
    void SetSigned(int reg, double value);

    uint8_t UnitId;
    TClock Clock;
    TMeterLoad Load;
    std::array<uint16_t, RegisterCount> Holding{};
};
