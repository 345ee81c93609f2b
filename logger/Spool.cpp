#include "Spool.h"

#include "LoggerMessages.h"
#include "OutputReports.h"

#include <QDir>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>

namespace {

// What a record costs in memory beyond its bytes: the array's header, the
// allocator's and the queue's share.
constexpr qint64 RecordOverhead = 64;
// A record in a file: its length, 4 bytes little-endian, then its bytes.
constexpr qint64 LengthBytes = 4;
// The number of a first segment: segments saved at an end take the numbers
// below the oldest, so that there is room on both sides.
constexpr qint64 FirstNumber = 1000000000;
constexpr qint64 LargestSegment = 1 << 20;

qint64 Cost(const QByteArray& record)
{
    return record.size() + RecordOverhead;
}

QByteArray Framed(const QByteArray& record)
{
    QByteArray framed(LengthBytes, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(record.size()), framed.data());
    return framed + record;
}

// The whole records of a segment's bytes; a record cut short by a crash
// while it was written ends the list.
std::deque<QByteArray> Records(const QByteArray& bytes)
{
    std::deque<QByteArray> records;
    for (qint64 at = 0; at + LengthBytes <= bytes.size();) {
        const qint64 length = qFromLittleEndian<quint32>(bytes.constData() + at);
        if (at + LengthBytes + length > bytes.size())
            break;
        records.push_back(bytes.mid(at + LengthBytes, length));
        at += LengthBytes + length;
    }
    return records;
}

} // namespace

TSpool::TSpool(TSpoolLimits limits)
    : limits_(std::move(limits)), segmentBytes_(std::clamp<qint64>(limits_.FileBytes / 4, 1, LargestSegment))
{
    Find();
}

void TSpool::Push(QByteArray record)
{
    if (segments_.empty() && memoryBytes_ + Cost(record) <= limits_.MemoryBytes) {
        memoryBytes_ += Cost(record);
        memory_.push_back(std::move(record));
        return;
    }
    Append(record);
    while (fileBytes_ > limits_.FileBytes && segments_.size() > 1)
        DropOldest();
    Refill();
}

// The oldest records held are the first in memory: as many go as make room
// for the oldest segment, which then comes to memory; with none to drop
// there, the oldest segment goes.
void TSpool::DropOldest()
{
    const TSegment& oldest = segments_.front();
    if (DropOldestInMemory(oldest.Bytes + oldest.Records * RecordOverhead) > 0) {
        Refill();
        return;
    }
    const TSegment dropped = oldest;
    if (segments_.size() == 1)
        writing_.close();
    QFile::remove(SegmentPath(dropped.Number));
    segments_.pop_front();
    fileBytes_ -= dropped.Bytes;
    fileRecords_ -= dropped.Records;
    lost_ += dropped.Records;
}

// At least bytes of the records in memory after the pinned ones, the
// oldest first, or all of them; the records dropped.
qint64 TSpool::DropOldestInMemory(qint64 bytes)
{
    qint64 freed = 0;
    const auto first = memory_.begin() + pinned_;
    auto end = first;
    while (end != memory_.end() && freed < bytes)
        freed += Cost(*end++);
    const qint64 dropped = end - first;
    memory_.erase(first, end);
    memoryBytes_ -= freed;
    lost_ += dropped;
    return dropped;
}

void TSpool::Pop(qsizetype count)
{
    pinned_ = std::max<qsizetype>(pinned_ - count, 0);
    for (qsizetype i = 0; i < count && !memory_.empty(); ++i) {
        memoryBytes_ -= Cost(memory_.front());
        memory_.pop_front();
    }
    Refill();
}

qint64 TSpool::Save(const std::deque<QByteArray>& older)
{
    writing_.close();
    const qint64 count = qint64(older.size() + memory_.size());
    if (count == 0)
        return 0;
    const qint64 number = segments_.empty() ? FirstNumber : segments_.front().Number - 1;
    if (!WriteSegment(number, older, memory_)) {
        lost_ += count;
        return 0;
    }
    memory_.clear();
    memoryBytes_ = 0;
    pinned_ = 0;
    return count;
}

QString TSpool::Pattern() const
{
    return limits_.Stem + "-*.spool";
}

