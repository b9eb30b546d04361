#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Model/AIBenchmarkError.h"
#include "Platform/Foundation/NumberFormat.h"

#include "support/FakeRunners.h"

#include <gtest/gtest.h>

#include <map>

namespace korvalen {
namespace {

using namespace korvalen::testing;
using B = AIBackend;
using R = AIScoreRole;
using W = AIWorkloadID;

// Parts whose scores are given per round: part i of round r scores roundScores[r] (or the last entry).
void scoreByRound(FakeRunners& fakes, std::vector<double> roundScores)
{
    fakes.respond = [&fakes, roundScores](const RunnerCall& call) {
        const std::size_t round = (fakes.calls.size() - 1) / 6;
        const double score = roundScores[std::min(round, roundScores.size() - 1)];
        return measurementAt(score * workload(call.workload).baselineThroughput / 1000);
    };
}

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const AIBenchmarkError& e) {
        return e.errorDescription();
    }
    return "";
}

TEST(SustainedRun, RunsWholeRoundsUntilTheTotalHasPassed)
{
    // Parts take 1 s on the fake clock: a 15 s total ends after 18 parts (three rounds), not 15.
    const std::pair<double, int> cases[] = {{1.0, 18}, {0.5, 18}, {2.0, 30}, {4.0, 60}};
    for (const auto& [scale, parts] : cases) {
        FakeRunners fakes;
        fakes.secondsPerRun = 1;
        const auto m = engineWith(fakes, twoGPUMachine()).runSustained(B::cpu, scale, std::nullopt);
        EXPECT_EQ(m.iterations, parts) << scale;
        EXPECT_EQ(fakes.calls.size(), static_cast<std::size_t>(parts));
        EXPECT_DOUBLE_EQ(m.wallSeconds, parts);
        EXPECT_EQ(m.latencySamplesMS, std::vector<double>(parts, 1000.0));
        EXPECT_EQ(m.details[1], "Complete sustained rounds: " + std::to_string(parts / 6));
    }
    // Slow parts still complete one round.
    FakeRunners slow;
    slow.secondsPerRun = 20;
    EXPECT_EQ(engineWith(slow, twoGPUMachine()).runSustained(B::cpu, 1.0, std::nullopt).iterations, 6);
}

TEST(SustainedRun, RetentionComparesThirdsOfTheRoundSeries)
{
    struct Case {
        double secondsPerRun;
        std::vector<double> rounds;
        double retention;
    };
    const Case cases[] = {
        {20, {800}, 100},                                             // one round against itself
        {2, {1000, 900}, 90},                                         // 12 parts of 2 s: two rounds
        {0.3, {1000, 1000, 1000, 900, 900, 900, 600, 700, 800}, 70},  // nine rounds: 1-3 against 7-9
    };
    for (const auto& c : cases) {
        FakeRunners fakes;
        fakes.secondsPerRun = c.secondsPerRun;
        scoreByRound(fakes, c.rounds);
        const auto m = engineWith(fakes, twoGPUMachine()).runSustained(B::gpu, 1.0, 4);
        ASSERT_EQ(m.iterations, static_cast<int>(6 * c.rounds.size()));
        ASSERT_TRUE(m.retention.has_value());
        EXPECT_NEAR(*m.retention, c.retention, 1e-9);
        EXPECT_EQ(m.details[8], "Performance retention: " + formatFixed(c.retention, 2) + "%");
    }
}

TEST(SustainedRun, SummaryAndDetailLines)
{
    FakeRunners fakes;
    fakes.secondsPerRun = 2.5;  // one round
    fakes.thermalTexts = {"Nominal", "Fair"};
    int part = 0;
    fakes.respond = [&part](const RunnerCall& call) {
        KernelMeasurement m = measurementAt((500 + 100 * part) * workload(call.workload).baselineThroughput / 1000);
        m.accuracy = part == 3 ? 0.99 : 1.0;
        m.checksum = part;
        ++part;
        return m;
    };
    const auto m = engineWith(fakes, twoGPUMachine()).runSustained(B::gpu, 1.0, 4);
    EXPECT_EQ(m.details,
              (std::vector<std::string>{
                  "Mixed workload cycles: Audio Classification: 1, Image Classification: 1, LLM Token "
                  "Generation: 1, Matrix Multiplication FP32: 1, Tensor Allocation: 1, Transformer Attention: 1",
                  "Complete sustained rounds: 1", "Backend cycles: GPU: 6", "Selected Metal GPU: GPU Four",
                  "Sustained mode used the requested backend with CPU fallback only when required",
                  "Peak cycle score: 1000", "Average cycle score: 750", "Minimum cycle score: 500",
                  "Performance retention: 100.00%", "Thermal states: Fair: 3, Nominal: 3"}));
    EXPECT_DOUBLE_EQ(m.throughput, 750);
    EXPECT_DOUBLE_EQ(m.workUnits, 750 * 15);
    EXPECT_DOUBLE_EQ(m.accuracy, 0.99);
    EXPECT_DOUBLE_EQ(m.checksum, 0 + 1 + 2 + 3 + 4 + 5);
    EXPECT_EQ(m.throughputUnit, "score/s");
    EXPECT_EQ(m.thermalStateSamples,
              (std::vector<std::string>{"Nominal", "Fair", "Nominal", "Fair", "Nominal", "Fair"}));
    EXPECT_EQ(m.memory, (AIMemoryStats{100, 100, 100}));
    EXPECT_TRUE(AIBenchmarkEngine::calibrationMeasurementIsValid(m));
}

