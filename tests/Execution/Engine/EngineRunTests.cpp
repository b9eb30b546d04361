#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Model/AIBenchmarkError.h"

#include "support/FakeRunners.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace korvalen {
namespace {

using namespace korvalen::testing;
using B = AIBackend;
using R = AIScoreRole;
using W = AIWorkloadID;

// --- Explicit run ---

TEST(ExplicitRun, RoutesEachWorkloadToItsRunnerWithItsDuration)
{
    struct Case {
        W workload;
        B backend;
        const char* runner;
        std::optional<double> duration;
    };
    const Case cases[] = {
        // A model workload runs its model on any backend, with the scale.
        {W::imageClassification, B::cpu, "coreML", 0.6},
        {W::modelLoading, B::gpu, "coreML", 0.6},
        {W::batchScaling, B::automatic, "coreML", 0.6},
        // CPU kernels get a target, thread scaling the scale, memory pressure nothing.
        {W::matrixFP32, B::cpu, "cpuTimed", 0.6 * 1.4},
        {W::threadScaling, B::cpu, "cpuThreadScaling", 0.6},
        {W::memoryPressure, B::cpu, "cpuMemoryPressure", std::nullopt},
        {W::gpuCommandThroughput, B::gpu, "metal", 0.6 * 1.6},
        {W::llmQ4, B::gpu, "metal", 0.6 * 1.6},
    };
    for (const auto& c : cases) {
        FakeRunners fakes;
        const auto engine = engineWith(fakes, twoGPUMachine());
        const auto result = engine.runExplicit(workload(c.workload), c.backend, AIRunMode::quick, R::requested, 4);
        ASSERT_EQ(fakes.calls.size(), 1u) << rawValue(c.workload);
        const RunnerCall& call = fakes.calls.front();
        EXPECT_EQ(call.runner, c.runner) << rawValue(c.workload);
        EXPECT_EQ(call.workload, c.workload);
        ASSERT_EQ(call.duration.has_value(), c.duration.has_value()) << rawValue(c.workload);
        if (c.duration) {
            EXPECT_DOUBLE_EQ(*call.duration, *c.duration) << rawValue(c.workload);
        }
        if (call.runner == std::string("coreML")) {
            EXPECT_EQ(call.backend, c.backend);
            EXPECT_EQ(call.gpuRegistryID, std::optional<std::uint64_t>(4));
        }
        if (call.runner == std::string("metal")) {
            EXPECT_EQ(call.gpuRegistryID, std::optional<std::uint64_t>(4));
        }
        EXPECT_TRUE(result.valid) << rawValue(c.workload) << ": " << result.error.value_or("");
        EXPECT_DOUBLE_EQ(result.score, 1000);
        EXPECT_EQ(result.backend, c.backend);
        EXPECT_EQ(result.scoreRole, R::requested);
    }
}

TEST(ExplicitRun, UnsupportedPairsBecomeInvalidResultsWithExactTexts)
{
    struct Case {
        W workload;
        B backend;
        const char* error;
    };
    const Case cases[] = {
        {W::gpuCommandThroughput, B::cpu,
         "Unsupported backend: GPU AI Command Throughput uses the Core ML runner on CPU."},
        {W::matrixFP32, B::neuralEnginePreferred,
         "Unsupported backend: This workload has no Core ML graph for Neural Engine Preferred"},
        {W::matrixFP32, B::automatic,
         "Unsupported backend: Automatic execution is valid only for calibrated or mixed sustained runs"},
    };
    for (const auto& c : cases) {
        FakeRunners fakes;
        fakes.thermalTexts = {"Nominal", "Fair", "Serious"};
        const auto engine = engineWith(fakes, twoGPUMachine());
        const auto r = engine.runExplicit(workload(c.workload), c.backend, AIRunMode::complete, R::comparison, 9);
        EXPECT_TRUE(fakes.calls.empty());
        EXPECT_FALSE(r.valid);
        EXPECT_EQ(r.error, std::optional<std::string>(c.error));
        EXPECT_EQ(r.certificationNotes, std::optional<std::vector<std::string>>({c.error}));
        EXPECT_EQ(r.certifiedForComparison, std::optional<bool>(false));
        EXPECT_EQ(r.scoreRole, R::comparison);
        EXPECT_EQ(r.backend, c.backend);
        EXPECT_EQ(r.workloadID, c.workload);
        EXPECT_EQ(r.throughputUnit, workload(c.workload).throughputUnit);
        EXPECT_EQ(r.precision, workload(c.workload).precision);
        // The reading before the run is dropped: two fresh ones at the failure.
        EXPECT_EQ(r.thermalStart, "Fair");
        EXPECT_EQ(r.thermalEnd, "Serious");
        EXPECT_EQ(r.score, 0);
        EXPECT_EQ(r.latency.outlierCount, std::optional<int>(0));
        EXPECT_EQ(r.latency.p99MS, std::optional<double>(0));
        EXPECT_TRUE(r.details.empty());
        EXPECT_FALSE(r.performanceRetention || r.latencySamplesMS || r.measuredWorkUnits || r.thermalStateSamples);
        EXPECT_FALSE(r.gpuRegistryID || r.gpuName) << "only GPU runs are attributed";
    }
}

TEST(ExplicitRun, RunnerFailuresOfAnyKindNeverEscape)
{
    FakeRunners fakes;
    const auto engine = engineWith(fakes, twoGPUMachine());
    fakes.respond = [](const RunnerCall&) -> KernelMeasurement { throw AIBenchmarkError::metalUnavailable(); };
    auto r = engine.runExplicit(workload(W::llmQ4), B::gpu, AIRunMode::quick, R::requested, 4);
    EXPECT_EQ(r.error, std::optional<std::string>("No compatible Metal device is available."));
    EXPECT_EQ(r.gpuRegistryID, std::optional<std::uint64_t>(4)) << "a failed GPU run names its known GPU";
    EXPECT_EQ(r.gpuName, std::optional<std::string>("GPU Four"));

    r = engine.runExplicit(workload(W::llmQ4), B::gpu, AIRunMode::quick, R::requested, 5);
    EXPECT_FALSE(r.gpuRegistryID || r.gpuName) << "an unknown GPU is not attributed";

    fakes.respond = [](const RunnerCall&) -> KernelMeasurement { throw std::runtime_error("driver lost"); };
    EXPECT_EQ(engine.runExplicit(workload(W::matrixFP32), B::cpu, AIRunMode::quick, R::requested, {}).error,
              std::optional<std::string>("driver lost"));
    fakes.respond = [](const RunnerCall&) -> KernelMeasurement { throw 42; };
    EXPECT_FALSE(engine.runExplicit(workload(W::matrixFP32), B::cpu, AIRunMode::quick, R::requested, {}).valid);

    // A missing runner is a failure like any other.
    AIBenchmarkEngine bare{nullptr, twoGPUMachine(), std::nullopt, AIBenchmarkRunners{}};
    r = bare.runExplicit(workload(W::matrixFP32), B::cpu, AIRunMode::quick, R::requested, {});
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.thermalStart, "Unknown");
}

