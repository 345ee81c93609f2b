#pragma once

// An emulated RS-485 line at a given baud rate, 8N1 (10 bits a character),
// between a master and a meter's serial port. The master opens ClientPath(),
// a pseudo-terminal of the relay's, as its port; the relay opens the
// meter's port (the simulator's RTU line) as a raw terminal. In each
// direction a character goes out when its last bit would arrive: no earlier
// than max(the time it was read from the sender, the time the previous
// character in that direction finished) + 10 / baud seconds. The line is
// full duplex; a Modbus master never talks over its meter anyway.

#include "Descriptors.h"
#include "PacedForwarder.h"
#include "PtyLine.h"

#include <cstdint>
#include <string>
#include <vector>

class TLineRelay {
public:
    // Throws std::runtime_error when the meter's port does not open.
    TLineRelay(const std::string& meterPort, uint32_t baud);

    const std::string& ClientPath() const { return client_.SlavePath(); }
    TMonotonic CharacterTime() const { return character_; }
    // Whether both directions run at a real-time priority.
    bool RealTime() const { return toMeter_.RealTime() && toClient_.RealTime(); }
    // Each character's lateness against the line's schedule, both ways.
    std::vector<TMonotonic> Lateness() const;

private:
    TMonotonic character_;
    TPtyLine client_;
    TUniqueFd meter_;
    TPacedForwarder toMeter_;
    TPacedForwarder toClient_;
};
