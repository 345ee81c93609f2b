#include "MbapFraming.h"

#include <algorithm>

namespace {

uint16_t Word(const std::vector<uint8_t>& b, std::size_t at)
{
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

} // namespace

TMbapFraming::TMbapFraming(TRequestDispatcher& dispatcher)
    : Dispatcher(dispatcher)
{
    In.reserve(MaxFrame);
}

std::size_t TMbapFraming::FrameSize() const
{
    // The length field follows the transaction and protocol ids.
    return In.size() < HeaderSize ? HeaderSize : 6 + std::size_t{Word(In, 4)};
}

std::size_t TMbapFraming::ReadLimit() const
{
    return FrameSize() - In.size();
}

bool TMbapFraming::HeaderValid() const
{
    // Length counts the unit id and the PDU; a PDU has 1 ... 253 bytes.
    const uint16_t length = Word(In, 4);
    return Word(In, 2) == 0 && length >= 2 && length <= 1 + MaxPdu;
}

TStreamFraming::rTaken TMbapFraming::Take(std::span<const uint8_t> bytes)
{
    rTaken taken;
    while (!bytes.empty()) {
        const std::size_t n = std::min(ReadLimit(), bytes.size());
        In.insert(In.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        bytes = bytes.subspan(n);
        if (In.size() == HeaderSize && !HeaderValid()) {
            taken.Broken = true;
            return taken;
        }
        if (In.size() > HeaderSize && In.size() == FrameSize()) {
            Answer(taken);
            In.clear();
        }
    }
    return taken;
}

void TMbapFraming::Answer(rTaken& taken)
{
    ++taken.Requests;
    const std::span<const uint8_t> pdu(In.data() + HeaderSize, In.size() - HeaderSize);
    // A Modbus/TCP meter is reached by its IP address: unit 0 is the meter
    // when it is the only one here, and the reply says 0 as asked.
    const uint8_t unit = In[6] == 0 ? Dispatcher.SoleUnit() : In[6];
    const auto reply = Dispatcher.Handle(unit, pdu);
    if (!reply)
        return;
    const std::size_t length = 1 + reply->Pdu.size();
    std::vector<uint8_t> frame{In[0], In[1], 0, 0, static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length & 0xFF), In[6] == 0 ? uint8_t{0} : reply->Unit};
    frame.insert(frame.end(), reply->Pdu.begin(), reply->Pdu.end());
    taken.Replies.push_back(std::move(frame));
}
