#pragma once

#include "Exchange.h"
#include "Exchange.h"
#include "MeterResult.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>
#include <memory>

class QTextStream;

// The traffic trace behind the "Modbus Data Display": a bounded ring of
// compact records (the frames as bytes, the time, the round trip and the
// result code), shown as text lines that are rendered only when a view asks
// for them or the trace is written out. Each exchange shows as four lines:
// the request, the reply, the result with its time and round trip, and a
// rule; a note is one line of its own.
//
// Once the ring is full the oldest record makes room for the newest, so an
// exchange costs the same whether the trace is empty or full, and memory
// stays bounded however long the polling runs.
class TTraceModel : public QAbstractListModel {
public:
    // Records kept: nearly four hours of three bank reads a second. Frames
    // of up to 260 bytes each way (the largest Modbus/TCP frames) keep a
    // full ring under 24 MB.
    static constexpr int Capacity = 40000;
    static constexpr int ExchangeLines = 4;
    // The longest frame kept of either direction; Modbus frames are shorter.
    static constexpr int MaxFrameBytes = 0xFFFF;

    explicit TTraceModel(QObject* parent = nullptr);

    // Every attempt of the exchange as an exchange of the trace, with its own
    // outcome and times; frames thrown away meanwhile too. An exchange that
    // sent nothing shows its result once.
    void AddExchange(const TExchange& exchange);
    void AddNote(const QString& line);
    void Clear();

    // With failedOnly, the lines shown are those of the exchanges that did
    // not succeed and of the notes (writes the meter refused).
    void SetFailedOnly(bool failedOnly);

    // The line of a row as shown.
    QString Line(int row) const;
    // Every line shown, in order, each followed by a line break.
    void WriteLines(QTextStream& out) const;

    // The outcome of a result code in words: the meter link's text, with the
    // exception number for an exception reply ("Exception 2: Illegal Data
    // Address").
    static QString OutcomeText(int32_t result);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    struct TRecord {
        std::unique_ptr<char[]> Bytes; // request then reply; a note's UTF-8 text
        int64_t SentAt = 0;            // wall-clock ms since the epoch
        int64_t FirstLine = 0;         // lines of all records before it, since the last Clear
        int64_t FailedFirstLine = 0;   // lines of failed records before it (failed records only)
        int32_t RoundTripUs = -1;
        int32_t Result = 0;
        uint16_t QueryLength = 0; // a note's text length
        uint16_t ReplyLength = 0;
        uint16_t OutcomeLength = 0; // the attempt's own words, after the reply (UTF-8)
        bool Note = false;

        bool Failed() const { return Note || Result != 0; }
        int Lines() const { return Note ? 1 : ExchangeLines; }
    };
    struct TLineAt {
        const TRecord* Record;
        int Line; // within the record
    };

    void AddAttempt(const TAttempt& attempt);
    void Add(TRecord record);
    void DropOldest();
    bool Shown(const TRecord& record) const { return !failedOnly_ || record.Failed(); }
    const TRecord& BySequence(int64_t sequence) const;
    TLineAt Locate(int row) const;
    static QString RecordLine(const TRecord& record, int line);
    static QString ResultLine(const TRecord& record);

    std::deque<TRecord> records_;
    std::deque<int64_t> failed_; // sequence numbers of the failed records kept
    int64_t frontSequence_ = 0;  // of records_.front()
    int64_t lines_ = 0;          // of all records added since the last Clear
    int64_t failedLines_ = 0;    // of the failed ones
    bool failedOnly_ = false;
};
