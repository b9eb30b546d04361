#include "Platform/Inference/Executor.h"

#include "Platform/Inference/InferenceError.h"

#include <mutex>

namespace korvalen::nn {

namespace {

GpuExecutorFactory builtInGpuExecutorFactory()
{
    return makeDefaultGpuExecutor;
}

std::mutex factoryMutex;
GpuExecutorFactory installedFactory = builtInGpuExecutorFactory();

GpuExecutorFactory currentFactory()
{
    std::lock_guard lock(factoryMutex);
    return installedFactory;
}

}  // namespace

void setGpuExecutorFactory(GpuExecutorFactory factory)
{
    std::lock_guard lock(factoryMutex);
    installedFactory = factory ? std::move(factory) : builtInGpuExecutorFactory();
}

void checkConfiguration(const ModelConfiguration& configuration)
{
    switch (configuration.computeUnits) {
    case ComputeUnits::cpuOnly:
    case ComputeUnits::cpuAndGPU:
    case ComputeUnits::all: return;
    case ComputeUnits::cpuAndNeuralEngine:
        throw Error(Error::Code::unsupportedComputeUnits,
                    "The compute units CPU and Neural Engine cannot be used: this system has no Neural Engine.");
    }
    throw Error(Error::Code::unsupportedComputeUnits,
                "Unknown compute units " + std::to_string(int(configuration.computeUnits)) + ".");
}

std::unique_ptr<Executor> makeExecutor(std::shared_ptr<const Network> network, const ModelConfiguration& configuration)
{
    checkConfiguration(configuration);
    if (configuration.computeUnits != ComputeUnits::cpuOnly) {
        if (const auto factory = currentFactory()) {
            if (auto executor = factory(network, configuration.preferredDevice)) {
                return executor;
            }
        }
    }
    return makeCpuExecutor(std::move(network));
}

}  // namespace korvalen::nn
