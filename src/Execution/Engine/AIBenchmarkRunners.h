#pragma once

#include "Model/AIRecords.h"
#include "Model/KernelMeasurement.h"
#include "Platform/Foundation/MonotonicClock.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvalen {

class BenchmarkCancellationToken;

// Everything the engine calls to measure and to observe the machine, one callable per kind of
// runner. The engine decides which runner measures what and for how long; the callables only
// measure. Tests replace them with fakes and a fake clock, so routing, calibration and the
// sustained loop run without kernels and without waiting.
//
// Every runner returns a complete measurement or throws (as a rule an AIBenchmarkError); each
// polls the token between units of work and throws AIBenchmarkError::cancelled() once it is set.
struct AIBenchmarkRunners {
    using Token = BenchmarkCancellationToken&;

    // A workload with a model family, on any backend: makes the model run context for
    // (workload, backend, gpuRegistryID), then the runner of that workload (standard inference,
    // model loading, batch scaling or multimodal similarity) with the duration scale.
    std::function<KernelMeasurement(const AIWorkloadDefinition& workload, AIBackend backend,
                                    std::optional<std::uint64_t> gpuRegistryID, double durationScale, Token)>
        coreML;

    // One of the CPU runner's timed kernel loops, for a target duration in seconds.
    std::function<KernelMeasurement(const AIWorkloadDefinition& workload, double targetSeconds, Token)> cpuTimed;
    // The CPU thread-scaling measurement, which takes the duration scale itself.
    std::function<KernelMeasurement(const AIWorkloadDefinition& workload, double durationScale, Token)>
        cpuThreadScaling;
    // The CPU memory-pressure ladder, whose length is fixed by the machine, not by a duration.
    std::function<KernelMeasurement(const AIWorkloadDefinition& workload, Token)> cpuMemoryPressure;

    // A workload on the GPU: takes the kernel context of gpuRegistryID (absent: the default GPU),
    // then runs the workload's own GPU runner, or its invocation in the pipelined or plain
    // execution loop (see metalRoute), for a target duration in seconds.
    std::function<KernelMeasurement(const AIWorkloadDefinition& workload, std::optional<std::uint64_t> gpuRegistryID,
                                    double targetSeconds, Token)>
        metal;

    // The process's thermal state as "Nominal", "Fair", "Serious", "Critical" or "Unknown".
    std::function<std::string()> thermalState;
    // Monotonic uptime in seconds.
    MonotonicClock uptimeSeconds;
    // Resident size of the process in MB of 2^20 bytes; 0 when it cannot be read.
    std::function<double()> residentMB;
};

// The runners of this machine.
AIBenchmarkRunners defaultRunners();

// Which GPU runner a workload gets once its kernel context exists.
enum class MetalRoute {
    memoryBandwidth,
    cacheLadder,
    kvCacheReadWrite,
    sustained,
    transfer,
    pipelinedLoop,  // the invocation, several command buffers in flight
    plainLoop,      // the invocation, one command buffer at a time
};
MetalRoute metalRoute(AIWorkloadID workload);

// Whether the CPU runner has a timed kernel loop for the workload.
bool hasCPUTimedKernel(AIWorkloadID workload);

}  // namespace korvalen
