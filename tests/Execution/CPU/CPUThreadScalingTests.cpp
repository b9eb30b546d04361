#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/WorkerPool.h"
#include "Model/AIBenchmarkError.h"
#include "Model/AIVocabulary.h"
#include "Model/BenchmarkCancellationToken.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace korvalen {
namespace {

using Runner = CPUBenchmarkRunner;

TEST(ThreadScalingCandidates, DependOnPhysicalAndActiveCores)
{
    struct Case {
        std::optional<std::uint64_t> physical;
        int active;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {1, 1, {1}},
        {10, 10, {1, 2, 4, 5, 10}},
        {8, 12, {1, 2, 4, 8, 12}},
        {8, 8, {1, 2, 4, 8}},
        {4, 8, {1, 2, 4, 8}},
        {16, 4, {1, 2, 4}},               // counts above the usable processors are dropped
        {std::nullopt, 6, {1, 2, 4, 6}},  // unreadable: P = 1
        {0, 3, {1, 2, 3}},
        {6, 0, {1}},  // A is at least 1
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Runner::threadScalingCandidates(c.physical, c.active), c.expected)
            << "P=" << c.physical.value_or(999) << " A=" << c.active;
    }
}

TEST(ThreadScalingPasses, TwiceTheScaleRoundedHalfAwayAtLeastOne)
{
    EXPECT_EQ(Runner::threadScalingPasses(0.6), 1);
    EXPECT_EQ(Runner::threadScalingPasses(1.0), 2);
    EXPECT_EQ(Runner::threadScalingPasses(2.2), 4);
    EXPECT_EQ(Runner::threadScalingPasses(0.2), 1);
    EXPECT_EQ(Runner::threadScalingPasses(0.75), 2);  // 1.5 rounds up
    EXPECT_EQ(Runner::threadScalingPasses(1.25), 3);  // 2.5 rounds away from zero
    EXPECT_EQ(Runner::threadScalingPasses(0.0), 1);
    EXPECT_EQ(Runner::threadScalingPasses(-3.0), 1);
    EXPECT_EQ(Runner::threadScalingPasses(std::numeric_limits<double>::quiet_NaN()), 1);
    EXPECT_GE(Runner::threadScalingPasses(std::numeric_limits<double>::infinity()), 1);
}

TEST(ThreadScalingRanges, CoverTheBufferExactlyForAnyWorkerCount)
{
    for (int workers : {1, 2, 3, 7, 12, 64, 1000}) {
        std::int64_t next = 0;
        for (int w = 0; w < workers; ++w) {
            const Runner::Range range = Runner::workerRange(w, workers, Runner::threadScalingElements);
            EXPECT_EQ(range.begin, next);
            EXPECT_GE(range.end, range.begin);
            next = range.end;
        }
        EXPECT_EQ(next, Runner::threadScalingElements) << workers;
    }
}

TEST(WorkerPoolTest, RunsEveryWorkerOncePerPassOnKeptThreadsWithTheCallerAsWorkerZero)
{
    WorkerPool pool(5, "KorvalenAI.ThreadScaling.5");
    EXPECT_EQ(pool.workerCount(), 5);
    std::mutex lock;
    std::vector<std::set<std::thread::id>> threadsOfWorker(5);
    std::vector<int> runs(5, 0);
    for (int pass = 0; pass < 50; ++pass) {
        pool.run([&](int worker) {
            std::lock_guard guard(lock);
            ++runs[worker];
            threadsOfWorker[worker].insert(std::this_thread::get_id());
        });
        // Everything the pass wrote is visible once run returns.
        std::lock_guard guard(lock);
        for (int count : runs) ASSERT_EQ(count, pass + 1);
    }
    std::set<std::thread::id> all;
    for (const auto& ids : threadsOfWorker) {
        EXPECT_EQ(ids.size(), 1u);  // no thread is started after construction
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), 5u);
    EXPECT_EQ(*threadsOfWorker[0].begin(), std::this_thread::get_id());
}

TEST(WorkerPoolTest, AThrowingTaskFailsThePassAfterEveryWorkerFinished)
{
    WorkerPool pool(4, "test");
    std::atomic<int> finished{0};
    for (int failing : {0, 2}) {
        finished = 0;
        EXPECT_THROW(pool.run([&](int worker) {
            if (worker == failing) throw std::runtime_error("worker failed");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ++finished;
        }),
                     std::runtime_error);
        EXPECT_EQ(finished.load(), 3) << failing;
    }
    // The pool stays usable.
    pool.run([&](int) { ++finished; });
    EXPECT_EQ(finished.load(), 7);
}

TEST(ThreadScalingTriad, NegativeAndNotANumberResultsBecomeZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float a[] = {1.0f, -1.0f, 0.5f, nan, 2.0f};
    const float b[] = {1.0f, 0.5f, -1.0f, 1.0f, 3.0f};
    float c[] = {9, 9, 9, 9, 9};
    Runner::threadScalingTriad(a, b, c, 1, 5);
    EXPECT_EQ(c[0], 9.0f);  // outside the range
    EXPECT_EQ(c[1], 0.0f);  // -0.125 - 0.5 < 0
    EXPECT_EQ(c[2], 0.0f);  // 0.0625 - 0.5 < 0
    EXPECT_EQ(c[3], 0.0f);
    EXPECT_EQ(c[4], 6.25f);
}

