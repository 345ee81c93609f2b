#pragma once

#include "RequestDispatcher.h"
#include "StreamFraming.h"

// Modbus/TCP: a request is the 7-byte MBAP header (its length counts the
// unit id and the PDU) and the PDU; the reply echoes the transaction id. A
// header with another protocol id or a length no PDU has closes the
// connection, since nothing after it can be framed. Unit 0 stands for the
// meter when there is only one. A unit without a meter gets what the
// dispatcher was told for one (exception 11 in kelvane-sim).
class TMbapFraming final : public TStreamFraming {
public:
    static constexpr std::size_t HeaderSize = 7;
    static constexpr std::size_t MaxPdu = 253;
    static constexpr std::size_t MaxFrame = HeaderSize + MaxPdu;

    explicit TMbapFraming(TRequestDispatcher& dispatcher);

    // What the frame under way still lacks.
    std::size_t ReadLimit() const override;
    rTaken Take(std::span<const uint8_t> bytes) override;
    std::optional<std::chrono::milliseconds> SilenceLeft() const override { return std::nullopt; }

private:
    std::size_t FrameSize() const;
    bool HeaderValid() const;
    void Answer(rTaken& taken);

    TRequestDispatcher& Dispatcher;
    std::vector<uint8_t> In; // the frame being received
};