TEST(ExplicitRun, GPUAttributionOfScoredRuns)
{
    FakeRunners fakes;
    const auto engine = engineWith(fakes, twoGPUMachine());
    auto r = engine.runExplicit(workload(W::llmQ4), B::gpu, AIRunMode::quick, R::requested, std::nullopt);
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.gpuRegistryID, std::optional<std::uint64_t>(9)) << "no identifier: the first profile";
    EXPECT_EQ(r.gpuName, std::optional<std::string>("GPU Nine"));
    EXPECT_EQ(fakes.calls.back().gpuRegistryID, std::nullopt) << "the runner itself picks the default GPU";

    r = engine.runExplicit(workload(W::matrixFP32), B::cpu, AIRunMode::quick, R::requested, 4);
    EXPECT_TRUE(r.valid);
    EXPECT_FALSE(r.gpuRegistryID || r.gpuName);
}

// --- Calibrated run ---

// Fakes whose brief and measured runs report a throughput per backend (score = throughput × 1000 / baseline).
FakeRunners withThroughputs(std::map<B, double> throughputs)
{
    FakeRunners fakes;
    fakes.respond = [throughputs](const RunnerCall& call) {
        const auto found = throughputs.find(call.backend);
        return measurementAt(found != throughputs.end() ? found->second : 50);
    };
    return fakes;
}

