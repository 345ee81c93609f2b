#include "TraceModel.h"

#include "KelvaneCOM.h"

#include <QBrush>
#include <QDateTime>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

const QString TraceRule(35, QChar('-'));

uint16_t Clipped(qsizetype size)
{
    return static_cast<uint16_t>(std::clamp<qsizetype>(size, 0, TTraceModel::MaxFrameBytes));
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

QString TimeText(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd hh:mm:ss.zzz");
}

QString RoundTripText(int32_t us)
{
    if (us < 0)
        return "no round trip";
    return "round trip " + QString::number(us / 1000.0, 'f', 1) + " ms";
}

} // namespace

TTraceModel::TTraceModel(QObject* parent) : QAbstractListModel(parent) {}

void TTraceModel::AddExchange(const TExchange& exchange)
{
    if (exchange.Attempts.empty()) {
        TAttempt nothingSent;
        nothingSent.Result = exchange.Result;
        AddAttempt(nothingSent);
        return;
    }
    for (const TAttempt& attempt : exchange.Attempts)
        AddAttempt(attempt);
}

void TTraceModel::AddAttempt(const TAttempt& attempt)
{
    // A success and the meter's exceptions read best in the link's own words;
    // every other outcome as the attempt saw it ("Invalid reply (CRC)").
    const bool ownWords = !attempt.Outcome.isEmpty() && (attempt.Result < 0 || attempt.Result > 255);
    const QByteArray outcome = ownWords ? attempt.Outcome.toUtf8() : QByteArray();
    TRecord record;
    record.QueryLength = Clipped(attempt.Request.size());
    record.ReplyLength = Clipped(attempt.Reply.size());
    record.OutcomeLength = Clipped(outcome.size());
    record.Bytes =
        std::make_unique<char[]>(std::size_t{record.QueryLength} + record.ReplyLength + record.OutcomeLength);
    char* bytes = record.Bytes.get();
    std::memcpy(bytes, attempt.Request.constData(), record.QueryLength);
    std::memcpy(bytes + record.QueryLength, attempt.Reply.constData(), record.ReplyLength);
    std::memcpy(bytes + record.QueryLength + record.ReplyLength, outcome.constData(), record.OutcomeLength);
    // Nothing went out: the time is when the outcome was traced.
    record.SentAt = attempt.SentAt != 0 ? attempt.SentAt : NowMs();
    record.RoundTripUs = attempt.SentAt != 0 && attempt.RoundTripUs >= 0
                             ? static_cast<int32_t>(std::min<int64_t>(attempt.RoundTripUs, INT32_MAX))
                             : -1;
    record.Result = attempt.Result;
    Add(std::move(record));
}

void TTraceModel::AddNote(const QString& line)
{
    const QByteArray text = line.toUtf8();
    TRecord record;
    record.Note = true;
    record.QueryLength = Clipped(text.size());
    record.Bytes = std::make_unique<char[]>(record.QueryLength);
    std::memcpy(record.Bytes.get(), text.constData(), record.QueryLength);
    record.SentAt = NowMs();
    Add(std::move(record));
}

void TTraceModel::Add(TRecord record)
{
    if (records_.size() >= Capacity)
        DropOldest();
    const bool shown = Shown(record);
    const int row = rowCount();
    if (shown)
        beginInsertRows(QModelIndex(), row, row + record.Lines() - 1);
    record.FirstLine = lines_;
    lines_ += record.Lines();
    if (record.Failed()) {
        record.FailedFirstLine = failedLines_;
        failedLines_ += record.Lines();
        failed_.push_back(frontSequence_ + static_cast<int64_t>(records_.size()));
    }
    records_.push_back(std::move(record));
    if (shown)
        endInsertRows();
}

void TTraceModel::DropOldest()
{
    const TRecord& oldest = records_.front();
    const bool shown = Shown(oldest);
    if (shown)
        beginRemoveRows(QModelIndex(), 0, oldest.Lines() - 1);
    if (oldest.Failed())
        failed_.pop_front();
    records_.pop_front();
    ++frontSequence_;
    if (shown)
        endRemoveRows();
}

