#include "Model/ScoreCalculator.h"

#include "support/MeasurementBuilders.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace korvalen {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using W = AIWorkloadID;
using B = AIBackend;
using R = AIScoreRole;

AIBenchmarkResult usable(W workload, B backend, std::optional<R> role, double score, bool certified = true)
{
    AIBenchmarkResult r;
    r.workloadID = workload;
    r.backend = backend;
    r.precision = definition(workload).precision;
    r.scoreRole = role;
    r.score = score;
    r.valid = true;
    r.certifiedForComparison = certified;
    return r;
}

AIBenchmarkResult failed(W workload, B backend, std::optional<R> role, std::string error = "Timing validation failed.")
{
    AIBenchmarkResult r = usable(workload, backend, role, 0, false);
    r.valid = false;
    r.error = std::move(error);
    return r;
}

AIBenchmarkResult calibrationFailure(W workload)
{
    return failed(workload, B::automatic, R::platform,
                  "Automatic backend calibration produced no stable valid candidate.");
}

TEST(ScoreSummary, EmptySessionScoresNothing)
{
    AIScoreSummary expected;
    expected.universal = expected.platform = 0;
    expected.certifiedResults = expected.diagnosticResults = 0;
    EXPECT_EQ(ScoreCalculator::summarize({}), expected);
}

TEST(ScoreSummary, BestScorePerWorkloadFeedsGeometricMeans)
{
    // matrixFP32 twice on the GPU: the better one counts.
    const auto s = ScoreCalculator::summarize({
        usable(W::matrixFP32, B::gpu, R::universalAndPlatform, 900),
        usable(W::matrixFP32, B::gpu, R::universalAndPlatform, 1600),
        usable(W::superResolution, B::gpu, R::universalAndPlatform, 400),
    });
    EXPECT_DOUBLE_EQ(s.overall, 800);
    EXPECT_DOUBLE_EQ(*s.universal, 800);
    EXPECT_DOUBLE_EQ(*s.platform, 800);
    EXPECT_DOUBLE_EQ(s.gpu, 800);
    EXPECT_EQ(s.cpu, 0);
    EXPECT_EQ(s.neuralEnginePreferred, 0);
    EXPECT_DOUBLE_EQ(s.compute, 1600);
    EXPECT_DOUBLE_EQ(s.vision, 400);
    EXPECT_DOUBLE_EQ(s.fp32, 800);
    EXPECT_EQ(s.fp16, 0);
    EXPECT_EQ(s.validResults, 3);
}

TEST(ScoreSummary, OverallFallsBackFromPlatformToUniversalToBestOfSession)
{
    struct Case {
        const char* name;
        std::vector<AIBenchmarkResult> results;
        double universal, platform, overall;
    };
    const Case cases[] = {
        {"platform complete",
         {usable(W::matrixFP32, B::gpu, R::universal, 100), usable(W::matrixFP32, B::cpu, R::platform, 400),
          usable(W::convolution, B::gpu, R::universalAndPlatform, 100)},
         100,
         200,
         200},
        {"platform incomplete: universal",
         {usable(W::matrixFP32, B::gpu, R::universalAndPlatform, 100),
          usable(W::convolution, B::gpu, R::universal, 400), failed(W::convolution, B::cpu, R::platform)},
         200,
         0,
         200},
        {"both incomplete: best of session",
         {usable(W::matrixFP32, B::gpu, R::universalAndPlatform, 100),
          failed(W::convolution, B::gpu, R::universalAndPlatform), usable(W::convolution, B::cpu, R::comparison, 400)},
         0,
         0,
         200},
        // No roles: universal from canonical-path results (matrixFP32 is GPU-canonical, textTokenization
        // CPU-only) against every workload; platform from every usable result.
        {"no roles",
         {usable(W::matrixFP32, B::gpu, std::nullopt, 100), usable(W::textTokenization, B::cpu, std::nullopt, 400),
          usable(W::matrixFP32, B::cpu, std::nullopt, 900)},
         200,
         600,
         600},
        {"no roles, canonical path missing",
         {usable(W::matrixFP32, B::cpu, std::nullopt, 900), usable(W::textTokenization, B::cpu, std::nullopt, 400)},
         0,
         600,
         600},
    };
    for (const auto& c : cases) {
        const auto s = ScoreCalculator::summarize(c.results);
        EXPECT_DOUBLE_EQ(*s.universal, c.universal) << c.name;
        EXPECT_DOUBLE_EQ(*s.platform, c.platform) << c.name;
        EXPECT_DOUBLE_EQ(s.overall, c.overall) << c.name;
    }
}

TEST(ScoreSummary, BackendAndCategoryScoresNeedEveryExpectedWorkload)
{
    const auto s = ScoreCalculator::summarize({
        usable(W::matrixFP32, B::cpu, R::comparison, 100),
        failed(W::convolution, B::cpu, R::comparison),
        usable(W::matrixFP32, B::gpu, R::comparison, 400),
        usable(W::textTokenization, B::cpu, R::comparison, 300),
    });
    EXPECT_EQ(s.cpu, 0);  // convolution failed on the CPU
    EXPECT_DOUBLE_EQ(s.gpu, 400);
    EXPECT_EQ(s.compute, 0);
    EXPECT_DOUBLE_EQ(s.language, 300);
    EXPECT_DOUBLE_EQ(s.int8, 300);
}