std::vector<std::pair<B, R>> lanes(const std::vector<AIBenchmarkResult>& results)
{
    std::vector<std::pair<B, R>> out;
    for (const auto& r : results) out.emplace_back(r.backend, r.scoreRole.value_or(R::requested));
    return out;
}

const std::string guardLine =
    "Winner was within the 3% calibration guard band; the fixed Universal backend was retained.";
// Every fake measurement has the same steady samples, so the same stability verdict.
const std::string steady = AIBenchmarkEngine::calibrationStability(measurementAt(1), W::matrixFP32).detail;

TEST(CalibratedRun, GuardBandKeepsTheCanonicalBackendUnlessBeatenByThreePercent)
{
    {
        auto fakes = withThroughputs({{B::gpu, 100}, {B::cpu, 102.9}});
        const auto results =
            engineWith(fakes, twoGPUMachine()).runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4);
        EXPECT_EQ(lanes(results), (std::vector<std::pair<B, R>>{{B::gpu, R::universalAndPlatform}}));
        const auto& d = results.front().details;
        ASSERT_GE(d.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(d.end() - 5, d.end()),
                  (std::vector<std::string>{"Automatic backend calibration:", "• CPU: 102.9000 TFLOP/s, " + steady,
                                            "• GPU: 100.0000 TFLOP/s, " + steady, guardLine,
                                            "Calibrated winner matches the fixed Universal AI backend"}));
        EXPECT_EQ(results.front().gpuRegistryID, std::optional<std::uint64_t>(4));
        // Two brief runs with the calibration factor, then one measured run at the mode's scale.
        ASSERT_EQ(fakes.calls.size(), 3u);
        EXPECT_DOUBLE_EQ(*fakes.calls[0].duration, 0.3 * 1.4);
        EXPECT_DOUBLE_EQ(*fakes.calls[2].duration, 0.6 * 1.4);
    }
    {
        auto fakes = withThroughputs({{B::gpu, 100}, {B::cpu, 103.0}});
        const auto results =
            engineWith(fakes, twoGPUMachine()).runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4);
        EXPECT_EQ(lanes(results), (std::vector<std::pair<B, R>>{{B::gpu, R::universal}, {B::cpu, R::platform}}));
        EXPECT_EQ(results[1].details.back(), "Calibrated platform winner: CPU");
        EXPECT_EQ(results[0].details.back(), "• GPU: 100.0000 TFLOP/s, " + steady);
        EXPECT_FALSE(results[1].gpuRegistryID.has_value());
    }
}

TEST(CalibratedRun, EqualThroughputsGoToTheEarlierBackend)
{
    AISystemProfile system = twoGPUMachine();
    system.neuralEngineAvailable = true;
    auto fakes = withThroughputs({{B::cpu, 300}, {B::gpu, 100}, {B::neuralEnginePreferred, 300}});
    const auto results = engineWith(fakes, system).runCalibrated(workload(W::imageClassification), AIRunMode::quick, 9);
    EXPECT_EQ(lanes(results), (std::vector<std::pair<B, R>>{{B::gpu, R::universal}, {B::cpu, R::platform}}));
}