void TTraceModel::Clear()
{
    beginResetModel();
    records_.clear();
    failed_.clear();
    frontSequence_ = 0;
    lines_ = 0;
    failedLines_ = 0;
    endResetModel();
}

void TTraceModel::SetFailedOnly(bool failedOnly)
{
    if (failedOnly == failedOnly_)
        return;
    beginResetModel();
    failedOnly_ = failedOnly;
    endResetModel();
}

const TTraceModel::TRecord& TTraceModel::BySequence(int64_t sequence) const
{
    return records_[static_cast<std::size_t>(sequence - frontSequence_)];
}

int TTraceModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    if (!failedOnly_)
        return records_.empty() ? 0 : static_cast<int>(lines_ - records_.front().FirstLine);
    return failed_.empty() ? 0 : static_cast<int>(failedLines_ - BySequence(failed_.front()).FailedFirstLine);
}

// The record that holds a row, by a binary search over the first lines of
// the records shown.
TTraceModel::TLineAt TTraceModel::Locate(int row) const
{
    if (!failedOnly_) {
        const int64_t line = records_.front().FirstLine + row;
        const auto next = std::upper_bound(records_.begin(), records_.end(), line,
                                           [](int64_t l, const TRecord& r) { return l < r.FirstLine; });
        const TRecord& record = *std::prev(next);
        return {&record, static_cast<int>(line - record.FirstLine)};
    }
    const int64_t line = BySequence(failed_.front()).FailedFirstLine + row;
    const auto next = std::upper_bound(failed_.begin(), failed_.end(), line, [this](int64_t l, int64_t sequence) {
        return l < BySequence(sequence).FailedFirstLine;
    });
    const TRecord& record = BySequence(*std::prev(next));
    return {&record, static_cast<int>(line - record.FailedFirstLine)};
}

QString TTraceModel::Line(int row) const
{
    if (row < 0 || row >= rowCount())
        return {};
    const TLineAt at = Locate(row);
    return RecordLine(*at.Record, at.Line);
}

QString TTraceModel::RecordLine(const TRecord& record, int line)
{
    const char* bytes = record.Bytes.get();
    if (record.Note)
        return QString::fromUtf8(bytes, record.QueryLength);
    switch (line) {
    case 0: return "QRY >" + TKelvane::Hexa(QByteArray::fromRawData(bytes, record.QueryLength));
    case 1: return "RSP <" + TKelvane::Hexa(QByteArray::fromRawData(bytes + record.QueryLength, record.ReplyLength));
    case 2: return ResultLine(record);
    default: return TraceRule;
    }
}

QString TTraceModel::ResultLine(const TRecord& record)
{
    const QString outcome =
        record.OutcomeLength > 0
            ? QString::fromUtf8(record.Bytes.get() + record.QueryLength + record.ReplyLength, record.OutcomeLength)
            : OutcomeText(record.Result);
    return "   RESULT: " + outcome + "   at " + TimeText(record.SentAt) + ", " +
           RoundTripText(record.RoundTripUs);
}

QString TTraceModel::OutcomeText(int32_t result)
{
    const QString text = TKelvane::ErrorCode(result);
    if (result < 1 || result > 255)
        return text;
    const QString number = "Exception " + QString::number(result);
    if (text == QString::number(result))
        return number;
    // "Exception: Illegal Data Address" becomes "Exception 2: Illegal Data Address"
    const qsizetype colon = text.indexOf(": ");
    return number + ": " + (colon < 0 ? text : text.mid(colon + 2));
}

void TTraceModel::WriteLines(QTextStream& out) const
{
    for (const TRecord& record : records_)
        if (Shown(record))
            for (int line = 0; line < record.Lines(); ++line)
                out << RecordLine(record, line) << '\n';
}

QVariant TTraceModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::DisplayRole)
        return Line(index.row());
    if (role == Qt::ForegroundRole) {
        const TLineAt at = Locate(index.row());
        // The line that says what went wrong stands out.
        if (at.Record->Note || (at.Record->Failed() && at.Line == 2))
            return QBrush(Qt::darkRed);
    }
    return {};
}
