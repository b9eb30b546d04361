#include "Execution/GPU/MetalBenchmarkRunner.h"

namespace korvalen::MetalBenchmarkRunner {

bool hasDedicatedRunner(AIWorkloadID workload)
{
    switch (workload) {
    case AIWorkloadID::metalMemoryBandwidth:
    case AIWorkloadID::metalCacheLadder:
    case AIWorkloadID::kvCacheReadWrite:
    case AIWorkloadID::metalSustained:
    case AIWorkloadID::gpuTransfer: return true;
    default: return false;
    }
}

KernelMeasurement run(const AIWorkloadDefinition& workload, MetalKernelContext& context, double targetDuration,
                      BenchmarkCancellationToken& cancellation)
{
    switch (workload.id) {
    case AIWorkloadID::metalMemoryBandwidth:
        return runMetalMemoryBandwidth(workload, context, targetDuration, cancellation);
    case AIWorkloadID::metalCacheLadder: return runMetalCacheLadder(workload, context, targetDuration, cancellation);
    case AIWorkloadID::kvCacheReadWrite: return runKVCacheReadWrite(workload, context, targetDuration, cancellation);
    case AIWorkloadID::metalSustained: return runMetalSustained(workload, context, targetDuration, cancellation);
    case AIWorkloadID::gpuTransfer: return runGPUTransfer(workload, context, targetDuration, cancellation);
    default: break;
    }
    const Invocation invocation = makeInvocation(workload, context);
    if (workload.id == AIWorkloadID::gpuCommandThroughput)
        return executePipelined(workload, context, invocation, targetDuration, cancellation);
    return execute(workload, context, invocation, targetDuration, cancellation);
}

}  // namespace korvalen::MetalBenchmarkRunner
