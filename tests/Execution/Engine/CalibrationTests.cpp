#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Model/KernelMeasurement.h"

#include "support/MeasurementBuilders.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace korvalen {
namespace {

using korvalen::testing::soundMeasurement;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(MeasurementWellFormedness, EveryInvariantAndItsBoundary)
{
    struct Case {
        const char* name;
        std::function<void(KernelMeasurement&)> mutate;
        bool wellFormed;
    };
    const Case cases[] = {
        {"sound", [](auto&) {}, true},
        {"throughput off by exactly 0.5 %", [](auto& m) { m.throughput = 100.5; }, true},
        {"throughput off by more", [](auto& m) { m.throughput = 100.51; }, false},
        {"tiny rate within the absolute floor",
         [](auto& m) {
             m.workUnits = 1e-6;
             m.throughput = 1.5e-7;
         },
         true},
        {"accuracy at floor", [](auto& m) { m.accuracy = 0.985; }, true},
        {"accuracy just below", [](auto& m) { m.accuracy = 0.9849; }, false},
        {"accuracy at ceiling", [](auto& m) { m.accuracy = 1.000001; }, true},
        {"zero wall time", [](auto& m) { m.wallSeconds = 0; }, false},
        {"infinite checksum", [](auto& m) { m.checksum = std::numeric_limits<double>::infinity(); }, false},
        {"no iterations", [](auto& m) { m.iterations = 0; }, false},
        {"end equal to peak", [](auto& m) { m.memory.endMB = m.memory.peakMB; }, true},
        {"start 0", [](auto& m) { m.memory.startMB = 0; }, false},
        {"peak below start",
         [](auto& m) {
             m.memory.peakMB = 99;
             m.memory.endMB = 99;
         },
         false},
        {"retention 0", [](auto& m) { m.retention = 0; }, false},
        {"retention 97 %", [](auto& m) { m.retention = 97; }, true},
        {"no samples", [](auto& m) { m.latencySamplesMS.clear(); }, false},
        {"zero sample", [](auto& m) { m.latencySamplesMS.push_back(0); }, false},
        {"NaN sample", [](auto& m) { m.latencySamplesMS.push_back(nan); }, false},
        {"single sample", [](auto& m) { m.latencySamplesMS = {3}; }, true},
    };
    for (const auto& c : cases) {
        KernelMeasurement m = soundMeasurement();
        c.mutate(m);
        EXPECT_EQ(isWellFormed(m), c.wellFormed) << c.name;
        EXPECT_EQ(AIBenchmarkEngine::calibrationMeasurementIsValid(m), c.wellFormed) << c.name;
    }
}

TEST(CalibrationStability, HeterogeneousWorkloadsAreJudgedOnSampleSanityOnly)
{
    using Verdict = AIBenchmarkEngine::CalibrationStability;
    struct Case {
        AIWorkloadID workload;
        std::vector<double> samples;
        Verdict expected;
    };
    const Case cases[] = {
        {AIWorkloadID::threadScaling, {5, 9000}, {true, "heterogeneous latency samples"}},
        {AIWorkloadID::mixedSustained, {5}, {true, "heterogeneous latency samples"}},
        {AIWorkloadID::metalSustained, {}, {false, "invalid latency samples"}},
        {AIWorkloadID::modelLoading, {5, -1}, {false, "invalid latency samples"}},
        {AIWorkloadID::matrixFP32, {5, 9000}, {false, "invalid or insufficient latency samples"}},
        {AIWorkloadID::matrixFP32, {5, 5, nan}, {false, "invalid or insufficient latency samples"}},
    };
    for (const auto& c : cases) {
        KernelMeasurement m = soundMeasurement();
        m.latencySamplesMS = c.samples;
        EXPECT_EQ(AIBenchmarkEngine::calibrationStability(m, c.workload), c.expected) << rawValue(c.workload);
    }
}

TEST(CalibrationStability, OtherWorkloadsReportTheStabilityFigures)
{
    KernelMeasurement m = soundMeasurement();
    m.latencySamplesMS = {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.55, 0.55};
    EXPECT_EQ(AIBenchmarkEngine::calibrationStability(m, AIWorkloadID::matrixFP32),
              (AIBenchmarkEngine::CalibrationStability{
                  true, "robust CV 0.00% / 20.00%; outliers 20.00% / 10.00%; P95 0.5500 ms / sub-ms tail 0.6250 ms"}));

    m.latencySamplesMS = {2, 2, 2, 2, 2, 2, 2, 2, 10, 12};
    EXPECT_FALSE(AIBenchmarkEngine::calibrationStability(m, AIWorkloadID::matrixFP32).stable);
}

}  // namespace
}  // namespace korvalen
