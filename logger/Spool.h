#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <deque>

// How much an output's records may take while its system is away.
struct TSpoolLimits {
    // Its share of what the outputs hold in memory, in bytes.
    qint64 MemoryBytes = 8 << 20;
    // Its spool files together, in bytes.
    qint64 FileBytes = qint64(1) << 30;
    // The files' path and name up to the segment's number: "plant.influx"
    // gives "plant.influx-1000000000.spool" in the working directory.
    QString Stem;
};

// The records an output has not yet delivered, oldest first: in memory up to
// a bound in bytes, beyond it in spool files, segments of a few MB that are
// bounded together too. Order is kept: while a record is in a file, new
// records go to the files as well, and the files come back to memory, the
// oldest segment whole, as soon as memory has room for it. Past the files'
// bound the oldest records go, counted as lost: those in memory first (but
// the ones pinned, which are being sent), then a segment at a time. At the
// end, Save writes what memory holds to a segment before all others, so
// that the next run with the same stem sends it first; a run finds the
// segments a run before it left and holds them from its start.
//
// A record is any bytes; memory counts each with a fixed overhead, which is
// what a short record really costs in a queue.
class TSpool {
public:
    explicit TSpool(TSpoolLimits limits);
    TSpool(const TSpool&) = delete;
    TSpool& operator=(const TSpool&) = delete;

    void Push(QByteArray record);
    bool Empty() const { return memory_.empty() && segments_.empty(); }
    qint64 Records() const { return qint64(memory_.size()) + fileRecords_; }
    // The records in memory, the oldest first; the ones in files come back
    // as they go.
    qsizetype InMemory() const { return qsizetype(memory_.size()); }
    const QByteArray& At(qsizetype index) const { return memory_[std::size_t(index)]; }
    void Pop(qsizetype count);
    // The first count records in memory are being sent: the bound drops
    // none of them.
    void Pin(qsizetype count) { pinned_ = count; }

    // Records dropped by the files' bound, or that a file could not take,
    // since the last call.
    qint64 TakeLost() { return std::exchange(lost_, 0); }
    // The records found at the start, left by a run before.
    qint64 Inherited() const { return inherited_; }
    // Writes memory's records, after `older` ones, before every segment;
    // what is held then stays in files for the next run. The records saved.
    qint64 Save(const std::deque<QByteArray>& older = {});
    // "plant.influx-*.spool", for messages.
    QString Pattern() const;

private:
    struct TSegment {
        qint64 Number = 0;
        qint64 Bytes = 0;
        qint64 Records = 0;
    };

    void Find();
    void Append(const QByteArray& record);
    void DropOldest();
    qint64 DropOldestInMemory(qint64 bytes);
    void Refill();
    bool ReadSegment(const TSegment& segment, std::deque<QByteArray>& into);
    bool WriteSegment(qint64 number, const std::deque<QByteArray>& records, const std::deque<QByteArray>& more);
    QString SegmentPath(qint64 number) const;
    void NoteFileError(const QFile& file);

    const TSpoolLimits limits_;
    const qint64 segmentBytes_;
    std::deque<QByteArray> memory_;
    qint64 memoryBytes_ = 0;
    qsizetype pinned_ = 0;
    std::deque<TSegment> segments_; // oldest first; records are appended to the last
    QFile writing_;                 // the last segment, while open
    qint64 fileBytes_ = 0;
    qint64 fileRecords_ = 0;
    qint64 lost_ = 0;
    qint64 inherited_ = 0;
    bool fileFailing_ = false;
};
