#include "Model/ScoreCalculator.h"

#include "Model/KernelMeasurement.h"
#include "support/MeasurementBuilders.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace korvalen {
namespace {

using korvalen::testing::comparableSystem;
using korvalen::testing::soundMeasurement;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

AIWorkloadDefinition workloadWithBaseline(AIWorkloadID id, double baseline)
{
    AIWorkloadDefinition d = definition(id);
    d.baselineThroughput = baseline;
    return d;
}

AIBenchmarkResult score(const KernelMeasurement& m, AIWorkloadID id = AIWorkloadID::matrixFP32,
                        const AISystemProfile& system = comparableSystem(), const std::string& thermalEnd = "Nominal")
{
    return ScoreCalculator::result(m, workloadWithBaseline(id, 100), AIBackend::gpu, "Nominal", thermalEnd, system,
                                   AIScoreRole::universal, 7, "Test GPU");
}

TEST(ResultScoring, SoundMeasurementIsValidCertifiedAndNormalizedToTheBaseline)
{
    const AIBenchmarkResult r = score(soundMeasurement());
    EXPECT_TRUE(r.valid);
    EXPECT_DOUBLE_EQ(r.score, 1000);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.certifiedForComparison, true);
    EXPECT_THAT(*r.certificationNotes, IsEmpty());
    EXPECT_EQ(r.precision, definition(AIWorkloadID::matrixFP32).precision);
    EXPECT_EQ(r.scoreRole, AIScoreRole::universal);
    EXPECT_EQ(r.gpuRegistryID, 7u);
    EXPECT_EQ(r.measuredWorkUnits, 1000);
    EXPECT_EQ(r.latencySamplesMS, soundMeasurement().latencySamplesMS);
    EXPECT_NE(r.id, score(soundMeasurement()).id);
}

struct DefectCase {
    const char* name;
    std::function<void(KernelMeasurement&)> mutate;
    AIWorkloadID workload;
    bool valid;
    const char* error;  // nullptr: no error
};

TEST(ResultScoring, ChecksAndTheirErrorTexts)
{
    const char* timing = "Timing validation failed.";
    const char* numerical = "Numerical validation did not meet the required consistency checks.";
    const DefectCase cases[] = {
        {"no samples", [](auto& m) { m.latencySamplesMS.clear(); }, AIWorkloadID::matrixFP32, false, timing},
        {"two samples",
         [](auto& m) {
             m.latencySamplesMS = {10, 10};
         },
         AIWorkloadID::matrixFP32, false, timing},
        {"one sample, reduced workload", [](auto& m) { m.latencySamplesMS = {10}; }, AIWorkloadID::metalSustained, true,
         nullptr},
        {"zero sample", [](auto& m) { m.latencySamplesMS.push_back(0); }, AIWorkloadID::matrixFP32, false, timing},
        {"no iterations", [](auto& m) { m.iterations = 0; }, AIWorkloadID::matrixFP32, false, timing},
        {"accuracy at floor", [](auto& m) { m.accuracy = 0.985; }, AIWorkloadID::matrixFP32, true, nullptr},
        {"accuracy at ceiling", [](auto& m) { m.accuracy = 1.000001; }, AIWorkloadID::matrixFP32, true, nullptr},
        {"accuracy below", [](auto& m) { m.accuracy = 0.98499; }, AIWorkloadID::matrixFP32, false, numerical},
        {"accuracy above", [](auto& m) { m.accuracy = 1.0000011; }, AIWorkloadID::matrixFP32, false, numerical},
        {"checksum NaN", [](auto& m) { m.checksum = nan; }, AIWorkloadID::matrixFP32, false, numerical},
        {"throughput within 0.5 %", [](auto& m) { m.throughput = 100.4; }, AIWorkloadID::matrixFP32, true, nullptr},
        {"throughput beyond 0.5 %", [](auto& m) { m.throughput = 100.6; }, AIWorkloadID::matrixFP32, false,
         "Numerical validation did not meet the required consistency checks; "
         "Throughput accounting was inconsistent with work units and wall time."},
        {"memory start 0", [](auto& m) { m.memory.startMB = 0; }, AIWorkloadID::matrixFP32, false,
         "Memory telemetry was invalid."},
        {"memory end above peak", [](auto& m) { m.memory.endMB = 151; }, AIWorkloadID::matrixFP32, false,
         "Memory telemetry was invalid."},
        {"retention 0", [](auto& m) { m.retention = 0; }, AIWorkloadID::matrixFP32, false,
         "Performance retention was invalid."},
        {"retention NaN", [](auto& m) { m.retention = nan; }, AIWorkloadID::matrixFP32, false,
         "Performance retention was invalid."},
        {"infinite wall time", [](auto& m) { m.wallSeconds = inf; }, AIWorkloadID::matrixFP32, false,
         "Timing validation failed; Numerical validation did not meet the required consistency checks; "
         "Throughput accounting was inconsistent with work units and wall time."},
    };
    for (const auto& c : cases) {
        KernelMeasurement m = soundMeasurement();
        c.mutate(m);
        const AIBenchmarkResult r = score(m, c.workload);
        EXPECT_EQ(r.valid, c.valid) << c.name;
        EXPECT_EQ(r.error, c.error ? std::optional<std::string>(c.error) : std::nullopt) << c.name;
        EXPECT_EQ(r.certifiedForComparison, c.valid) << c.name;
        if (!c.valid) {
            EXPECT_EQ(r.score, 0) << c.name;
        }
    }
}

