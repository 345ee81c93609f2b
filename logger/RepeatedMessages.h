#pragma once

#include <QString>
#include <QTimer>

#include <chrono>
#include <vector>

// Messages of a state that may come and go many times a minute, such as a
// gateway that closes the connection after every reply: the first message
// opens a minute, in which each kind of message is said once and then only
// counted. When the minute is over, the counts are said, the kind noted
// last said last, so that the last line tells the state as it is:
// "gw: Connected to 10.0.0.7:502 (87 more times in the last minute)". A
// count opens another minute for its kind; a kind that had none in the
// minute is said whole again when it next comes. The timer of the minutes
// runs in the thread of its parent.
class TRepeatedMessages {
public:
    static constexpr std::chrono::minutes Window{1};

    explicit TRepeatedMessages(QObject* parent = nullptr);
    // Says the counts not said yet.
    ~TRepeatedMessages();

    // Says text now, unless a message of its kind was said within the last
    // minute; then it is counted. True when said.
    bool Say(const QString& kind, const QString& text);
    // A message that is its own kind.
    bool Say(const QString& text) { return Say(text, text); }
    // Says the counts not said yet, and stops the timer: at the end of a run,
    // in the object's thread.
    void SayCounts();

private:
    using Clock = std::chrono::steady_clock;
    struct TKind {
        QString Name;
        qint64 Repeats = 0;
        Clock::time_point LastNoted;
    };

    void MinuteOver();
    void StartMinute();
    // The counts of the minute, oldest last noted first; the kinds without
    // one are forgotten.
    void SayCountsInOrder();

    std::vector<TKind> kinds_; // said or counted in the minute under way
    QTimer minute_;
    Clock::time_point minuteEnds_; // of the minute under way, while kinds_ holds any
};