TEST(SustainedRun, FixedBackendsFallBackToTheCPU)
{
    // No usable GPU: every part on the CPU, models through Core ML on the CPU, kernels for 0.35 s at least.
    FakeRunners fakes;
    fakes.secondsPerRun = 3;
    auto m = engineWith(fakes, noGPUMachine()).runSustained(B::gpu, 1.0, 4);
    EXPECT_EQ(m.details[2], "Backend cycles: CPU: 6");
    EXPECT_EQ(m.details[3], "Selected Metal GPU: No selected Metal GPU");
    std::map<W, std::string> runners;
    for (const auto& call : fakes.calls) {
        EXPECT_EQ(call.backend, B::cpu);
        EXPECT_EQ(call.gpuRegistryID, std::nullopt);
        runners[call.workload] = call.runner;
        const double expected =
            call.runner == "coreML" ? 0.08 : std::max(0.08 * workload(call.workload).baseDuration, 0.35);
        EXPECT_DOUBLE_EQ(*call.duration, expected) << rawValue(call.workload);
    }
    EXPECT_EQ(runners.at(W::matrixFP32), "cpuTimed");
    EXPECT_EQ(runners.at(W::imageClassification), "coreML");

    // Neural Engine unavailable: its own cycle, on the CPU.
    FakeRunners ne;
    ne.secondsPerRun = 3;
    m = engineWith(ne, twoGPUMachine()).runSustained(B::neuralEnginePreferred, 1.0, std::nullopt);
    EXPECT_EQ(m.details[0],
              "Mixed workload cycles: Audio Classification: 1, Image Classification: 1, LLM Prompt "
              "Processing: 1, LLM Token Generation: 1, Speech Recognition: 1, Text Embeddings: 1");
    EXPECT_EQ(m.details[2], "Backend cycles: CPU: 6");

    // A usable GPU: parts get the identifier and the Metal floor.
    FakeRunners gpu;
    gpu.secondsPerRun = 3;
    engineWith(gpu, twoGPUMachine()).runSustained(B::gpu, 1.0, 4);
    for (const auto& call : gpu.calls) {
        EXPECT_EQ(call.backend, B::gpu);
        EXPECT_EQ(call.gpuRegistryID, std::optional<std::uint64_t>(4));
    }
}

TEST(SustainedRun, AutomaticCalibratesEveryMemberWithTheGuardBand)
{
    FakeRunners fakes;
    fakes.secondsPerRun = 3;
    bool measuring = false;
    fakes.respond = [&](const RunnerCall& call) {
        const double baseline = workload(call.workload).baselineThroughput;
        double factor = 1.0;
        if (!measuring) {
            // Brief runs: matrix wins on the CPU at exactly 1.03, attention stays on the GPU at 1.029,
            // image classification's canonical GPU run is unstable.
            if (call.workload == W::matrixFP32 && call.backend == B::cpu) factor = 1.03;
            if (call.workload == W::transformerAttention && call.backend == B::cpu) factor = 1.029;
            if (call.workload == W::imageClassification && call.backend == B::gpu) {
                KernelMeasurement m = measurementAt(baseline);
                m.latencySamplesMS.push_back(0);
                return m;
            }
            if (call.workload == W::imageClassification && call.backend == B::cpu) factor = 0.5;
        }
        return measurementAt(baseline * factor);
    };
    auto engine = engineWith(fakes, twoGPUMachine());
    std::size_t calibrationCalls = 0;
    engine.runners.uptimeSeconds = [&] {
        if (!measuring) {
            measuring = true;  // the first clock reading starts the measured phase
            calibrationCalls = fakes.calls.size();
        }
        return fakes.clock.now();
    };
    const auto m = engine.runSustained(B::automatic, 1.0, 9);
    EXPECT_EQ(calibrationCalls, 12u) << "six members on two backends";
    std::map<W, B> measuredOn;
    for (std::size_t i = calibrationCalls; i < fakes.calls.size(); ++i)
        measuredOn[fakes.calls[i].workload] = fakes.calls[i].backend;
    EXPECT_EQ(measuredOn.at(W::matrixFP32), B::cpu);
    EXPECT_EQ(measuredOn.at(W::transformerAttention), B::gpu);
    EXPECT_EQ(measuredOn.at(W::imageClassification), B::cpu);
    EXPECT_EQ(measuredOn.at(W::tensorAllocation), B::gpu);
    EXPECT_EQ(m.details[2], "Backend cycles: CPU: 2, GPU: 4");
    EXPECT_EQ(m.details[4],
              "Automatic sustained mode calibrated every participating AI workload before the measured loop");
}

