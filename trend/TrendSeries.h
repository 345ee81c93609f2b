#pragma once

#include "TrendRing.h"

#include <cstdint>
#include <optional>
#include <vector>

// One poll's outcome for a trended value; Value is NaN when the poll gave
// no value.
struct rTrendSample {
    int64_t TimeMs;
    double Value;
};

// Every poll of one BucketMs-long stretch of time, reduced to its extremes.
struct rTrendBucket {
    int64_t StartMs;
    double Min;
    double Max;
    uint32_t Values;   // polls that gave a value
    uint32_t Failures; // polls that gave none
};

struct rTrendPoint {
    int64_t TimeMs;
    double Value;
};

// A piece of line without a gap, oldest point first.
using TTrendSegment = std::vector<rTrendPoint>;

// The segments, cut between two neighbouring points p and q wherever one of
// the ascending times t lies in [p.TimeMs, q.TimeMs): the points on either
// side of such a time do not belong to one line.
std::vector<TTrendSegment> SplitAt(const std::vector<TTrendSegment>& segments, const std::vector<int64_t>& times);

// The recent history of one trended value, in bounded memory.
//
// Every poll is kept as it came for the last RawCapacity polls: a day at the
// default polling of one second, 72 minutes at the fastest of 50 ms. Beside
// them each poll also lands in a five-second bucket of its extremes, and the
// buckets cover a whole day whatever the polling. So a series never holds
// more than RawCapacity * 16 + BucketCapacity * 32 bytes, about 2 MB, no
// matter how long the utility polls; a span the polls no longer cover is
// drawn from the buckets.
class TTrendSeries {
public:
    static constexpr int64_t DayMs = 24LL * 60 * 60 * 1000;
    static constexpr std::size_t RawCapacity = 86'400;
    static constexpr int64_t BucketMs = 5'000;
    static constexpr std::size_t BucketCapacity = DayMs / BucketMs;
    static constexpr std::size_t MaxBytes =
        RawCapacity * sizeof(rTrendSample) + BucketCapacity * sizeof(rTrendBucket);

    TTrendSeries() : raw_(RawCapacity), buckets_(BucketCapacity) {}

    // Records a poll at timeMs; no value marks a gap. A time before the
    // latest one (the wall clock was set back) counts as the latest.
    void Add(int64_t timeMs, std::optional<double> value);
    void Clear();

    // The line over [fromMs, toMs] as at most 2 * columns points: every poll
    // while there are no more than `columns` of them in the span, else the
    // smallest and largest value of each of `columns` equal slices of it.
    // A poll without value breaks the line; among reduced slices, only one
    // in which no poll gave a value does, as a shorter gap cannot be drawn.
    std::vector<TTrendSegment> Visible(int64_t fromMs, int64_t toMs, int columns) const;

    // The polls kept one by one within [fromMs, toMs], oldest first.
    std::vector<rTrendSample> Samples(int64_t fromMs, int64_t toMs) const;

    std::size_t SampleCount() const { return raw_.Size(); }
    std::size_t BucketCount() const { return buckets_.Size(); }
    std::size_t ReservedBytes() const { return raw_.ReservedBytes() + buckets_.ReservedBytes(); }

private:
    struct rItem;
    std::vector<rItem> Items(int64_t fromMs, int64_t toMs) const;
    void AddToBucket(int64_t timeMs, std::optional<double> value);

    TTrendRing<rTrendSample> raw_;
    TTrendRing<rTrendBucket> buckets_;
    int64_t latestMs_ = INT64_MIN;
};