TEST(CalibratedRun, UnstableOrFailedCanonicalBackendLosesWithoutGuardBand)
{
    auto fakes = withThroughputs({});
    int gpuCalls = 0;
    fakes.respond = [&gpuCalls](const RunnerCall& call) {
        KernelMeasurement m = measurementAt(call.backend == B::gpu ? 100 : 100.5);
        // Only the brief GPU run (the first GPU call) has a zero sample.
        if (call.backend == B::gpu && gpuCalls++ == 0) m.latencySamplesMS.push_back(0);
        return m;
    };
    auto results = engineWith(fakes, twoGPUMachine()).runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4);
    EXPECT_EQ(lanes(results), (std::vector<std::pair<B, R>>{{B::gpu, R::universal}, {B::cpu, R::platform}}));
    const auto& notes = results[0].details;
    EXPECT_NE(std::find_if(notes.begin(), notes.end(),
                           [](const std::string& s) {
                               return s.starts_with("• GPU: 100.0000") && s.ends_with(" (unstable/invalid)");
                           }),
              notes.end());
    EXPECT_EQ(std::find(notes.begin(), notes.end(), guardLine), notes.end());

    auto failing = withThroughputs({{B::cpu, 10}});
    failing.respond = [](const RunnerCall& call) -> KernelMeasurement {
        if (call.backend == B::gpu && call.duration == 0.3 * 1.4) throw AIBenchmarkError::metalUnavailable();
        return measurementAt(10);
    };
    results = engineWith(failing, twoGPUMachine()).runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4);
    EXPECT_EQ(lanes(results), (std::vector<std::pair<B, R>>{{B::gpu, R::universal}, {B::cpu, R::platform}}));
    EXPECT_EQ(results[1].details[1], "• CPU: 10.0000 TFLOP/s, " + steady);
    EXPECT_EQ(results[1].details[2], "• GPU: unavailable — No compatible Metal device is available.");
}

TEST(CalibratedRun, NoValidBriefRunFallsBackToTheCanonicalBackend)
{
    const std::string fallback =
        "Automatic calibration had no stable winner; Platform AI fell back to the fixed Universal backend.";
    auto fakes = withThroughputs({});
    fakes.respond = [](const RunnerCall&) {
        KernelMeasurement m = measurementAt(100);
        m.accuracy = 0.5;
        return m;
    };
    auto results = engineWith(fakes, twoGPUMachine()).runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4);
    EXPECT_EQ(lanes(results), (std::vector<std::pair<B, R>>{{B::gpu, R::universalAndPlatform}}));
    EXPECT_EQ(results[0].details.back(), fallback);

    // Nothing available at all: the CPU is measured (and refuses), notes hold only the heading.
    FakeRunners none;
    results = engineWith(none, noGPUMachine()).runCalibrated(workload(W::llmQ4), AIRunMode::quick, std::nullopt);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].backend, B::cpu);
    EXPECT_EQ(results[0].scoreRole, R::universalAndPlatform);
    EXPECT_EQ(results[0].details, (std::vector<std::string>{"Automatic backend calibration:", fallback}));
    EXPECT_EQ(results[0].error,
              std::optional<std::string>("Unsupported backend: LLM Q4 Dequant + GEMV uses the Core ML runner on CPU."));
}

TEST(CalibratedRun, SingleBackendWorkloadIsNotCalibrated)
{
    FakeRunners fakes;
    auto results = engineWith(fakes, twoGPUMachine()).runCalibrated(workload(W::metalSustained), AIRunMode::stress, 4);
    EXPECT_EQ(lanes(results), (std::vector<std::pair<B, R>>{{B::gpu, R::universalAndPlatform}}));
    EXPECT_EQ(results[0].details.back(),
              "Automatic calibration skipped because this workload has one available backend: GPU");
    ASSERT_EQ(fakes.calls.size(), 1u);
    EXPECT_DOUBLE_EQ(*fakes.calls[0].duration, 60.0);
    EXPECT_EQ(fakes.calls[0].gpuRegistryID, std::optional<std::uint64_t>(4));
}

