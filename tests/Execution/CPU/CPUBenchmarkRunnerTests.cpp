#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUKernels.h"
#include "Model/AIBenchmarkError.h"
#include "Model/AIVocabulary.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Inference/BlasThreading.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace korvalen {
namespace {

IterationOutcome fixedOutcome(bool passed = true)
{
    IterationOutcome outcome;
    outcome.workUnits = 0.5;
    outcome.checksum = 2.25;
    outcome.passed = passed;
    outcome.details = {"Kernel line one", "Kernel line two"};
    return outcome;
}

// The message of the AIBenchmarkError `call` throws; fails the test when it throws anything else.
template <typename Call>
std::string errorText(Call&& call)
{
    try {
        call();
    } catch (const AIBenchmarkError& error) {
        return error.errorDescription();
    }
    ADD_FAILURE() << "no AIBenchmarkError thrown";
    return {};
}

TEST(CPUBenchmarkRunnerTimedLoop, ZeroTargetRunsWarmUpAndExactlyThreeTimedIterations)
{
    BenchmarkCancellationToken token;
    int calls = 0;
    const KernelMeasurement m = CPUBenchmarkRunner::runTimed(definition(AIWorkloadID::matrixFP32), 0, token, [&] {
        ++calls;
        return fixedOutcome();
    });
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(m.iterations, 3);
    ASSERT_EQ(m.latencySamplesMS.size(), 3u);
    EXPECT_DOUBLE_EQ(m.workUnits, 1.5);  // the warm-up adds nothing
    EXPECT_DOUBLE_EQ(m.checksum, 6.75);
    EXPECT_DOUBLE_EQ(m.accuracy, 1.0);
    EXPECT_DOUBLE_EQ(m.throughput, m.workUnits / m.wallSeconds);
    EXPECT_EQ(m.throughputUnit, definition(AIWorkloadID::matrixFP32).throughputUnit);
    EXPECT_FALSE(m.retention.has_value());
    EXPECT_TRUE(m.thermalStateSamples.empty());
    EXPECT_GT(m.memory.startMB, 0);
    EXPECT_GE(m.memory.peakMB, m.memory.endMB);
    EXPECT_TRUE(isWellFormed(m));

    const std::vector<std::string> expected{
        "Kernel line one", "Kernel line two", "CPU path: Accelerate and deterministic native kernels",
        "One unscored warm-up iteration completed before timing", "Iterations: 3; validation pass rate: 100.00%"};
    EXPECT_EQ(m.details, expected);
}

TEST(CPUBenchmarkRunnerTimedLoop, KeepsTheFirstDetailsAndCountsFailedValidations)
{
    BenchmarkCancellationToken token;
    int call = 0;
    const KernelMeasurement m = CPUBenchmarkRunner::runTimed(definition(AIWorkloadID::convolution), 0, token, [&] {
        IterationOutcome outcome = fixedOutcome(++call != 3);  // the second timed iteration fails
        if (call == 2)
            outcome.details.clear();  // the first timed one has no lines
        else
            outcome.details = {"from call " + std::to_string(call)};
        return outcome;
    });
    ASSERT_EQ(m.iterations, 3);
    EXPECT_DOUBLE_EQ(m.accuracy, 2.0 / 3.0);
    ASSERT_EQ(m.details.size(), 4u);
    EXPECT_EQ(m.details.front(), "from call 3");
    EXPECT_EQ(m.details.back(), "Iterations: 3; validation pass rate: 66.67%");
}

TEST(CPUBenchmarkRunnerTimedLoop, CancellationBeforeAndDuringTheWarmUp)
{
    // Already stopped: nothing runs.
    {
        BenchmarkCancellationToken token;
        token.cancel();
        int calls = 0;
        EXPECT_EQ(errorText([&] {
                      CPUBenchmarkRunner::runTimed(definition(AIWorkloadID::matrixFP32), 0, token, [&] {
                          ++calls;
                          return fixedOutcome();
                      });
                  }),
                  "Benchmark cancelled.");
        EXPECT_EQ(calls, 0);
    }
    // Stopped during the warm-up: noticed before any timed iteration.
    {
        BenchmarkCancellationToken token;
        int calls = 0;
        EXPECT_EQ(errorText([&] {
                      CPUBenchmarkRunner::runTimed(definition(AIWorkloadID::matrixFP32), 0, token, [&] {
                          ++calls;
                          token.cancel();
                          return fixedOutcome();
                      });
                  }),
                  "Benchmark cancelled.");
        EXPECT_EQ(calls, 1);
    }
}

TEST(CPUBenchmarkRunnerDispatch, WorkloadsWithoutACPUMeasurementFailBeforeAnyWork)
{
    BenchmarkCancellationToken token;
    token.cancel();  // a runner that did any work first would report the stop instead
    int supported = 0;
    for (AIWorkloadID id : allWorkloadIDs()) {
        const AIWorkloadDefinition& workload = definition(id);
        if (CPUBenchmarkRunner::supports(id)) {
            ++supported;
            continue;
        }
        EXPECT_EQ(errorText([&] { CPUBenchmarkRunner::run(workload, 1.0, token); }),
                  "Unsupported backend: " + workload.title + " uses the Core ML runner on CPU.")
            << rawValue(id);
        EXPECT_EQ(errorText([&] { CPUBenchmarkRunner::runTimed(workload, 0, token); }),
                  "Unsupported backend: " + workload.title + " uses the Core ML runner on CPU.");
    }
    EXPECT_EQ(supported, 18);
    EXPECT_FALSE(CPUBenchmarkRunner::supports(AIWorkloadID::imageClassification));
    EXPECT_FALSE(CPUBenchmarkRunner::supports(AIWorkloadID::gpuCommandThroughput));
}

TEST(CPUBenchmarkRunnerDispatch, ThreadScalingTakesTheScaleItself)
{
    BenchmarkCancellationToken token;
    const auto candidates = CPUBenchmarkRunner::threadScalingCandidates().size();
    const KernelMeasurement quick = CPUBenchmarkRunner::run(definition(AIWorkloadID::threadScaling), 0.6, token);
    EXPECT_EQ(quick.iterations, static_cast<int>(candidates));  // one pass per candidate, not 0.35 s of passes
    const KernelMeasurement longer = CPUBenchmarkRunner::run(definition(AIWorkloadID::threadScaling), 1.0, token);
    EXPECT_EQ(longer.iterations, static_cast<int>(candidates) * 2);
}

// Every timed kernel through the real loop: well formed, fully validated, and its checksum the
// kernel's own summed over exactly three timed iterations.
TEST(CPUBenchmarkRunnerKernels, EveryTimedKernelGivesAWellFormedMeasurement)
{
    nn::BlasThreading::applyPolicy();
    BenchmarkCancellationToken token;
    for (AIWorkloadID id : allWorkloadIDs()) {
        const CPUKernelIteration kernel = cpuKernelIteration(id);
        if (!kernel) continue;
        SCOPED_TRACE(std::string(rawValue(id)));
        const IterationOutcome single = kernel(nullptr);
        const KernelMeasurement m = CPUBenchmarkRunner::runTimed(definition(id), 0, token);
        EXPECT_TRUE(isWellFormed(m));
        EXPECT_EQ(m.iterations, 3);
        EXPECT_DOUBLE_EQ(m.accuracy, 1.0);
        EXPECT_DOUBLE_EQ(m.workUnits, 3 * single.workUnits);
        EXPECT_NEAR(m.checksum, 3 * single.checksum, 1e-9 * std::max(1.0, std::fabs(single.checksum)));
        ASSERT_EQ(m.details.size(), single.details.size() + 3);
        EXPECT_TRUE(std::equal(single.details.begin(), single.details.end(), m.details.begin()));
    }
    // Products run on the measuring thread, as decided once for the process.
    EXPECT_EQ(nn::BlasThreading::currentThreadCount(), nn::BlasThreading::threadCount);
}

// OpenBLAS's idle pool spins for about 0.1 s after it starts and after a pooled product, and the
// runner's own threads watch for a while after a pass: once a workload with large products ends,
// the process must go quiet at once instead of holding the cores the next workload needs.
TEST(CPUBenchmarkRunnerKernels, NoBlasThreadSpinsAfterAPooledWorkload)
{
    const auto processCPUSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    };
    BenchmarkCancellationToken token;
    (void)CPUBenchmarkRunner::runTimed(definition(AIWorkloadID::matrixFP32), 0, token);
    const double before = processCPUSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(processCPUSeconds() - before, 0.03);
}

}  // namespace
}  // namespace korvalen
