#include "State/BenchmarkEngineAccess.h"

namespace korvalen {

BenchmarkEngineAccess BenchmarkEngineAccess::standard()
{
    BenchmarkEngineAccess access;
    access.executionPlan = [](const AIBenchmarkEngine& engine, AIRunMode mode, AIBackend requestedBackend,
                              bool compareAllBackends, bool compareAllGPUs) {
        return engine.executionPlan(mode, requestedBackend, compareAllBackends, compareAllGPUs);
    };
    // An automatic item calibrates first and may give a Universal and a Platform result; a fixed
    // backend gives exactly one.
    access.runItem = [](const AIBenchmarkEngine& engine, const AIExecutionItem& item,
                        AIRunMode mode) -> std::vector<AIBenchmarkResult> {
        if (item.backend == AIBackend::automatic) return engine.runCalibrated(item.workload, mode, item.gpuRegistryID);
        return {engine.runExplicit(item.workload, item.backend, mode, item.role, item.gpuRegistryID)};
    };
    return access;
}

}  // namespace korvalen