TEST(CalibratedRun, BriefRunDurationsFollowTheMode)
{
    AIWorkloadDefinition oneSecond = workload(W::matrixFP32);
    oneSecond.baseDuration = 1.0;
    const std::pair<AIRunMode, double> cases[] = {
        {AIRunMode::extended, 0.45}, {AIRunMode::quick, 0.35}, {AIRunMode::complete, 0.35}, {AIRunMode::stress, 0.35}};
    for (const auto& [mode, brief] : cases) {
        FakeRunners fakes;
        engineWith(fakes, twoGPUMachine()).runCalibrated(oneSecond, mode, 4);
        ASSERT_GE(fakes.calls.size(), 3u);
        EXPECT_DOUBLE_EQ(*fakes.calls[0].duration, brief) << rawValue(mode);
        EXPECT_DOUBLE_EQ(*fakes.calls[1].duration, brief) << rawValue(mode);
        if (mode == AIRunMode::quick) {
            EXPECT_DOUBLE_EQ(*fakes.calls[2].duration, 0.6);
        }
    }
    // Model workloads get the factor itself, with the GPU identifier only on the GPU.
    FakeRunners fakes;
    engineWith(fakes, twoGPUMachine()).runCalibrated(workload(W::imageClassification), AIRunMode::extended, 4);
    EXPECT_DOUBLE_EQ(*fakes.calls[0].duration, 0.45);
    EXPECT_EQ(fakes.calls[0].gpuRegistryID, std::nullopt);
    EXPECT_EQ(fakes.calls[1].gpuRegistryID, std::optional<std::uint64_t>(4));
}

TEST(CalibratedRun, StopYieldsNothingOrTheFinishedResult)
{
    // A stop while the brief runs go on: an empty array, whatever was measured so far.
    for (std::size_t stopAtCall : {0u, 1u}) {
        for (bool runnerThrows : {false, true}) {
            FakeRunners fakes;
            auto engine = engineWith(fakes, twoGPUMachine());
            fakes.respond = [&, stopAtCall, runnerThrows](const RunnerCall&) {
                if (fakes.calls.size() - 1 == stopAtCall) {
                    engine.cancellation->cancel();
                    if (runnerThrows) throw AIBenchmarkError::cancelled();
                }
                return measurementAt(100);
            };
            EXPECT_TRUE(engine.runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4).empty());
            EXPECT_EQ(fakes.calls.size(), stopAtCall + 1);
        }
    }
    // A stop during the first measured run: dropped when that run was cancelled, else kept without notes.
    for (bool runnerThrows : {false, true}) {
        FakeRunners fakes;
        auto engine = engineWith(fakes, twoGPUMachine());
        fakes.respond = [&, runnerThrows](const RunnerCall&) {
            if (fakes.calls.size() == 3) {
                engine.cancellation->cancel();
                if (runnerThrows) throw AIBenchmarkError::cancelled();
            }
            return measurementAt(fakes.calls.size() == 1 ? 200 : 100);
        };
        const auto results = engine.runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4);
        if (runnerThrows) {
            EXPECT_TRUE(results.empty());
        } else {
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(results[0].scoreRole, R::universal);
            EXPECT_TRUE(results[0].details.empty()) << "no calibration notes";
        }
        EXPECT_EQ(fakes.calls.size(), 3u);
    }
    // Already stopped: nothing runs.
    FakeRunners fakes;
    auto engine = engineWith(fakes, twoGPUMachine());
    engine.cancellation->cancel();
    EXPECT_TRUE(engine.runCalibrated(workload(W::matrixFP32), AIRunMode::quick, 4).empty());
    EXPECT_TRUE(engine.runCalibrated(workload(W::mixedSustained), AIRunMode::quick, 4).empty());
    EXPECT_TRUE(fakes.calls.empty());
}

}  // namespace
}  // namespace korvalen
