#include "Model/BenchmarkCancellationToken.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using korvalen::BenchmarkCancellationToken;

TEST(BenchmarkCancellationToken, ResetClearsAndCancelIsIdempotent)
{
    BenchmarkCancellationToken token;
    EXPECT_FALSE(token.isCancelled());
    token.cancel();
    token.cancel();
    EXPECT_TRUE(token.isCancelled());
    token.reset();
    EXPECT_FALSE(token.isCancelled());
}

TEST(BenchmarkCancellationToken, PollingThreadsSeeACancelFromAnotherThread)
{
    BenchmarkCancellationToken token;
    std::atomic<int> stopped{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 8; ++i) {
        pollers.emplace_back([&] {
            while (!token.isCancelled()) std::this_thread::yield();
            stopped.fetch_add(1);
        });
    }
    // Resets racing with readers must not disturb them; the final cancel reaches every poller.
    for (int i = 0; i < 1000; ++i) token.reset();
    token.cancel();
    for (auto& poller : pollers) poller.join();
    EXPECT_EQ(stopped.load(), 8);
    EXPECT_TRUE(token.isCancelled());
}
