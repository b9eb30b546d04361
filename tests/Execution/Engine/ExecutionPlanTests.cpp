#include "Execution/Engine/AIBenchmarkEngine.h"

#include "support/FakeRunners.h"

#include <gtest/gtest.h>

#include <limits>

namespace korvalen {
namespace {

using namespace korvalen::testing;
using B = AIBackend;
using R = AIScoreRole;
using W = AIWorkloadID;

struct ItemView {
    W workload;
    B backend;
    R role;
    std::optional<std::uint64_t> gpu;
    bool operator==(const ItemView&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ItemView& v)
{
    return os << rawValue(v.workload) << "/" << rawValue(v.backend) << "/" << rawValue(v.role) << "/"
              << (v.gpu ? std::to_string(*v.gpu) : "-");
}

std::vector<ItemView> view(const std::vector<AIExecutionItem>& plan)
{
    std::vector<ItemView> out;
    for (const auto& item : plan) out.push_back({item.workload.id, item.backend, item.role, item.gpuRegistryID});
    return out;
}

std::vector<ItemView> itemsOf(const std::vector<AIExecutionItem>& plan, W id)
{
    std::vector<ItemView> out;
    for (const auto& v : view(plan))
        if (v.workload == id) out.push_back(v);
    return out;
}

AIBenchmarkEngine engineFor(AISystemProfile system, std::optional<std::uint64_t> selected = std::nullopt)
{
    return AIBenchmarkEngine{nullptr, std::move(system), selected, AIBenchmarkRunners{}};
}

TEST(ExecutionPlan, AutomaticYieldsOnePlatformItemPerWorkloadWithoutAvailabilityTest)
{
    for (AIRunMode mode : allRunModes) {
        for (const auto& system : {twoGPUMachine(), noGPUMachine()}) {
            const auto engine = engineFor(system, 4);
            const auto plan = engine.executionPlan(mode, B::automatic, false, true);
            ASSERT_EQ(plan.size(), workloadIDs(mode).size());
            for (std::size_t i = 0; i < plan.size(); ++i) {
                EXPECT_EQ(plan[i].workload.id, workloadIDs(mode)[i]);
                EXPECT_EQ(plan[i].backend, B::automatic);
                EXPECT_EQ(plan[i].role, R::platform);
                EXPECT_EQ(plan[i].gpuRegistryID, std::optional<std::uint64_t>(4));
            }
        }
    }
    // A CPU-only workload still gets its automatic item.
    const auto plan = engineFor(noGPUMachine()).executionPlan(AIRunMode::complete, B::automatic, false, false);
    EXPECT_EQ(itemsOf(plan, W::threadScaling),
              (std::vector<ItemView>{{W::threadScaling, B::automatic, R::platform, {}}}));
}

TEST(ExecutionPlan, RequestedBackendKeepsOnlyWorkloadsItCanRun)
{
    // The GPU is unusable when its name says so, even with profiles, and when there are no profiles.
    AISystemProfile namedNone = twoGPUMachine();
    namedNone.gpuName = "No Metal GPU";
    AISystemProfile absentProfiles = twoGPUMachine();
    absentProfiles.gpuProfiles.reset();
    for (const auto& system : {namedNone, absentProfiles, noGPUMachine()}) {
        EXPECT_TRUE(engineFor(system).executionPlan(AIRunMode::extended, B::gpu, false, false).empty());
    }
    EXPECT_TRUE(
        engineFor(twoGPUMachine()).executionPlan(AIRunMode::quick, B::neuralEnginePreferred, false, false).empty());

    const auto gpuPlan = engineFor(twoGPUMachine()).executionPlan(AIRunMode::complete, B::gpu, false, true);
    for (const auto& v : view(gpuPlan)) {
        EXPECT_TRUE(workload(v.workload).supports(B::gpu)) << v;
        EXPECT_EQ(v.role, R::requested);
        EXPECT_EQ(v.gpu, std::optional<std::uint64_t>(9)) << "the first profile when nothing else names a GPU";
    }
    EXPECT_TRUE(itemsOf(gpuPlan, W::melSpectrogram).empty());

    AISystemProfile withSystemGPU = twoGPUMachine();
    withSystemGPU.gpuRegistryID = 4;
    const auto cpuPlan = engineFor(withSystemGPU).executionPlan(AIRunMode::quick, B::cpu, false, false);
    EXPECT_EQ(cpuPlan.size(), 7u);
    for (const auto& v : view(cpuPlan)) EXPECT_EQ(v.gpu, std::nullopt) << v;
    EXPECT_EQ(engineFor(withSystemGPU).executionPlan(AIRunMode::quick, B::gpu, false, false).front().gpuRegistryID,
              std::optional<std::uint64_t>(4));
    EXPECT_EQ(engineFor(withSystemGPU, 77).executionPlan(AIRunMode::quick, B::gpu, false, false).front().gpuRegistryID,
              std::optional<std::uint64_t>(77));

    AISystemProfile withEngine = twoGPUMachine();
    withEngine.neuralEngineAvailable = true;
    const auto nePlan = engineFor(withEngine).executionPlan(AIRunMode::quick, B::neuralEnginePreferred, false, false);
    EXPECT_EQ(view(nePlan),
              (std::vector<ItemView>{{W::imageClassification, B::neuralEnginePreferred, R::requested, {}},
                                     {W::textEmbeddings, B::neuralEnginePreferred, R::requested, {}},
                                     {W::llmTokenGeneration, B::neuralEnginePreferred, R::requested, {}},
                                     {W::audioClassification, B::neuralEnginePreferred, R::requested, {}}}));
}

TEST(ExecutionPlan, CompareAllListsBackendsInOrderWithGPUsAscendingAndOneUniversal)
{
    AISystemProfile system = twoGPUMachine();
    system.neuralEngineAvailable = true;
    const auto plan = engineFor(system).executionPlan(AIRunMode::complete, B::cpu, true, true);

    EXPECT_EQ(itemsOf(plan, W::imageClassification),
              (std::vector<ItemView>{{W::imageClassification, B::cpu, R::comparison, {}},
                                     {W::imageClassification, B::gpu, R::comparison, 4},
                                     {W::imageClassification, B::gpu, R::universal, 9},
                                     {W::imageClassification, B::neuralEnginePreferred, R::comparison, {}}}));
    EXPECT_EQ(itemsOf(plan, W::melSpectrogram), (std::vector<ItemView>{{W::melSpectrogram, B::cpu, R::universal, {}}}));
    EXPECT_EQ(itemsOf(plan, W::llmQ4),
              (std::vector<ItemView>{{W::llmQ4, B::gpu, R::comparison, 4}, {W::llmQ4, B::gpu, R::universal, 9}}));

    // The selected GPU decides which GPU item is universal; one listed twice appears once.
    system.gpuProfiles->push_back({.name = "GPU Four again", .registryID = 4});
    const auto selected = engineFor(system, 4).executionPlan(AIRunMode::complete, B::automatic, true, true);
    EXPECT_EQ(itemsOf(selected, W::llmQ4),
              (std::vector<ItemView>{{W::llmQ4, B::gpu, R::universal, 4}, {W::llmQ4, B::gpu, R::comparison, 9}}));

    // Without compareAllGPUs only the resolved GPU is compared.
    const auto single = engineFor(system, 4).executionPlan(AIRunMode::complete, B::automatic, true, false);
    EXPECT_EQ(itemsOf(single, W::matrixFP32), (std::vector<ItemView>{{W::matrixFP32, B::cpu, R::comparison, {}},
                                                                     {W::matrixFP32, B::gpu, R::universal, 4}}));

    for (W id : workloadIDs(AIRunMode::complete)) {
        int universals = 0;
        for (const auto& v : itemsOf(plan, id)) universals += v.role == R::universal;
        EXPECT_EQ(universals, 1) << rawValue(id);
    }
}

TEST(ExecutionPlan, CompareAllWithoutGPUOrNeuralEngineFallsBackToCPU)
{
    const auto plan = engineFor(noGPUMachine()).executionPlan(AIRunMode::extended, B::automatic, true, true);
    // Canonical GPU workloads are universal on the CPU; GPU-only ones vanish; no Neural Engine items.
    EXPECT_EQ(itemsOf(plan, W::imageClassification),
              (std::vector<ItemView>{{W::imageClassification, B::cpu, R::universal, {}}}));
    EXPECT_TRUE(itemsOf(plan, W::metalSustained).empty());
    for (const auto& v : view(plan)) EXPECT_EQ(v.backend, B::cpu) << v;

    // Without profiles the GPU is unusable whatever its name.
    const auto stress = engineFor(comparableSystem()).executionPlan(AIRunMode::stress, B::gpu, true, false);
    EXPECT_EQ(view(stress), (std::vector<ItemView>{{W::mixedSustained, B::cpu, R::universal, {}}}));
}

TEST(BackendChoice, CanonicalBackendFallsBackWhenTheDeclaredOneIsUnusable)
{
    AIWorkloadDefinition def = workload(W::imageClassification);  // declared gpu, all three supported
    AISystemProfile withEngine = noGPUMachine();
    withEngine.neuralEngineAvailable = true;
    EXPECT_EQ(engineFor(twoGPUMachine()).canonicalBackend(def), B::gpu);
    EXPECT_EQ(engineFor(noGPUMachine()).canonicalBackend(def), B::cpu);

    def.canonicalBackend = B::neuralEnginePreferred;
    EXPECT_EQ(engineFor(withEngine).canonicalBackend(def), B::neuralEnginePreferred);
    EXPECT_EQ(engineFor(twoGPUMachine()).canonicalBackend(def), B::cpu);

    // Without CPU support the first available backend; with nothing available, the CPU anyway.
    def.supportedBackends = {B::gpu, B::neuralEnginePreferred};
    def.canonicalBackend = B::cpu;
    EXPECT_EQ(engineFor(withEngine).canonicalBackend(def), B::neuralEnginePreferred);
    EXPECT_EQ(engineFor(noGPUMachine()).canonicalBackend(def), B::cpu);
    EXPECT_EQ(engineFor(withEngine).availableBackends(def), (std::vector<B>{B::neuralEnginePreferred}));
    EXPECT_EQ(engineFor(twoGPUMachine()).availableBackends(workload(W::imageClassification)),
              (std::vector<B>{B::cpu, B::gpu}));
}

TEST(BackendChoice, GPUProfileLookUp)
{
    const auto engine = engineFor(twoGPUMachine());
    EXPECT_EQ(engine.gpuProfile(std::nullopt)->registryID, 9u);
    EXPECT_EQ(engine.gpuProfile(4)->name, "GPU Four");
    EXPECT_FALSE(engine.gpuProfile(5).has_value());
    EXPECT_FALSE(engineFor(noGPUMachine()).gpuProfile(std::nullopt).has_value());
}

TEST(BackendChoice, DurationScalesAndTargets)
{
    const auto& sustained = workload(W::mixedSustained);
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::durationScale(AIRunMode::quick, sustained), 1.0);
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::durationScale(AIRunMode::complete, sustained), 1.0);
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::durationScale(AIRunMode::extended, workload(W::metalSustained)), 2.0);
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::durationScale(AIRunMode::stress, sustained), 4.0);
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::durationScale(AIRunMode::quick, workload(W::matrixFP32)), 0.6);
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::durationScale(AIRunMode::extended, workload(W::matrixFP32)), 2.2);

    AIWorkloadDefinition half = workload(W::matrixFP32);
    half.baseDuration = 0.5;
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::targetDuration(0.6, half), 0.35);
    // A scale that is not a number gets the floor, not a target no loop ever reaches.
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::targetDuration(std::numeric_limits<double>::quiet_NaN(), half), 0.35);
    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::targetDuration(0.6, workload(W::matrixFP32)), 0.6 * 1.4);

    EXPECT_DOUBLE_EQ(AIBenchmarkEngine::calibrationDurationFactor(AIRunMode::extended), 0.45);
    for (AIRunMode m : {AIRunMode::quick, AIRunMode::complete, AIRunMode::stress})
        EXPECT_DOUBLE_EQ(AIBenchmarkEngine::calibrationDurationFactor(m), 0.3);
}

}  // namespace
}  // namespace korvalen