TEST(ScoreSummary, CountsSkipSupersededCalibrationFailuresAndSplitCertifiedFromDiagnostic)
{
    const auto s = ScoreCalculator::summarize({
        calibrationFailure(W::matrixFP32),
        usable(W::matrixFP32, B::gpu, R::universal, 1000),
        calibrationFailure(W::convolution),  // no usable universal companion: counted
        usable(W::convolution, B::gpu, R::comparison, 1000, false),
        failed(W::textTokenization, B::cpu, R::universalAndPlatform),
    });
    EXPECT_EQ(s.validResults, 2);
    EXPECT_EQ(s.invalidResults, 2);
    EXPECT_EQ(s.certifiedResults, 1);
    EXPECT_EQ(s.diagnosticResults, 1);
}

TEST(SessionNotes, ConditionsAndResults)
{
    using korvalen::testing::comparableSystem;
    EXPECT_THAT(ScoreCalculator::sessionCertificationNotes(comparableSystem(), {}), IsEmpty());

    AISystemProfile system = comparableSystem();
    system.runningUnderRosetta = true;
    system.power = AIPowerProfile{"Battery", 20, true};
    system.availableMemoryGB = -1;
    EXPECT_THAT(
        ScoreCalculator::sessionCertificationNotes(system, {usable(W::matrixFP32, B::gpu, R::universal, 1000, false),
                                                            failed(W::convolution, B::gpu, R::universal)}),
        ElementsAre("Run used Rosetta 2 translation", "Low Power Mode was enabled",
                    "Run was performed on battery power", "Available memory could not be verified",
                    "One or more valid results are diagnostic-only due to run conditions or variation",
                    "One or more workloads were unavailable and were excluded from the usable result"));

    EXPECT_THAT(
        ScoreCalculator::sessionCertificationNotes(
            comparableSystem(), {calibrationFailure(W::matrixFP32), usable(W::matrixFP32, B::gpu, R::universal, 1000)}),
        IsEmpty());
}

AISystemProfile snapshot(std::optional<AIPowerProfile> power, std::vector<AIGPUProfile> gpus = {},
                         double availableGB = 8)
{
    AISystemProfile p = korvalen::testing::comparableSystem();
    p.power = std::move(power);
    p.availableMemoryGB = availableGB;
    if (!gpus.empty()) p.gpuProfiles = std::move(gpus);
    return p;
}

TEST(RunConditionNotes, PowerMemoryAndGPUTopologyChanges)
{
    const AIPowerProfile ac{"AC Power", std::nullopt, false};
    const AIPowerProfile batteryLow{"Battery", 80, true};
    const AIPowerProfile unknown{"Unknown", std::nullopt, false};
    AIGPUProfile internal{"Integrated", 11, false, false, false, true, 0, 0, 0};
    AIGPUProfile external{"External", 22, false, true, false, false, 0, 0, 0};
    AIGPUProfile internalLowPower = internal;
    internalLowPower.lowPower = true;

    struct Case {
        const char* name;
        AISystemProfile start, end;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {"unchanged", snapshot(ac, {internal, external}), snapshot(ac, {external, internal}), {}},
        {"no GPU profiles, same name", snapshot(ac), snapshot(ac), {}},
        {"unplugged",
         snapshot(ac, {internal}),
         snapshot(batteryLow, {internal}),
         {"Power source changed during the run (AC Power → Battery)", "Low Power Mode changed during the run"}},
        {"unknown both ends",
         snapshot(unknown),
         snapshot(unknown),
         {"Power source could not be verified at the end of the run"}},
        {"power missing",
         snapshot(std::nullopt),
         snapshot(batteryLow),
         {"Power conditions could not be verified for the complete run"}},
        {"memory low at end",
         snapshot(ac),
         snapshot(ac, {}, 0.5),
         {"Available memory was below the comparison threshold at the end of the run"}},
        {"external GPU removed",
         snapshot(ac, {internal, external}),
         snapshot(ac, {internal}),
         {"Metal GPU topology changed during the run"}},
        {"GPU flag changed",
         snapshot(ac, {internal}),
         snapshot(ac, {internalLowPower}),
         {"Metal GPU topology changed during the run"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ScoreCalculator::runtimeConditionChangeNotes(c.start, c.end), c.notes) << c.name;

    AISystemProfile noMemory = snapshot(ac);
    noMemory.availableMemoryGB.reset();
    EXPECT_THAT(ScoreCalculator::runtimeConditionChangeNotes(snapshot(ac), noMemory),
                ElementsAre("Available memory could not be verified at the end of the run"));
}

}  // namespace
}  // namespace korvalen
