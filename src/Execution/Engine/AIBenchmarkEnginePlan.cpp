#include "Execution/Engine/AIBenchmarkEngine.h"

#include "Execution/Shared/TimedLoop.h"
#include "Model/AIWorkloadCatalog.h"

#include <algorithm>

namespace korvalen {
namespace {

constexpr AIBackend backendOrder[] = {AIBackend::cpu, AIBackend::gpu, AIBackend::neuralEnginePreferred};

const std::vector<AIGPUProfile>& profilesOf(const AISystemProfile& system)
{
    static const std::vector<AIGPUProfile> none;
    return system.gpuProfiles ? *system.gpuProfiles : none;
}

bool isSustainedWorkload(AIWorkloadID id)
{
    return id == AIWorkloadID::metalSustained || id == AIWorkloadID::mixedSustained;
}

}  // namespace

bool AIBenchmarkEngine::gpuUsable() const
{
    return !profilesOf(system).empty() && system.gpuName != "No Metal GPU";
}

bool AIBenchmarkEngine::neuralEngineUsable() const
{
    return system.neuralEngineAvailable;
}

std::optional<std::uint64_t> AIBenchmarkEngine::resolvedGPURegistryID() const
{
    if (selectedGPURegistryID) return selectedGPURegistryID;
    if (system.gpuRegistryID) return system.gpuRegistryID;
    const auto& profiles = profilesOf(system);
    if (!profiles.empty()) return profiles.front().registryID;
    return std::nullopt;
}

std::vector<AIBackend> AIBenchmarkEngine::availableBackends(const AIWorkloadDefinition& workload) const
{
    std::vector<AIBackend> available;
    for (AIBackend b : backendOrder) {
        if (!workload.supports(b)) continue;
        if (b == AIBackend::gpu && !gpuUsable()) continue;
        if (b == AIBackend::neuralEnginePreferred && !neuralEngineUsable()) continue;
        available.push_back(b);
    }
    return available;
}

AIBackend AIBenchmarkEngine::canonicalBackend(const AIWorkloadDefinition& workload) const
{
    const AIBackend declared = workload.canonicalBackend;
    if (workload.supports(declared)) {
        switch (declared) {
        case AIBackend::automatic:
        case AIBackend::cpu: return declared;
        case AIBackend::gpu:
            if (gpuUsable()) return declared;
            break;
        case AIBackend::neuralEnginePreferred:
            if (neuralEngineUsable()) return declared;
            break;
        }
    }
    if (workload.supports(AIBackend::cpu)) return AIBackend::cpu;
    const auto available = availableBackends(workload);
    return available.empty() ? AIBackend::cpu : available.front();
}

std::optional<AIGPUProfile> AIBenchmarkEngine::gpuProfile(std::optional<std::uint64_t> registryID) const
{
    const auto& profiles = profilesOf(system);
    if (!registryID) {
        if (profiles.empty()) return std::nullopt;
        return profiles.front();
    }
    for (const AIGPUProfile& p : profiles) {
        if (p.registryID == *registryID) return p;
    }
    return std::nullopt;
}

double AIBenchmarkEngine::durationScale(AIRunMode mode, const AIWorkloadDefinition& workload)
{
    if (isSustainedWorkload(workload.id)) {
        // Sustained workloads run for a fixed wall time, whatever their base duration.
        const double seconds = mode == AIRunMode::stress ? 60 : mode == AIRunMode::extended ? 30 : 15;
        return seconds / std::max(workload.baseDuration, 1e-6);
    }
    switch (mode) {
    case AIRunMode::quick: return 0.6;
    case AIRunMode::complete: return 1.0;
    case AIRunMode::extended: return 2.2;
    case AIRunMode::stress: return 1.0;
    }
    return 1.0;
}

double AIBenchmarkEngine::targetDuration(double durationScale, const AIWorkloadDefinition& workload)
{
    return safeTargetSeconds(durationScale, workload.baseDuration);
}

double AIBenchmarkEngine::calibrationDurationFactor(AIRunMode mode)
{
    return std::min(mode == AIRunMode::extended ? 0.66 : 0.3, 0.45);
}

std::vector<AIExecutionItem> AIBenchmarkEngine::executionPlan(AIRunMode mode, AIBackend requestedBackend,
                                                              bool compareAllBackends, bool compareAllGPUs) const
{
    const auto& catalog = AIWorkloadCatalog::definitions();
    const auto resolvedGPU = resolvedGPURegistryID();
    std::vector<AIExecutionItem> plan;

    for (AIWorkloadID id : workloadIDs(mode)) {
        const auto found = catalog.find(id);
        if (found == catalog.end()) continue;
        const AIWorkloadDefinition& workload = found->second;

        if (!compareAllBackends) {
            if (requestedBackend == AIBackend::automatic) {
                // The calibrated run decides later what the machine can do.
                plan.push_back({workload, AIBackend::automatic, AIScoreRole::platform, resolvedGPU});
                continue;
            }
            if (!workload.supports(requestedBackend)) continue;
            if (requestedBackend == AIBackend::gpu && !gpuUsable()) continue;
            if (requestedBackend == AIBackend::neuralEnginePreferred && !neuralEngineUsable()) continue;
            plan.push_back({workload, requestedBackend, AIScoreRole::requested,
                            requestedBackend == AIBackend::gpu ? resolvedGPU : std::nullopt});
            continue;
        }

        const AIBackend canonical = canonicalBackend(workload);
        auto roleFor = [&](AIBackend b) { return b == canonical ? AIScoreRole::universal : AIScoreRole::comparison; };
        for (AIBackend b : backendOrder) {
            if (!workload.supports(b)) continue;
            if (b == AIBackend::cpu) {
                plan.push_back({workload, b, roleFor(b), std::nullopt});
            } else if (b == AIBackend::neuralEnginePreferred) {
                if (neuralEngineUsable()) plan.push_back({workload, b, roleFor(b), std::nullopt});
            } else if (gpuUsable()) {
                std::vector<std::uint64_t> gpus;
                if (compareAllGPUs) {
                    for (const AIGPUProfile& p : profilesOf(system)) gpus.push_back(p.registryID);
                    std::sort(gpus.begin(), gpus.end());
                    gpus.erase(std::unique(gpus.begin(), gpus.end()), gpus.end());
                } else if (resolvedGPU) {
                    gpus.push_back(*resolvedGPU);
                }
                for (std::uint64_t gpuID : gpus) {
                    const bool universal = canonical == AIBackend::gpu && resolvedGPU == gpuID;
                    plan.push_back({workload, b, universal ? AIScoreRole::universal : AIScoreRole::comparison, gpuID});
                }
            }
        }
    }
    return plan;
}

}  // namespace korvalen
