#include "Exchange.h"

#include <algorithm>

namespace {

const TAttempt* LastSent(const std::vector<TAttempt>& attempts)
{
    const auto sent = std::find_if(attempts.rbegin(), attempts.rend(), [](const TAttempt& a) { return a.SentAt != 0; });
    return sent == attempts.rend() ? nullptr : &*sent;
}

} // namespace

QByteArray TExchange::Request() const
{
    const TAttempt* last = LastSent(Attempts);
    return last ? last->Request : QByteArray();
}

QByteArray TExchange::Reply() const
{
    const TAttempt* last = LastSent(Attempts);
    return last ? last->Reply : QByteArray();
}
