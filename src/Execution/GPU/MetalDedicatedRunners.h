#pragma once

// The GPU workloads that own their buffers and kernels instead of going through an invocation and
// the execution loops: tensor transfer, device-memory bandwidth, the cache ladder, the KV-cache
// read/write and the sustained all-GPU cycle. Each initialises its data on the GPU, times only
// the measured commands and validates after timing.

#include "Model/AIRecords.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/KernelMeasurement.h"

#include <functional>
#include <span>
#include <string>

namespace korvalen {

class MetalKernelContext;

namespace MetalBenchmarkRunner {

// A 64 MiB tensor moved host staging -> private GPU memory -> host staging by blit, in GB/s.
KernelMeasurement runGPUTransfer(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                 double targetDuration, BenchmarkCancellationToken& cancellation);

// A 64 MiB private-to-private copy kernel, counting one read and one write per byte, in GB/s.
KernelMeasurement runMetalMemoryBandwidth(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                          double targetDuration, BenchmarkCancellationToken& cancellation);

// One cache-probe kernel over working sets of 1, 4, 16, 64 and 128 MiB, in GB/s.
KernelMeasurement runMetalCacheLadder(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                      double targetDuration, BenchmarkCancellationToken& cancellation);

// A 16 MiB FP16 KV cache read and rewritten in private GPU memory, in GB/s.
KernelMeasurement runKVCacheReadWrite(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                      double targetDuration, BenchmarkCancellationToken& cancellation);

// The process's thermal state as the texts results record ("Nominal", "Fair", ...).
using ThermalStateReader = std::function<std::string()>;
// The live machine's thermal state.
std::string currentThermalState();

// FP16 GEMV -> FP16 attention prefill -> fused tensor GELU in one command buffer per cycle,
// repeated for the target duration (at least three cycles), in cycles/s, with the thermal states
// met along the way and the performance retention between the first and last third.
KernelMeasurement runMetalSustained(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                    double targetDuration, BenchmarkCancellationToken& cancellation,
                                    const ThermalStateReader& thermalState = currentThermalState);

// Mean of the first third of the latency samples over the mean of the last third, in percent
// (at least one sample each); 0 without samples or when the last third averages 0.
double sustainedRetention(std::span<const double> latencySamplesMS);

}  // namespace MetalBenchmarkRunner

}  // namespace korvalen
