#pragma once

// Every GPU workload measured on one context: the workloads with runners of their own go to them,
// every other one gets its invocation and the plain execution loop (the pipelined loop for
// gpuCommandThroughput).

#include "Execution/GPU/MetalCommandCompletion.h"
#include "Execution/GPU/MetalDedicatedRunners.h"
#include "Execution/GPU/MetalExecutionLoops.h"
#include "Execution/GPU/MetalInvocation.h"
#include "Execution/GPU/MetalKernelContext.h"
#include "Model/KernelMeasurement.h"

namespace korvalen::MetalBenchmarkRunner {

// True for the workloads measured by a runner of their own rather than through an invocation.
bool hasDedicatedRunner(AIWorkloadID workload);

// Measures the workload on the context for the target duration. Throws AIBenchmarkError (the
// unsupported-backend text for a workload without a GPU path) or what the runner throws.
KernelMeasurement run(const AIWorkloadDefinition& workload, MetalKernelContext& context, double targetDuration,
                      BenchmarkCancellationToken& cancellation);

}  // namespace korvalen::MetalBenchmarkRunner
