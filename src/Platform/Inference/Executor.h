#pragma once

#include "Platform/Compute/Gpu.h"
#include "Platform/Inference/ModelConfiguration.h"
#include "Platform/Inference/Network.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace korvalen::nn {

// Runs a loaded network on one input vector. A model owns one executor, chosen at load time from
// its configuration. `run` may be called from several threads at once: an executor keeps no
// per-call state outside the call, or guards what it keeps.
class Executor {
public:
    virtual ~Executor() = default;

    // "CPU", or "GPU" followed by the device, for reports.
    virtual std::string name() const = 0;

    // The caller guarantees input.size() == network inputSize and output.size() == outputSize.
    virtual void run(std::span<const float> input, std::span<float> output) const = 0;
};

// Dense layers through OpenBLAS single-precision matrix-vector products. The executor uses
// OpenBLAS's process-wide thread pool as the program configured it at start-up and never changes
// its size: the count is global, a change mid-run would race with other kernels and restart the
// pool, and a prediction wants the whole machine as much as any other measured workload.
std::unique_ptr<Executor> makeCpuExecutor(std::shared_ptr<const Network> network);

// Dense layers as OpenCL C kernels on a device of the gpu:: layer: the runtime's own small program
// is compiled there and the weights are uploaded once, when the executor is made. run() may be
// called from several threads; each call uses a set of input, output and scratch buffers no other
// call holds. Throws nn::Error(executionFailed) when the program does not compile or the device
// cannot hold the weights.
std::unique_ptr<Executor> makeGpuExecutor(std::shared_ptr<const Network> network, std::shared_ptr<gpu::Device> device);

// The built-in GPU executor factory: the preferred device, or the first of the device list. The
// compiled program is kept per device for the life of the process, so only the first model
// loaded on a device pays for the compile; weights are uploaded on every load.
std::unique_ptr<Executor> makeDefaultGpuExecutor(std::shared_ptr<const Network> network,
                                                 std::optional<std::uint64_t> preferredDevice);

// Builds a GPU executor for the network on the preferred device (the default one when absent).
// Returns nullptr when the machine has no usable GPU device; throws nn::Error(deviceUnavailable)
// when a preferred device is named and does not exist.
using GpuExecutorFactory = std::function<std::unique_ptr<Executor>(std::shared_ptr<const Network> network,
                                                                   std::optional<std::uint64_t> preferredDevice)>;

// Replaces the process's GPU executor factory (tests hand in fakes); an empty function restores
// the built-in one. Not for use while models are loading on other threads.
void setGpuExecutorFactory(GpuExecutorFactory factory);

// Chooses and builds the executor the configuration asks for: the CPU for `cpuOnly`; for
// `cpuAndGPU` and `all`, a GPU executor when a device exists, else the CPU. `cpuAndNeuralEngine`
// throws nn::Error(unsupportedComputeUnits): Linux has no Neural Engine.
std::unique_ptr<Executor> makeExecutor(std::shared_ptr<const Network> network, const ModelConfiguration& configuration);

// Throws nn::Error(unsupportedComputeUnits) for compute units this system cannot honour.
void checkConfiguration(const ModelConfiguration& configuration);

}  // namespace korvalen::nn
