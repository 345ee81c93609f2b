#include "RtuReply.h"

#include "SerialFrame.h"

std::optional<std::vector<uint8_t>> RtuReply(TRequestDispatcher& dispatcher, const rRtuRequest& request)
{
    if (request.Address == 0) {
        dispatcher.Broadcast(request.Pdu);
        return std::nullopt;
    }
    const auto reply = dispatcher.Handle(request.Address, request.Pdu, TUnknownUnit::Silent);
    if (!reply)
        return std::nullopt;
    std::vector<uint8_t> frame{reply->Unit};
    frame.insert(frame.end(), reply->Pdu.begin(), reply->Pdu.end());
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}
