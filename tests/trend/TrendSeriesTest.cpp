#include "ProcessUsage.h"
#include "TrendSeries.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

using testsupport::ResidentBytes;

// A value between 100 and 200 that changes with every poll.
double Wave(int64_t timeMs)
{
    return 150 + 50 * std::sin(static_cast<double>(timeMs) / 600'000.0);
}

constexpr int64_t Start = 1'700'000'000'000; // some day in 2023, in ms
constexpr int64_t MinuteMs = 60'000;

} // namespace

// A day of polls at the fastest polling the utility allows, with an outage
// of ten minutes at noon, then hours more at 100 ms: the series stays within
// its stated bound, the process does not grow with the hours, and the whole
// day still shows in a handful of points with the outage as a gap.
TEST(TrendSeries, ADayOfFastPollsStaysWithinItsBoundAndStillShowsTheDay)
{
    const std::size_t before = ResidentBytes();
    auto series = std::make_unique<TTrendSeries>();
    const int64_t noon = Start + TTrendSeries::DayMs / 2;
    int64_t t = Start;
    for (; t < Start + TTrendSeries::DayMs; t += 50) {
        const bool outage = t >= noon && t < noon + 10 * MinuteMs;
        series->Add(t, outage ? std::nullopt : std::optional<double>(Wave(t)));
    }
    EXPECT_EQ(series->SampleCount(), TTrendSeries::RawCapacity);
    EXPECT_LE(series->BucketCount(), TTrendSeries::BucketCapacity);
    EXPECT_LE(series->ReservedBytes(), TTrendSeries::MaxBytes);
    const std::size_t filled = ResidentBytes();
    EXPECT_LT(filled, before + TTrendSeries::MaxBytes + 512 * 1024) << "grew by " << filled - before;

    for (const int64_t end = t + 6 * 60 * MinuteMs; t < end; t += 100)
        series->Add(t, Wave(t));
    EXPECT_LT(ResidentBytes(), filled + 256 * 1024) << "hours at 100 ms grew the process by "
                                                     << ResidentBytes() - filled;

    // The day before the last six hours: older than the polls kept one by
    // one, so it comes from the buckets.
    const int64_t dayEnd = Start + TTrendSeries::DayMs;
    const std::vector<TTrendSegment> day = series->Visible(dayEnd - TTrendSeries::DayMs + 6 * 60 * MinuteMs,
                                                           dayEnd, 1000);
    std::size_t points = 0;
    for (const TTrendSegment& segment : day) {
        points += segment.size();
        for (const rTrendPoint& p : segment) {
            EXPECT_GE(p.Value, 100.0);
            EXPECT_LE(p.Value, 200.0);
        }
    }
    EXPECT_LE(points, 2000u);
    EXPECT_GT(points, 1000u);
    ASSERT_EQ(day.size(), 2u) << "the outage at noon is the one gap";
    EXPECT_LT(day[0].back().TimeMs, noon + 5'000);
    EXPECT_GT(day[1].front().TimeMs, noon + 10 * MinuteMs - 5'000);
    EXPECT_GT(day[1].back().TimeMs, dayEnd - 10'000);
}

// While the polls in view are fewer than the columns, every poll is a point
// and every poll without value a gap, however short.
TEST(TrendSeries, EveryPollWithoutValueBreaksTheLineWhileThePollsFitTheColumns)
{
    TTrendSeries series;
    const std::optional<double> values[] = {1.5, 2.5, std::nullopt, 3.5, std::nullopt, std::nullopt, 0.0, -4.0};
    for (std::size_t i = 0; i < std::size(values); ++i)
        series.Add(Start + static_cast<int64_t>(i), values[i]);
    const std::vector<TTrendSegment> segments = series.Visible(Start - MinuteMs, Start + 10, 200);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0].size(), 2u);
    EXPECT_EQ(segments[1].size(), 1u);
    ASSERT_EQ(segments[2].size(), 2u);
    EXPECT_EQ(segments[1][0].Value, 3.5);
    EXPECT_EQ(segments[1][0].TimeMs, Start + 3);
    EXPECT_EQ(segments[2][0].Value, 0.0);
    EXPECT_EQ(segments[2][1].Value, -4.0);
}

// A time cuts a line between the last point at or before it and the first
// one after it; times outside the line, or between two lines, cut nothing.
TEST(TrendSeries, LinesAreCutAtTheGivenTimes)
{
    const auto line = [](std::initializer_list<int64_t> times) {
        TTrendSegment segment;
        for (int64_t t : times)
            segment.push_back({t, static_cast<double>(t) / 10});
        return segment;
    };
    struct Row {
        std::vector<TTrendSegment> segments;
        std::vector<int64_t> cuts;
        std::vector<std::vector<int64_t>> expected; // the times of each piece
    };
    const Row rows[] = {
        {{line({10, 20, 30})}, {}, {{10, 20, 30}}},
        {{line({10, 20, 30})}, {20}, {{10, 20}, {30}}},
        {{line({10, 20, 30})}, {19}, {{10}, {20, 30}}},
        {{line({10, 20, 30})}, {5, 30, 40}, {{10, 20, 30}}},
        {{line({10, 20, 30, 40})}, {10, 25, 35}, {{10}, {20}, {30}, {40}}},
        {{line({10, 20}), line({30, 40})}, {25}, {{10, 20}, {30, 40}}},
    };
    for (const Row& r : rows) {
        std::vector<std::vector<int64_t>> pieces;
        for (const TTrendSegment& piece : SplitAt(r.segments, r.cuts)) {
            pieces.emplace_back();
            for (const rTrendPoint& p : piece) {
                pieces.back().push_back(p.TimeMs);
                EXPECT_EQ(p.Value, static_cast<double>(p.TimeMs) / 10);
            }
        }
        EXPECT_EQ(pieces, r.expected) << "cuts " << testing::PrintToString(r.cuts);
    }
}