// The triad's sampled output sum, computed here from the generator on its own.
double expectedSampleSum()
{
    const std::vector<float> a = deterministicFloats(Runner::threadScalingElements, 31'249);
    const std::vector<float> b = deterministicFloats(Runner::threadScalingElements, 31'250);
    double sum = 0;
    for (std::int64_t i = 0; i < Runner::threadScalingElements; i += 1003) {
        const float v = a[i] * 0.125f + a[i] * b[i];
        sum += v >= 0.0f ? v : 0.0f;
    }
    return sum;
}

TEST(ThreadScalingRun, MeasuresEveryCandidateWithValidatedDeterministicOutput)
{
    BenchmarkCancellationToken token;
    Runner::ThreadScalingOptions options;
    options.candidates = std::vector<int>{3, 1, 7, 3};  // unsorted, repeated, not dividing the buffer
    const KernelMeasurement m = Runner::runThreadScaling(definition(AIWorkloadID::threadScaling), 1.0, token, options);

    EXPECT_TRUE(isWellFormed(m));
    EXPECT_EQ(m.iterations, 3 * 2);
    ASSERT_EQ(m.latencySamplesMS.size(), 3u);
    EXPECT_DOUBLE_EQ(m.accuracy, 1.0);
    EXPECT_DOUBLE_EQ(m.checksum, 3 * expectedSampleSum());
    EXPECT_EQ(m.throughputUnit, definition(AIWorkloadID::threadScaling).throughputUnit);
    EXPECT_NEAR(m.workUnits / m.wallSeconds, m.throughput, 1e-9 * m.throughput);

    ASSERT_EQ(m.details.size(), 3u + 4u);
    EXPECT_EQ(m.details[0].rfind("1 worker(s): ", 0), 0u);
    EXPECT_EQ(m.details[1].rfind("3 worker(s): ", 0), 0u);
    EXPECT_EQ(m.details[2].rfind("7 worker(s): ", 0), 0u);
    EXPECT_TRUE(m.details[0].ends_with(" GB/s"));
    EXPECT_EQ(m.details[3].rfind("Optimal worker count: ", 0), 0u);
    EXPECT_EQ(m.details[4].rfind("Scaling efficiency at optimum: ", 0), 0u);
    EXPECT_TRUE(m.details[4].ends_with("%"));
    EXPECT_EQ(m.details[5], "One unscored warm-up pass completed for every worker-count candidate");
    EXPECT_EQ(m.details[6], "Deterministic output samples were validated after every worker-count candidate");

    // The reported throughput is the line of the optimal worker count.
    const std::string optimal = m.details[3].substr(std::string("Optimal worker count: ").size());
    bool found = false;
    for (int k = 0; k < 3; ++k) {
        if (m.details[k].rfind(optimal + " worker(s): ", 0) == 0) {
            found = true;
            const double reported = std::stod(m.details[k].substr(m.details[k].find(": ") + 2));
            EXPECT_NEAR(reported, m.throughput, 0.0005 + 1e-9);
        }
    }
    EXPECT_TRUE(found) << m.details[3];
}

TEST(ThreadScalingRun, SingleWorkerMachineReportsFullEfficiency)
{
    BenchmarkCancellationToken token;
    Runner::ThreadScalingOptions options;
    options.candidates = std::vector<int>{1};
    const KernelMeasurement m = Runner::runThreadScaling(definition(AIWorkloadID::threadScaling), 0.2, token, options);
    EXPECT_EQ(m.iterations, 1);
    ASSERT_EQ(m.details.size(), 5u);
    EXPECT_EQ(m.details[1], "Optimal worker count: 1");
    EXPECT_EQ(m.details[2], "Scaling efficiency at optimum: 100.00%");
}

TEST(ThreadScalingRun, CancellationIsSeenBeforeEachCandidateAndBetweenPhases)
{
    const auto expectCancelledAfter = [](int stopWorkers, bool stopInWarmUp, int expectedMeasured) {
        BenchmarkCancellationToken token;
        Runner::ThreadScalingOptions options;
        options.candidates = std::vector<int>{1, 2, 4};
        int warmUps = 0, measured = 0;
        options.observer = [&](int workers, bool warmUp) {
            (warmUp ? warmUps : measured) += 1;
            if (workers == stopWorkers && warmUp == stopInWarmUp) token.cancel();
        };
        try {
            Runner::runThreadScaling(definition(AIWorkloadID::threadScaling), 1.0, token, options);
            ADD_FAILURE() << "not cancelled";
        } catch (const AIBenchmarkError& error) {
            EXPECT_EQ(error.errorDescription(), "Benchmark cancelled.");
        }
        EXPECT_EQ(measured, expectedMeasured);
        return warmUps;
    };
    EXPECT_EQ(expectCancelledAfter(1, true, 0), 1);   // during the warm-up
    EXPECT_EQ(expectCancelledAfter(4, true, 0), 3);   // between warm-up and measurement
    EXPECT_EQ(expectCancelledAfter(2, false, 2), 3);  // between measured candidates
}

}  // namespace
}  // namespace korvalen
