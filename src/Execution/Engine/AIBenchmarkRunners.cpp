#include "Execution/Engine/AIBenchmarkRunners.h"

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/GPU/MetalDedicatedRunners.h"
#include "Execution/GPU/MetalExecutionLoops.h"
#include "Execution/GPU/MetalInvocation.h"
#include "Execution/GPU/MetalKernelContextCache.h"
#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"
#include "Model/AIBenchmarkError.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/System/ResidentMemory.h"
#include "Platform/System/ThermalMonitor.h"

namespace korvalen {

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

namespace {

KernelMeasurement runOnGPU(const AIWorkloadDefinition& workload, std::optional<std::uint64_t> gpuRegistryID,
                           double target, BenchmarkCancellationToken& token)
{
    namespace Metal = MetalBenchmarkRunner;
    // The context comes first: a GPU that cannot be had fails before any workload is built.
    const std::shared_ptr<MetalKernelContext> context = MetalKernelContextCache::shared().context(gpuRegistryID);
    if (!context) throw AIBenchmarkError::metalUnavailable();
    switch (metalRoute(workload.id)) {
    case MetalRoute::memoryBandwidth: return Metal::runMetalMemoryBandwidth(workload, *context, target, token);
    case MetalRoute::cacheLadder: return Metal::runMetalCacheLadder(workload, *context, target, token);
    case MetalRoute::kvCacheReadWrite: return Metal::runKVCacheReadWrite(workload, *context, target, token);
    case MetalRoute::sustained: return Metal::runMetalSustained(workload, *context, target, token);
    case MetalRoute::transfer: return Metal::runGPUTransfer(workload, *context, target, token);
    case MetalRoute::pipelinedLoop: {
        const Metal::Invocation invocation = Metal::makeInvocation(workload, *context);
        return Metal::executePipelined(workload, *context, invocation, target, token);
    }
    case MetalRoute::plainLoop: {
        const Metal::Invocation invocation = Metal::makeInvocation(workload, *context);
        return Metal::execute(workload, *context, invocation, target, token);
    }
    }
    throw AIBenchmarkError::unsupportedBackend(workload.title + " has no GPU runner");
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
    r.metal = runOnGPU;
    r.thermalState = [] { return std::string(sys::ThermalMonitor::currentStateText()); };
    r.residentMB = [] { return sys::residentMB(); };
    return r;
}

}  // namespace korvalen
