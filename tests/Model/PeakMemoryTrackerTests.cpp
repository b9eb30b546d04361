#include "Model/PeakMemoryTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using korvalen::AIMemoryStats;
using korvalen::PeakMemoryTracker;

namespace {

// Hands out the given readings in order, then repeats the last one.
PeakMemoryTracker::Reader readings(std::vector<double> values)
{
    auto state = std::make_shared<std::pair<std::vector<double>, std::size_t>>(std::move(values), 0);
    return [state] {
        auto& [list, next] = *state;
        const double value = list[std::min(next, list.size() - 1)];
        ++next;
        return value;
    };
}

}  // namespace

TEST(PeakMemoryTracker, PeakIsTheLargestOfStartSamplesAndEnd)
{
    // start 100, sample 180, finish samples 150 and ends at 150.
    PeakMemoryTracker rising(readings({100, 180, 150, 150}));
    rising.sample();
    EXPECT_EQ(rising.finish(), (AIMemoryStats{100, 180, 150}));

    // finish's own sample is the peak, the end reading below it.
    PeakMemoryTracker late(readings({100, 120, 110}));
    EXPECT_EQ(late.finish(), (AIMemoryStats{100, 120, 110}));

    // Memory that only falls keeps the start as the peak.
    PeakMemoryTracker falling(readings({100, 90, 80, 70}));
    falling.sample();
    EXPECT_EQ(falling.finish(), (AIMemoryStats{100, 100, 70}));

    // A failed end reading (0) is reported as such; the validation rules reject it later.
    PeakMemoryTracker failedEnd(readings({100, 100, 0}));
    EXPECT_EQ(failedEnd.finish(), (AIMemoryStats{100, 100, 0}));
}

TEST(PeakMemoryTracker, ConcurrentSamplesKeepTheMaximum)
{
    std::atomic<int> next{0};
    // Readings climb to 4000 (the 4001st) and fall back, spread over several threads.
    PeakMemoryTracker tracker([&] {
        const int n = next.fetch_add(1);
        return static_cast<double>(n < 4000 ? n : 8000 - n);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1500; ++i) tracker.sample();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(tracker.startMB(), 0.0);
    EXPECT_EQ(tracker.peakMB(), 4000.0);
}

TEST(PeakMemoryTracker, SeesTouchedAllocationsOfTheProcess)
{
    PeakMemoryTracker tracker;
    const double start = tracker.startMB();
    ASSERT_GT(start, 0.0);
    constexpr std::size_t size = 96u << 20;
    {
        auto block = std::make_unique<char[]>(size);
        std::memset(block.get(), 1, size);  // touch every page so it becomes resident
        tracker.sample();
        EXPECT_NE(block[size - 1], 0);
    }
    const AIMemoryStats stats = tracker.finish();
    EXPECT_EQ(stats.startMB, start);
    EXPECT_GE(stats.peakMB, start + 80.0);
    EXPECT_GE(stats.peakMB, stats.endMB);
    EXPECT_GT(stats.endMB, 0.0);
}
