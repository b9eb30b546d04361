#include "Execution/CPU/CPUInputPool.h"
#include "Execution/Shared/DeterministicInputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace korvalen;

// Every element is covered exactly once, whatever the count: small ones in one slice on the calling
// thread, large ones in slices starting on whole cache lines.
TEST(CPUInputPool, SlicesCoverEveryElementOnce)
{
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{16'383}, std::size_t{16'384},
                              std::size_t{147'456}, std::size_t{1'000'003}}) {
        std::vector<int> seen(count, 0);
        std::mutex lock;
        std::size_t slices = 0;
        CPUInputPool::forSlices(count, [&](std::size_t begin, std::size_t end) {
            const std::lock_guard guard(lock);
            ++slices;
            EXPECT_LT(begin, end);
            EXPECT_EQ(begin % 64, 0u) << count;
            for (std::size_t i = begin; i < end; ++i) ++seen[i];
        });
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(count)) << count;
        if (count < 16'384 || CPUInputPool::workerCount() == 1) {
            EXPECT_LE(slices, 1u) << count;
        } else {
            EXPECT_GT(slices, 1u) << count;  // shared out as soon as two workers get 8,192 each
        }
    }
}

// Slices filled apart from the counter-based stream give one sequential fill's bits.
TEST(CPUInputPool, SliceFillsMatchOneFill)
{
    constexpr std::size_t count = 100'003;
    const std::vector<float> whole = deterministicFloats(count, 61'490);
    std::vector<float> sliced(count);
    CPUInputPool::forSlices(count, [&](std::size_t begin, std::size_t end) {
        fillDeterministicFloats(std::span<float>(sliced).subspan(begin, end - begin),
                                61'490 + SplitMix64::gamma * begin);
    });
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(std::bit_cast<std::uint32_t>(sliced[i]), std::bit_cast<std::uint32_t>(whole[i])) << i;
}

// Every part runs exactly once, whatever the count, and parts are shared out: the first one waits
// (up to 10 s, a hang rather than a speed) until another thread has taken one. A caller that finds
// the pool busy (here, a thread started by a part of an outer pass) runs its parts in order on its
// own thread.
TEST(CPUInputPool, PartsRunOnceEachSharedOut)
{
    if (CPUInputPool::workerCount() > 1) {
        std::atomic<int> others{0};
        const auto caller = std::this_thread::get_id();
        CPUInputPool::forParts(4, [&](int part) {
            if (std::this_thread::get_id() != caller) ++others;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (part == 0 && others == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        });
        EXPECT_GT(others, 0);
    }

    for (int parts : {0, 1, 2, 7, 16, 33}) {
        std::vector<std::atomic<int>> runs(static_cast<std::size_t>(parts));
        CPUInputPool::forParts(parts, [&](int part) { ++runs[static_cast<std::size_t>(part)]; });
        for (int part = 0; part < parts; ++part) EXPECT_EQ(runs[static_cast<std::size_t>(part)], 1) << parts;
    }
    std::vector<std::atomic<int>> inner(2);
    CPUInputPool::forParts(2, [&](int outer) {
        std::thread([&] {
            std::vector<int> order;
            CPUInputPool::forParts(3, [&](int part) { order.push_back(part); });
            EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
        }).join();
        ++inner[static_cast<std::size_t>(outer)];
    });
    EXPECT_EQ(inner[0], 1);
    EXPECT_EQ(inner[1], 1);
}
