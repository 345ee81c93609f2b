#include "TrendSeries.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

// A poll or a bucket as the line sees it: its extremes and when they were.
struct TTrendSeries::rItem {
    int64_t TimeMs;
    double Min;
    double Max;
    int64_t MinMs;
    int64_t MaxMs;
    bool HasValue;

    void Merge(const rItem& other)
    {
        if (!other.HasValue)
            return;
        if (!HasValue || other.Min < Min) {
            Min = other.Min;
            MinMs = other.MinMs;
        }
        if (!HasValue || other.Max > Max) {
            Max = other.Max;
            MaxMs = other.MaxMs;
        }
        HasValue = true;
    }
};

void TTrendSeries::Add(int64_t timeMs, std::optional<double> value)
{
    timeMs = std::max(timeMs, latestMs_);
    latestMs_ = timeMs;
    if (value && !std::isfinite(*value))
        value.reset();
    raw_.Push({timeMs, value ? *value : std::numeric_limits<double>::quiet_NaN()});
    AddToBucket(timeMs, value);
}

void TTrendSeries::AddToBucket(int64_t timeMs, std::optional<double> value)
{
    const int64_t start = timeMs - timeMs % BucketMs;
    if (buckets_.Empty() || buckets_.Back().StartMs != start)
        buckets_.Push({start, 0, 0, 0, 0});
    rTrendBucket& bucket = buckets_.Back();
    if (!value) {
        ++bucket.Failures;
        return;
    }
    bucket.Min = bucket.Values == 0 ? *value : std::min(bucket.Min, *value);
    bucket.Max = bucket.Values == 0 ? *value : std::max(bucket.Max, *value);
    ++bucket.Values;
}

void TTrendSeries::Clear()
{
    raw_.Clear();
    buckets_.Clear();
}

std::vector<rTrendSample> TTrendSeries::Samples(int64_t fromMs, int64_t toMs) const
{
    const std::size_t first = raw_.PartitionPoint([&](const rTrendSample& s) { return s.TimeMs < fromMs; });
    const std::size_t end = raw_.PartitionPoint([&](const rTrendSample& s) { return s.TimeMs <= toMs; });
    std::vector<rTrendSample> samples;
    samples.reserve(end > first ? end - first : 0);
    for (std::size_t i = first; i < end; ++i)
        samples.push_back(raw_[i]);
    return samples;
}

// The polls of the span one by one while the ring still reaches back to its
// start, else the buckets that overlap it.
std::vector<TTrendSeries::rItem> TTrendSeries::Items(int64_t fromMs, int64_t toMs) const
{
    std::vector<rItem> items;
    if (!raw_.Empty() && (!raw_.Dropped() || raw_.Front().TimeMs <= fromMs)) {
        for (const rTrendSample& s : Samples(fromMs, toMs)) {
            const bool has = !std::isnan(s.Value);
            items.push_back({s.TimeMs, s.Value, s.Value, s.TimeMs, s.TimeMs, has});
        }
        return items;
    }
    const std::size_t first =
        buckets_.PartitionPoint([&](const rTrendBucket& b) { return b.StartMs + BucketMs <= fromMs; });
    const std::size_t end = buckets_.PartitionPoint([&](const rTrendBucket& b) { return b.StartMs <= toMs; });
    for (std::size_t i = first; i < end; ++i) {
        const rTrendBucket& b = buckets_[i];
        const int64_t middle = std::clamp(b.StartMs + BucketMs / 2, fromMs, toMs);
        items.push_back({middle, b.Min, b.Max, middle, middle, b.Values > 0});
    }
    return items;
}

namespace {

template <class TItem>
std::vector<TItem> Reduce(const std::vector<TItem>& items, int64_t fromMs, int64_t toMs, int columns)
{
    std::vector<TItem> reduced;
    reduced.reserve(static_cast<std::size_t>(columns));
    const int64_t width = toMs - fromMs + 1;
    int64_t column = -1;
    for (const TItem& item : items) {
        const int64_t c = (item.TimeMs - fromMs) * columns / width;
        if (c != column) {
            column = c;
            reduced.push_back(item);
            reduced.back().HasValue = false;
        }
        reduced.back().Merge(item);
    }
    return reduced;
}

} // namespace

std::vector<TTrendSegment> TTrendSeries::Visible(int64_t fromMs, int64_t toMs, int columns) const
{
    if (toMs <= fromMs)
        return {};
    columns = std::max(columns, 1);
    std::vector<rItem> items = Items(fromMs, toMs);
    if (items.size() > static_cast<std::size_t>(columns))
        items = Reduce(items, fromMs, toMs, columns);

    std::vector<TTrendSegment> segments;
    TTrendSegment current;
    for (const rItem& item : items) {
        if (!item.HasValue) {
            if (!current.empty())
                segments.push_back(std::move(current));
            current.clear();
            continue;
        }
        if (item.Min == item.Max) {
            current.push_back({item.MinMs, item.Min});
        } else if (item.MinMs <= item.MaxMs) {
            current.push_back({item.MinMs, item.Min});
            current.push_back({item.MaxMs, item.Max});
        } else {
            current.push_back({item.MaxMs, item.Max});
            current.push_back({item.MinMs, item.Min});
        }
    }
    if (!current.empty())
        segments.push_back(std::move(current));
    return segments;
}

std::vector<TTrendSegment> SplitAt(const std::vector<TTrendSegment>& segments, const std::vector<int64_t>& times)
{
    std::vector<TTrendSegment> pieces;
    for (const TTrendSegment& segment : segments) {
        TTrendSegment piece;
        for (const rTrendPoint& point : segment) {
            if (!piece.empty()) {
                const auto cut = std::lower_bound(times.begin(), times.end(), piece.back().TimeMs);
                if (cut != times.end() && *cut < point.TimeMs)
                    pieces.push_back(std::exchange(piece, {}));
            }
            piece.push_back(point);
        }
        if (!piece.empty())
            pieces.push_back(std::move(piece));
    }
    return pieces;
}
