#include "RtuStreamFraming.h"

#include "ModbusPdu.h"
#include "RtuReply.h"

#include <climits>

TRtuStreamFraming::TRtuStreamFraming(TRequestDispatcher& dispatcher, uint32_t silenceMs)
    : Dispatcher(dispatcher)
    , Reader(silenceMs)
{
}

std::size_t TRtuStreamFraming::ReadLimit() const
{
    return RtuLayout.MaxAduSize;
}

TStreamFraming::rTaken TRtuStreamFraming::Take(std::span<const uint8_t> bytes)
{
    rTaken taken;
    for (const rRtuRequest& request : Reader.Take(bytes, TRtuRequestReader::NowMs())) {
        ++taken.Requests;
        if (auto reply = RtuReply(Dispatcher, request))
            taken.Replies.push_back(std::move(*reply));
    }
    return taken;
}

std::optional<std::chrono::milliseconds> TRtuStreamFraming::SilenceLeft() const
{
    const int64_t deadline = Reader.Deadline();
    if (deadline == INT64_MAX)
        return std::nullopt;
    return std::chrono::milliseconds(deadline - TRtuRequestReader::NowMs());
}
