#include "Platform/Inference/Executor.h"

#include "Platform/Inference/InferenceError.h"

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace korvalen::nn {

// DenseForward.cl, embedded at build time (see korvalen_embed_text in CMakeLists.txt).
extern const char denseKernelSource[];

namespace {

constexpr const char* denseKernelName = "nn_dense_forward";
constexpr double predictionDeadlineSeconds = 60.0;

std::uint32_t activationCode(Activation activation)
{
    switch (activation) {
    case Activation::linear: return 0;
    case Activation::relu: return 1;
    case Activation::tanh: return 2;
    case Activation::sigmoid: return 3;
    }
    return 0;
}

// What every executor on one device shares: the device, one in-order queue and the compiled kernel.
struct DeviceProgram {
    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
    std::shared_ptr<gpu::Pipeline> dense;
    std::uint32_t threadsPerGroup = 1;
};

[[noreturn]] void fail(const std::string& message)
{
    throw Error(Error::Code::executionFailed, message);
}

std::shared_ptr<DeviceProgram> buildProgram(std::shared_ptr<gpu::Device> device)
{
    auto program = std::make_shared<DeviceProgram>();
    program->queue = device->makeCommandQueue();
    if (!program->queue) {
        fail("The GPU " + device->name() + " gave no command queue.");
    }
    try {
        program->dense = device->makeLibrary(denseKernelSource)->makePipeline(denseKernelName);
    } catch (const gpu::Error& error) {
        fail("The model runtime's GPU kernels do not compile on " + device->name() + ": " +
             gpu::singleLine(error.what()));
    }
    // A multiple of the device's preferred width, 64 threads or fewer where the kernel allows it.
    const std::uint32_t width = std::max<std::uint32_t>(1, program->dense->threadExecutionWidth());
    const std::uint32_t most = std::max<std::uint32_t>(1, program->dense->maxTotalThreadsPerThreadgroup());
    std::uint32_t group = std::min<std::uint32_t>(most, std::max<std::uint32_t>(width, 64u / width * width));
    program->threadsPerGroup = std::max<std::uint32_t>(1, group);
    program->device = std::move(device);
    return program;
}

// Buffers for one prediction in flight.
struct Lane {
    std::shared_ptr<gpu::Buffer> input;
    std::shared_ptr<gpu::Buffer> output;
    std::shared_ptr<gpu::Buffer> scratch[2];
};

class GpuExecutor final : public Executor {
public:
    GpuExecutor(std::shared_ptr<const Network> network, std::shared_ptr<DeviceProgram> program)
        : network_(std::move(network)), program_(std::move(program))
    {
        gpu::Device& device = *program_->device;
        for (std::size_t i = 0; i < network_->layers.size(); ++i) {
            const DenseLayer& layer = network_->layers[i];
            auto weights = device.makeBuffer(layer.weights.data(), layer.weights.size() * sizeof(float),
                                             gpu::StorageMode::private_);
            auto bias =
                device.makeBuffer(layer.bias.data(), layer.bias.size() * sizeof(float), gpu::StorageMode::private_);
            if (!weights || !bias) {
                fail("The GPU " + device.name() + " cannot hold the weights of layer " + std::to_string(i) + " of " +
                     network_->name + ".");
            }
            layers_.push_back({std::move(weights), std::move(bias)});
        }
    }

    std::string name() const override { return "GPU " + program_->device->name(); }

    void run(std::span<const float> input, std::span<float> output) const override
    {
        Lane lane = takeLane();
        // Managed tensors: the input goes up with one non-blocking write that the dispatches wait
        // for, and the output comes back into its CPU copy inside the same command buffer, so a
        // prediction costs one submission and no blocking map.
        std::memcpy(lane.input->map(0, input.size_bytes(), gpu::MapAccess::write).data(), input.data(),
                    input.size_bytes());
        lane.input->didModifyRange(0, input.size_bytes());

        auto commands = program_->queue->makeCommandBuffer();
        auto encoder = commands ? commands->makeComputeEncoder() : nullptr;
        if (!encoder) {
            fail("The GPU " + program_->device->name() + " gave no command buffer for " + network_->name + ".");
        }
        const auto& layers = network_->layers;
        std::shared_ptr<gpu::Buffer> x = lane.input;
        for (std::size_t i = 0; i < layers.size(); ++i) {
            const DenseLayer& layer = layers[i];
            std::shared_ptr<gpu::Buffer> y = (i + 1 == layers.size()) ? lane.output : lane.scratch[i % 2];
            encoder->setPipeline(program_->dense);
            encoder->setBuffer(x, 0);
            encoder->setBuffer(layers_[i].weights, 1);
            encoder->setBuffer(layers_[i].bias, 2);
            encoder->setBuffer(y, 3);
            encoder->setValue(std::uint32_t(layer.inputSize), 4);
            encoder->setValue(std::uint32_t(layer.outputSize), 5);
            encoder->setValue(activationCode(layer.activation), 6);
            encoder->dispatchThreads({std::uint32_t(layer.outputSize), 1, 1}, {program_->threadsPerGroup, 1, 1});
            x = y;
        }
        encoder->endEncoding();
        auto blit = commands->makeBlitEncoder();
        if (!blit) {
            fail("The GPU " + program_->device->name() + " gave no copy encoder for " + network_->name + ".");
        }
        blit->synchronizeResource(lane.output);
        blit->endEncoding();
        commands->commit();

        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(predictionDeadlineSeconds);
        for (;;) {
            const gpu::CommandStatus status = commands->status();
            if (status == gpu::CommandStatus::completed) {
                break;
            }
            if (status == gpu::CommandStatus::error) {
                // The lane goes with the failed work: its buffers may still be in use.
                fail("The GPU " + program_->device->name() + " could not run " + network_->name + ": " +
                     gpu::singleLine(commands->error().value_or("unknown error")));
            }
            if (std::chrono::steady_clock::now() > deadline) {
                fail("The GPU " + program_->device->name() + " did not finish a prediction of " + network_->name +
                     " within 60 seconds.");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        lane.output->read(0, output.data(), output.size_bytes());
        giveBack(std::move(lane));
    }

private:
    struct LayerBuffers {
        std::shared_ptr<gpu::Buffer> weights;
        std::shared_ptr<gpu::Buffer> bias;
    };

    Lane takeLane() const
    {
        {
            std::lock_guard lock(lanesMutex_);
            if (!idle_.empty()) {
                Lane lane = std::move(idle_.back());
                idle_.pop_back();
                return lane;
            }
        }
        gpu::Device& device = *program_->device;
        const std::size_t scratchBytes = network_->widestLayer() * sizeof(float);
        Lane lane;
        lane.input = device.makeBuffer(network_->inputSize * sizeof(float), gpu::StorageMode::managed);
        lane.output = device.makeBuffer(network_->outputSize * sizeof(float), gpu::StorageMode::managed);
        lane.scratch[0] = device.makeBuffer(scratchBytes, gpu::StorageMode::private_);
        lane.scratch[1] = device.makeBuffer(scratchBytes, gpu::StorageMode::private_);
        if (!lane.input || !lane.output || !lane.scratch[0] || !lane.scratch[1]) {
            fail("The GPU " + device.name() + " cannot hold the tensors of a prediction of " + network_->name + ".");
        }
        return lane;
    }

    void giveBack(Lane lane) const
    {
        std::lock_guard lock(lanesMutex_);
        idle_.push_back(std::move(lane));
    }

    std::shared_ptr<const Network> network_;
    std::shared_ptr<DeviceProgram> program_;
    std::vector<LayerBuffers> layers_;
    mutable std::mutex lanesMutex_;
    mutable std::vector<Lane> idle_;
};

// Compiled programs of the devices opened so far, by the provider that listed them and the
// device's registry identifier.
std::shared_ptr<DeviceProgram> programFor(const gpu::DeviceInfo& info)
{
    using Key = std::pair<const void*, std::uint64_t>;
    static std::mutex mutex;
    // Never destroyed: releasing driver contexts during exit can run after the driver has gone.
    static auto* programs = new std::map<Key, std::shared_ptr<DeviceProgram>>();
    const Key key{&gpu::deviceProvider(), info.registryID};
    std::lock_guard lock(mutex);
    if (const auto found = programs->find(key);
        found != programs->end() && found->second->device->name() == info.name) {
        return found->second;
    }
    auto device = gpu::openDevice(info);
    if (!device) {
        return nullptr;
    }
    auto program = buildProgram(std::move(device));
    (*programs)[key] = program;
    return program;
}

}  // namespace

std::unique_ptr<Executor> makeGpuExecutor(std::shared_ptr<const Network> network, std::shared_ptr<gpu::Device> device)
{
    if (!device) {
        fail("No GPU device was given for " + network->name + ".");
    }
    return std::make_unique<GpuExecutor>(std::move(network), buildProgram(std::move(device)));
}

std::unique_ptr<Executor> makeDefaultGpuExecutor(std::shared_ptr<const Network> network,
                                                 std::optional<std::uint64_t> preferredDevice)
{
    const auto devices = gpu::deviceProvider().devices();
    const gpu::DeviceInfo* chosen = nullptr;
    if (preferredDevice) {
        for (const auto& device : devices) {
            if (device.registryID == *preferredDevice) {
                chosen = &device;
                break;
            }
        }
        if (!chosen) {
            throw Error(Error::Code::deviceUnavailable,
                        "The preferred GPU " + std::to_string(*preferredDevice) + " is not available.");
        }
    } else if (!devices.empty()) {
        chosen = &devices.front();
    }
    if (!chosen) {
        return nullptr;
    }
    auto program = programFor(*chosen);
    if (!program) {
        return nullptr;  // listed but cannot be opened: the CPU takes the work
    }
    return std::make_unique<GpuExecutor>(std::move(network), std::move(program));
}

}  // namespace korvalen::nn
