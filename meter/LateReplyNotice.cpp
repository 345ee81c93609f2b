#include "LateReplyNotice.h"

#include <QLocale>

#include <algorithm>

QString TLateReplyNotice::Note(const TMeterKey& meter, const TExchange& exchange, int receiveTimeoutMs)
{
    int64_t lateMs = -1;
    for (const TAttempt& attempt : exchange.Attempts)
        lateMs = std::max(lateMs, attempt.LateMs);
    if (lateMs < 0)
        return {};
    const auto found =
        std::find_if(said_.begin(), said_.end(), [&](const TSaid& s) { return s.Meter.SameMeter(meter); });
    if (found == said_.end()) {
        said_.push_back({meter, lateMs, receiveTimeoutMs});
    } else {
        const bool later = lateMs >= found->LateMs + found->LateMs / 4;
        if (!later && receiveTimeoutMs == found->ReceiveTimeoutMs)
            return {};
        *found = {meter, lateMs, receiveTimeoutMs};
    }
    return Text(meter.Address, lateMs, receiveTimeoutMs);
}

// The milliseconds with a thousands separator, whatever the system's
// language: the message is English.
QString TLateReplyNotice::Text(uint8_t address, int64_t lateMs, int receiveTimeoutMs)
{
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    return QString("Meter %1 answered %2 ms after its request; the receive timeout is %3 ms")
        .arg(address)
        .arg(english.toString(static_cast<qlonglong>(lateMs)), english.toString(receiveTimeoutMs));
}
