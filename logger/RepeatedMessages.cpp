#include "RepeatedMessages.h"

#include "LoggerMessages.h"

#include <algorithm>

TRepeatedMessages::TRepeatedMessages(QObject* parent) : minute_(parent)
{
    minute_.setSingleShot(true);
    QObject::connect(&minute_, &QTimer::timeout, &minute_, [this] { MinuteOver(); });
}

TRepeatedMessages::~TRepeatedMessages()
{
    SayCountsInOrder();
}

bool TRepeatedMessages::Say(const QString& kind, const QString& text)
{
    const auto now = Clock::now();
    // A run without an event loop (one meter, read in a loop of its own)
    // never sees the timer: its minute ends here, at the next message.
    if (!kinds_.empty() && now >= minuteEnds_)
        MinuteOver();
    const auto known = std::find_if(kinds_.begin(), kinds_.end(), [&](const TKind& k) { return k.Name == kind; });
    if (known != kinds_.end()) {
        ++known->Repeats;
        known->LastNoted = now;
        return false;
    }
    LoggerMessage(text);
    kinds_.push_back({kind, 0, now});
    if (!minute_.isActive())
        StartMinute();
    return true;
}

void TRepeatedMessages::SayCounts()
{
    minute_.stop();
    SayCountsInOrder();
    kinds_.clear();
}

void TRepeatedMessages::MinuteOver()
{
    SayCountsInOrder();
    if (!kinds_.empty())
        StartMinute();
}

void TRepeatedMessages::StartMinute()
{
    minute_.start(Window);
    minuteEnds_ = Clock::now() + Window;
}

void TRepeatedMessages::SayCountsInOrder()
{
    std::erase_if(kinds_, [](const TKind& kind) { return kind.Repeats == 0; });
    std::sort(kinds_.begin(), kinds_.end(), [](const TKind& a, const TKind& b) { return a.LastNoted < b.LastNoted; });
    for (TKind& kind : kinds_) {
        LoggerMessage(QString("%1 (%2 more %3 in the last minute)")
                          .arg(kind.Name)
                          .arg(kind.Repeats)
                          .arg(kind.Repeats == 1 ? "time" : "times"));
        kind.Repeats = 0;
    }
}