TEST(ResultScoring, FailedChecksAddTheirCertificationNotesInOrder)
{
    KernelMeasurement m = soundMeasurement();
    m.latencySamplesMS.clear();
    m.accuracy = 0.5;
    m.memory.startMB = 0;
    m.retention = -1;
    m.throughput = 0;
    const AIBenchmarkResult r = score(m);
    EXPECT_THAT(*r.certificationNotes,
                ElementsAre("Timing validation failed", "Numerical validation failed",
                            "Throughput accounting did not match measured work and wall time",
                            "Memory telemetry validation failed", "Performance-retention validation failed",
                            "Normalized score was not representable as a finite positive value"));
    EXPECT_EQ(r.latency.medianMS, 0);
    EXPECT_FALSE(r.performanceRetention);
}

TEST(ResultScoring, NonFiniteFiguresAreStoredAsZero)
{
    KernelMeasurement m = soundMeasurement();
    m.wallSeconds = nan;
    m.throughput = inf;
    m.accuracy = -inf;
    m.checksum = nan;
    m.workUnits = nan;
    m.iterations = -3;
    m.memory = {nan, -5, inf};
    m.latencySamplesMS = {nan, 4, -2, inf};
    const AIBenchmarkResult r = score(m);
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.durationSeconds, 0);
    EXPECT_EQ(r.throughput, 0);
    EXPECT_EQ(r.accuracy, 0);
    EXPECT_EQ(r.checksum, 0);
    EXPECT_EQ(r.measuredWorkUnits, 0);
    EXPECT_EQ(r.iterations, 0);
    EXPECT_EQ(r.memory, (AIMemoryStats{0, 0, 0}));
    EXPECT_EQ(r.latencySamplesMS, (std::vector<double>{0, 4, -2, 0}));
}

TEST(ResultScoring, ZeroBaselineScoresAgainstTheFloor)
{
    const AIBenchmarkResult r = ScoreCalculator::result(
        soundMeasurement(), workloadWithBaseline(AIWorkloadID::matrixFP32, 0), AIBackend::cpu, "Nominal", "Nominal",
        comparableSystem(), AIScoreRole::platform, std::nullopt, std::nullopt);
    EXPECT_TRUE(r.valid);
    EXPECT_DOUBLE_EQ(r.score, 100 * 1000 / 0.000001);
}

TEST(ResultCertification, RunConditionsLeaveValidResultsUncertified)
{
    AISystemProfile battery = comparableSystem();
    battery.power = AIPowerProfile{"Battery", 40, false};
    battery.memoryGB = 8;
    battery.availableMemoryGB = 0.9;

    AISystemProfile unverified = comparableSystem();
    unverified.runningUnderRosetta = true;
    unverified.power.reset();
    unverified.availableMemoryGB = nan;

    AISystemProfile lowPower = comparableSystem();
    lowPower.power = AIPowerProfile{"Unknown", std::nullopt, true};
    lowPower.memoryGB = 64;
    lowPower.availableMemoryGB = 3;  // threshold 3.2 GB

    // An unreadable total must not disable the 1 GB floor.
    AISystemProfile unknownTotal = comparableSystem();
    unknownTotal.memoryGB = nan;
    unknownTotal.availableMemoryGB = 0.5;

    struct Case {
        AISystemProfile system;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {unknownTotal, {"Available memory was below the comparison threshold"}},
        {battery, {"Running on battery power", "Available memory was below the comparison threshold"}},
        {unverified,
         {"Running through Rosetta 2", "Power source could not be verified", "Available memory could not be verified"}},
        {lowPower,
         {"Low Power Mode is enabled", "Power source could not be verified",
          "Available memory was below the comparison threshold"}},
    };
    for (const auto& c : cases) {
        const AIBenchmarkResult r = score(soundMeasurement(), AIWorkloadID::matrixFP32, c.system);
        EXPECT_TRUE(r.valid);
        EXPECT_EQ(r.certifiedForComparison, false);
        EXPECT_EQ(*r.certificationNotes, c.notes);
    }
}

TEST(ResultCertification, ThermalNotesNameStartEndAndTheWorstSampledState)
{
    struct Case {
        std::string end;
        std::vector<std::string> samples;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {"Serious",
         {"Nominal", "Critical", "Fair"},
         {"Thermal state at end was Serious", "Thermal state reached Critical during the measured workload"}},
        {"Serious", {"Fair", "Serious"}, {"Thermal state at end was Serious"}},
        {"Nominal", {"Unknown", "Nominal"}, {"Thermal state reached Unknown during the measured workload"}},
        {"Nominal", {"Nominal"}, {}},
    };
    for (const auto& c : cases) {
        KernelMeasurement m = soundMeasurement();
        m.thermalStateSamples = c.samples;
        const AIBenchmarkResult r = score(m, AIWorkloadID::matrixFP32, comparableSystem(), c.end);
        EXPECT_EQ(*r.certificationNotes, c.notes);
        EXPECT_EQ(r.thermalStateSamples, c.samples);
    }
}

TEST(ResultCertification, UnsteadyLatencyIsExplainedExceptForReducedSampleWorkloads)
{
    KernelMeasurement m = soundMeasurement();
    m.latencySamplesMS = {2, 2, 2, 2, 2, 2, 2, 2, 10, 12};
    const AIBenchmarkResult r = score(m);
    EXPECT_TRUE(r.valid);
    EXPECT_THAT(*r.certificationNotes,
                ElementsAre("Latency stability was outside the comparison threshold (robust CV 0.00%, limit 5.00%; "
                            "outliers 20.00%, limit 10.00%; P95 11.1000 ms, sub-ms tail limit 2.5000 ms)"));
    EXPECT_THAT(*score(m, AIWorkloadID::threadScaling).certificationNotes, IsEmpty());
}

}  // namespace
}  // namespace korvalen
