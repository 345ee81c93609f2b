#pragma once

#include "ModbusBuffer.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The length of the RTU request (address, PDU, CRC) that begins with `adu`:
// 0 while its bytes do not tell it yet, and always 0 for a function whose
// requests have no length of their own (those end at a silence).
std::size_t RtuRequestSize(std::span<const uint8_t> adu);

// The silence that ends a request on an 8N1 line at `baud`, in ms: the
// utility's silent interval of 4 characters.
uint32_t RtuRequestSilenceMs(uint32_t baud);

// One request taken off the line, its CRC checked and removed.
struct rRtuRequest {
    uint8_t Address;
    std::vector<uint8_t> Pdu;
    bool operator==(const rRtuRequest&) const = default;
};

// Delimits RTU requests in the bytes a server receives, as a meter on a bus
// does. A request ends as soon as the length its function implies has come
// in, so the reply need not wait for the line to fall silent; a function
// whose length its bytes do not tell ends at a silence of the frame
// interval, and so does an incomplete frame. A frame whose CRC is wrong is
// dropped without a reply, and so is everything after it up to the next
// silence: until then the reader cannot know where the next frame begins.
// Frames longer than the largest ADU are dropped the same way.
class TRtuRequestReader {
public:
    explicit TRtuRequestReader(uint32_t frameIntervalMs);

    // The clock a server passes to Take: a steady clock in ms.
    static int64_t NowMs();

    // Takes the bytes that arrived at nowMs (none: only time has passed) and
    // returns the requests completed, in order. A frame under way whose
    // silence has come by nowMs ends before the new bytes are looked at.
    std::vector<rRtuRequest> Take(std::span<const uint8_t> bytes, int64_t nowMs);
    // When the frame under way ends unless more bytes come; INT64_MAX while
    // there is none.
    int64_t Deadline() const;
    // Forgets the frame under way (the line went away).
    void Reset();

private:
    void Add(uint8_t byte, std::vector<rRtuRequest>& done);
    void EndAtSilence(std::vector<rRtuRequest>& done);
    // Decodes the frame collected so far; false for a wrong CRC.
    bool Accept(std::vector<rRtuRequest>& done);

    int64_t Interval;
    int64_t LastByteMs = 0;
    bool Dropping = false;
    std::vector<uint8_t> Frame;
    TModbusBuffer Buffer;
};