// The segments a run before left, by number; each is read through once to
// count its records and to cut a record a crash left half written.
void TSpool::Find()
{
    const QFileInfo stem(limits_.Stem);
    const QString prefix = stem.fileName() + '-';
    for (const QFileInfo& file : stem.dir().entryInfoList({prefix + "*.spool"}, QDir::Files, QDir::Name)) {
        bool ok = false;
        const qint64 number = file.completeBaseName().mid(prefix.size()).toLongLong(&ok);
        if (!ok)
            continue;
        QFile read(file.filePath());
        if (!read.open(QIODevice::ReadWrite)) {
            NoteFileError(read);
            continue;
        }
        qint64 bytes = 0;
        const std::deque<QByteArray> records = ::Records(read.readAll());
        for (const QByteArray& record : records)
            bytes += LengthBytes + record.size();
        read.resize(bytes);
        segments_.push_back({number, bytes, qint64(records.size())});
        fileBytes_ += bytes;
        fileRecords_ += qint64(records.size());
    }
    std::sort(segments_.begin(), segments_.end(), [](const TSegment& a, const TSegment& b) { return a.Number < b.Number; });
    inherited_ = fileRecords_;
    Refill();
}

void TSpool::Append(const QByteArray& record)
{
    const QByteArray framed = Framed(record);
    if (segments_.empty() || (segments_.back().Bytes > 0 && segments_.back().Bytes + framed.size() > segmentBytes_)) {
        writing_.close();
        segments_.push_back({segments_.empty() ? FirstNumber : segments_.back().Number + 1, 0, 0});
    }
    TSegment& last = segments_.back();
    if (!writing_.isOpen()) {
        writing_.setFileName(SegmentPath(last.Number));
        writing_.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    // Flushed at once, so that a crash loses no record the file took.
    if (!writing_.isOpen() || writing_.write(framed) != framed.size() || !writing_.flush()) {
        NoteFileError(writing_);
        ++lost_;
        return;
    }
    fileFailing_ = false;
    last.Bytes += framed.size();
    ++last.Records;
    fileBytes_ += framed.size();
    ++fileRecords_;
}

// The oldest segment comes back whole once memory has room for it, or at
// once when memory is empty, so that a bound smaller than a segment still
// lets the records through.
void TSpool::Refill()
{
    while (!segments_.empty()) {
        const TSegment oldest = segments_.front();
        if (!memory_.empty() && memoryBytes_ + oldest.Bytes + oldest.Records * RecordOverhead > limits_.MemoryBytes)
            return;
        if (segments_.size() == 1)
            writing_.close();
        std::deque<QByteArray> records;
        if (!ReadSegment(oldest, records))
            lost_ += oldest.Records;
        for (QByteArray& record : records) {
            memoryBytes_ += Cost(record);
            memory_.push_back(std::move(record));
        }
        QFile::remove(SegmentPath(oldest.Number));
        segments_.pop_front();
        fileBytes_ -= oldest.Bytes;
        fileRecords_ -= oldest.Records;
    }
}

bool TSpool::ReadSegment(const TSegment& segment, std::deque<QByteArray>& into)
{
    QFile file(SegmentPath(segment.Number));
    if (!file.open(QIODevice::ReadOnly)) {
        NoteFileError(file);
        return false;
    }
    into = ::Records(file.readAll());
    return qint64(into.size()) == segment.Records;
}

bool TSpool::WriteSegment(qint64 number, const std::deque<QByteArray>& records, const std::deque<QByteArray>& more)
{
    QFile file(SegmentPath(number));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        NoteFileError(file);
        return false;
    }
    qint64 bytes = 0;
    for (const std::deque<QByteArray>* part : {&records, &more})
        for (const QByteArray& record : *part) {
            const QByteArray framed = Framed(record);
            if (file.write(framed) != framed.size()) {
                NoteFileError(file);
                file.remove();
                return false;
            }
            bytes += framed.size();
        }
    if (!file.flush()) {
        NoteFileError(file);
        file.remove();
        return false;
    }
    segments_.push_front({number, bytes, qint64(records.size() + more.size())});
    fileBytes_ += bytes;
    fileRecords_ += segments_.front().Records;
    return true;
}

QString TSpool::SegmentPath(qint64 number) const
{
    return QString("%1-%2.spool").arg(limits_.Stem).arg(number, 10, 10, QChar('0'));
}

void TSpool::NoteFileError(const QFile& file)
{
    if (!fileFailing_)
        LoggerMessage(SpoolFileFailed(file.fileName(), file.errorString()));
    fileFailing_ = true;
}
