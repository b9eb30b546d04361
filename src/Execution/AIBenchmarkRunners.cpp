#include "Execution/AIBenchmarkRunners.h"

#include "Execution/CPUBenchmarkRunner.h"
#include "Execution/CPUKernels.h"
#include "Execution/CoreMLBenchmarkRunner.h"
#include "Model/AIBenchmarkError.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/System/ResidentMemory.h"
#include "Platform/System/ThermalMonitor.h"

#include <chrono>

namespace korvalen {

CoreMLRoute coreMLRoute(AIWorkloadID workload)
{
    switch (workload) {
    case AIWorkloadID::multimodalSimilarity: return CoreMLRoute::multimodalSimilarity;
    case AIWorkloadID::modelLoading: return CoreMLRoute::modelLoading;
    case AIWorkloadID::batchScaling: return CoreMLRoute::batchScaling;
    default: return CoreMLRoute::standardInference;
    }
}

MetalRoute metalRoute(AIWorkloadID workload)
{
    switch (workload) {
    case AIWorkloadID::metalMemoryBandwidth: return MetalRoute::memoryBandwidth;
    case AIWorkloadID::metalCacheLadder: return MetalRoute::cacheLadder;
    case AIWorkloadID::kvCacheReadWrite: return MetalRoute::kvCacheReadWrite;
    case AIWorkloadID::metalSustained: return MetalRoute::sustained;
    case AIWorkloadID::gpuTransfer: return MetalRoute::transfer;
    case AIWorkloadID::gpuCommandThroughput: return MetalRoute::pipelinedLoop;
    default: return MetalRoute::plainLoop;
    }
}

bool hasCPUTimedKernel(AIWorkloadID workload)
{
    return cpuKernelIteration(workload) != nullptr;
}

double monotonicUptimeSeconds()
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
    return static_cast<double>(ns) / 1e9;
}

namespace {

[[noreturn]] void missingRunner(const char* what)
{
    throw AIBenchmarkError::unsupportedBackend(std::string(what) + " is not available in this build");
}

}  // namespace

AIBenchmarkRunners defaultRunners()
{
    AIBenchmarkRunners r;
    r.coreML = [](const AIWorkloadDefinition& workload, AIBackend backend, std::optional<std::uint64_t> gpuRegistryID,
                  double scale, BenchmarkCancellationToken& token) {
        return CoreMLBenchmarkRunner::measure(workload, backend, gpuRegistryID, scale, token);
    };
    r.cpuTimed = [](const AIWorkloadDefinition& workload, double target, BenchmarkCancellationToken& token) {
        return CPUBenchmarkRunner::runTimed(workload, target, token);
    };
    r.cpuThreadScaling = [](const AIWorkloadDefinition& workload, double scale, BenchmarkCancellationToken& token) {
        return CPUBenchmarkRunner::runThreadScaling(workload, scale, token);
    };
    r.cpuMemoryPressure = [](const AIWorkloadDefinition& workload, BenchmarkCancellationToken& token) {
        return CPUBenchmarkRunner::runMemoryPressure(workload, token);
    };
    r.metal = [](const AIWorkloadDefinition&, std::optional<std::uint64_t>, double,
                 BenchmarkCancellationToken&) -> KernelMeasurement { missingRunner("The Metal runner"); };
    r.thermalState = [] { return std::string(sys::ThermalMonitor::currentStateText()); };
    r.uptimeSeconds = monotonicUptimeSeconds;
    r.residentMB = [] { return sys::residentMB(); };
    return r;
}

}  // namespace korvalen
