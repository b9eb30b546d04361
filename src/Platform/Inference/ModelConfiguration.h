#pragma once

#include <cstdint>
#include <optional>

namespace korvalen::nn {

// Which processing units a loaded model may use. The raw values are the ones the benchmark
// reports; keep them.
enum class ComputeUnits : int {
    cpuOnly = 0,
    cpuAndGPU = 1,
    all = 2,
    cpuAndNeuralEngine = 3,
};

struct ModelConfiguration {
    ComputeUnits computeUnits = ComputeUnits::all;
    // The GPU to run on (a gpu:: registry identifier); the default device when absent. Only
    // consulted when the compute units allow a GPU.
    std::optional<std::uint64_t> preferredDevice;
};

}  // namespace korvalen::nn
