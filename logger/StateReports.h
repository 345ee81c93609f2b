#pragma once

// The logger's reports of states that last: each is said once when it
// turns bad and once when it is good again.

#include "LogFile.h"
#include "LoggerMessages.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// Says once when a state turns bad and once when it is good again, so that a
// meter silent for a day fills no journal.
class TStateReport {
public:
    void Note(bool good, const QString& whenBad, const QString& whenGoodAgain)
    {
        if (!good && good_ != false)
            LoggerMessage(whenBad);
        else if (good && good_ == false)
            LoggerMessage(whenGoodAgain);
        good_ = good;
    }

private:
    std::optional<bool> good_;
};

// The link's changes during a --once read, held until it ends: told then
// when every meter answered, dropped when not, since the failure then says
// it once and the tries again that a change may announce do not come.
class THeldMessages {
public:
    void Hold(const QString& text) { held_ << text; }
    void Release(bool tell)
    {
        if (tell)
            for (const QString& text : held_)
                LoggerMessage(text);
        held_.clear();
    }

private:
    QStringList held_;
};

// "cannot write" once when the log file stops taking records, with the
// system's reason, and once when it takes them again, with the number of
// records lost and the times of the first and the last of them.
class TFileReport {
public:
    explicit TFileReport(const QString& fileName) : fileName_(fileName) {}

    void Note(const LogFile::TAppendResult& result, const QDateTime& recordTime)
    {
        if (result.Written) {
            if (lost_ > 0)
                LoggerMessage(QString("writing the log file \"%1\" again; %2").arg(fileName_, LostText()));
            lost_ = 0;
            return;
        }
        if (lost_ == 0) {
            firstLost_ = recordTime;
            LoggerMessage(QString("cannot write the log file \"%1\": %2; trying again at each record")
                              .arg(fileName_, LogFile::FailureReason(result)));
        }
        lastLost_ = recordTime;
        ++lost_;
    }

    // At the end of the run: the records lost since the file last took one.
    void NoteEnd() const
    {
        if (lost_ > 0)
            LoggerMessage(QString("the log file \"%1\" still cannot be written; %2").arg(fileName_, LostText()));
    }

private:
    QString LostText() const
    {
        if (lost_ == 1)
            return QString("1 record lost, at %1").arg(MessageTime(firstLost_));
        return QString("%1 records lost, from %2 to %3")
            .arg(lost_)
            .arg(MessageTime(firstLost_), MessageTime(lastLost_));
    }

    QString fileName_;
    qint64 lost_ = 0;
    QDateTime firstLost_;
    QDateTime lastLost_;
};