TEST(SustainedRun, FailuresEndTheRunWithTheirTexts)
{
    {
        // A member without any valid brief run fails the run before any measured part.
        FakeRunners fakes;
        fakes.respond = [](const RunnerCall& call) -> KernelMeasurement {
            if (call.workload == W::tensorAllocation) throw AIBenchmarkError::allocationFailed("no room");
            return measurementAt(100);
        };
        const auto engine = engineWith(fakes, twoGPUMachine());
        EXPECT_EQ(errorOf([&] { engine.runSustained(B::automatic, 1.0, 9); }),
                  "Accuracy validation failed: Automatic sustained calibration produced no stable valid backend for "
                  "Tensor Allocation");
        EXPECT_EQ(fakes.calls.size(), 12u);
    }
    {
        FakeRunners fakes;
        fakes.respond = [&fakes](const RunnerCall& call) {
            KernelMeasurement m = measurementAt(workload(call.workload).baselineThroughput);
            if (fakes.calls.size() == 9) m.accuracy = 0.5;
            return m;
        };
        const auto engine = engineWith(fakes, twoGPUMachine());
        EXPECT_EQ(errorOf([&] { engine.runSustained(B::gpu, 1.0, 9); }),
                  "Accuracy validation failed: Sustained submeasurement failed integrity validation for Matrix "
                  "Multiplication FP32 on GPU");
    }
    {
        FakeRunners fakes;
        fakes.respond = [](const RunnerCall&) -> KernelMeasurement { throw AIBenchmarkError::commandFailure("x"); };
        const auto engine = engineWith(fakes, twoGPUMachine());
        EXPECT_EQ(errorOf([&] { engine.runSustained(B::gpu, 1.0, 9); }), "Compute command failed: x");
        EXPECT_EQ(fakes.calls.size(), 1u);
    }
}

TEST(SustainedRun, StopsBetweenPartsAndDuringCalibration)
{
    for (B backend : {B::gpu, B::automatic}) {
        FakeRunners fakes;
        auto engine = engineWith(fakes, twoGPUMachine());
        fakes.respond = [&](const RunnerCall& call) -> KernelMeasurement {
            if (fakes.calls.size() == 4) {
                engine.cancellation->cancel();
                if (backend == B::automatic) throw AIBenchmarkError::commandFailure("stopped");
            }
            return measurementAt(workload(call.workload).baselineThroughput);
        };
        EXPECT_EQ(errorOf([&] { engine.runSustained(backend, 1.0, 9); }), "Benchmark cancelled.");
        EXPECT_EQ(fakes.calls.size(), 4u);
    }
}

TEST(SustainedRun, ExplicitAndCalibratedRunsScoreIt)
{
    FakeRunners fakes;
    fakes.secondsPerRun = 3;
    const auto engine = engineWith(fakes, twoGPUMachine());
    const auto r = engine.runExplicit(workload(W::mixedSustained), B::automatic, AIRunMode::quick, R::platform, 4);
    EXPECT_TRUE(r.valid) << r.error.value_or("");
    EXPECT_DOUBLE_EQ(r.score, 1000);
    EXPECT_EQ(r.performanceRetention, std::optional<double>(100));

    fakes.calls.clear();
    const auto lanes = engine.runCalibrated(workload(W::mixedSustained), AIRunMode::quick, 4);
    ASSERT_EQ(lanes.size(), 2u);
    EXPECT_EQ(lanes[0].backend, B::gpu);
    EXPECT_EQ(lanes[0].scoreRole, R::universal);
    EXPECT_EQ(lanes[0].details.back(), "Universal sustained path: fixed GPU backend");
    EXPECT_EQ(lanes[1].backend, B::automatic);
    EXPECT_EQ(lanes[1].scoreRole, R::platform);
    EXPECT_EQ(lanes[1].details.back(), "Platform sustained path: calibrated backend per AI workload");
    EXPECT_EQ(fakes.calls.front().gpuRegistryID, std::optional<std::uint64_t>(4));
}

}  // namespace
}  // namespace korvalen
