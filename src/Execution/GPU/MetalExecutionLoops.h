#pragma once

// The timed loops that turn one prepared invocation into one measurement: three unscored warm-ups,
// a timed loop of at least five samples that runs for the target duration, then synchronisation of
// the outputs for the CPU, validation and checksum outside the timed interval.

#include "Execution/GPU/MetalInvocation.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/KernelMeasurement.h"

namespace korvalen::MetalBenchmarkRunner {

// One command buffer at a time, each waited for before the next; a sample per command buffer,
// from the GPU's timestamps when the driver reports them, else from the wall clock.
KernelMeasurement execute(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                          const Invocation& invocation, double targetDuration,
                          BenchmarkCancellationToken& cancellation);

// Command buffers committed in batches of four before waiting; a sample is a quarter of a batch's
// wall time. Measures queued dispatch throughput (gpuCommandThroughput).
KernelMeasurement executePipelined(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                   const Invocation& invocation, double targetDuration,
                                   BenchmarkCancellationToken& cancellation);

inline constexpr int pipelineBatchSize = 4;

}  // namespace korvalen::MetalBenchmarkRunner
