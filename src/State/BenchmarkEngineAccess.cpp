#include "State/BenchmarkEngineAccess.h"

namespace korvalen {

BenchmarkEngineAccess BenchmarkEngineAccess::standard()
{
    // The engine's plan and run operations join here:
    //   executionPlan: engine.executionPlan(mode, requestedBackend, compareAllBackends, compareAllGPUs)
    //   runItem: item.backend == AIBackend::automatic
    //              ? engine.runCalibrated(item.workload, mode, item.gpuRegistryID)
    //              : {engine.runExplicit(item.workload, item.backend, mode, item.role, item.gpuRegistryID)}
    return {};
}

}  // namespace korvalen
