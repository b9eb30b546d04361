#include "Execution/GPU/MetalKernelContext.h"

#include "Execution/GPU/MetalKernelContextCache.h"
#include "Execution/GPU/MetalKernelLibrary.h"
#include "Model/AIBenchmarkError.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Foundation/NumberFormat.h"

namespace korvalen {

MetalKernelContext::MetalKernelContext(std::shared_ptr<gpu::Device> device)
    : MetalKernelContext(std::move(device), MetalKernelLibrary::source())
{}

MetalKernelContext::MetalKernelContext(std::shared_ptr<gpu::Device> device, const std::string& source)
    : device_(std::move(device))
{
    if (!device_) throw AIBenchmarkError::metalUnavailable();
    queue_ = device_->makeCommandQueue();
    if (!queue_) throw AIBenchmarkError::metalUnavailable();

    const double start = monotonicSeconds();
    KorvalenAILogger::runtime("METAL_LIBRARY_COMPILE_START gpu=" + device_->name() +
                              " registry=" + std::to_string(device_->registryID()));
    try {
        library_ = device_->makeLibrary(source);
    } catch (const gpu::Error& failure) {
        const std::string reason = gpu::singleLine(failure.what());
        KorvalenAILogger::error("METAL_LIBRARY_COMPILE_FAIL gpu=" + device_->name() + " reason=" + reason);
        throw AIBenchmarkError::pipelineCreation(reason);
    }
    const double end = monotonicSeconds();
    KorvalenAILogger::runtime("METAL_LIBRARY_COMPILE_PASS gpu=" + device_->name() +
                              " duration_ms=" + formatFixed((end - start) * 1000.0, 2));
}

std::shared_ptr<gpu::Pipeline> MetalKernelContext::pipeline(const std::string& name)
{
    std::lock_guard lock(pipelineLock_);
    auto found = pipelines_.find(name);
    if (found != pipelines_.end()) return found->second;
    if (!library_->hasFunction(name)) throw AIBenchmarkError::pipelineCreation("Missing Metal function " + name);
    std::shared_ptr<gpu::Pipeline> made;
    try {
        made = library_->makePipeline(name);
    } catch (const gpu::Error& failure) {
        const std::string reason = gpu::singleLine(failure.what());
        KorvalenAILogger::error("METAL_PIPELINE_CREATE_FAIL gpu=" + device_->name() + " function=" + name +
                                " reason=" + reason);
        throw AIBenchmarkError::pipelineCreation(reason);
    }
    pipelines_.emplace(name, made);
    return made;
}

std::shared_ptr<gpu::Buffer> MetalKernelContext::bufferFromBytes(const void* bytes, std::size_t length)
{
    if (length < 1) throw AIBenchmarkError::allocationFailed("Zero-length Metal buffer");
    auto made = device_->makeBuffer(bytes, length, gpu::StorageMode::shared);
    if (!made) {
        throw AIBenchmarkError::allocationFailed("Unable to allocate " + std::to_string(length) + " bytes on " +
                                                 device_->name());
    }
    return made;
}

std::shared_ptr<gpu::Buffer> MetalKernelContext::deviceInputFromBytes(const void* bytes, std::size_t length)
{
    if (length < 1) throw AIBenchmarkError::allocationFailed("Zero-length Metal buffer");
    const bool unified = device_->hasUnifiedMemory();
    auto made = device_->makeBuffer(bytes, length, unified ? gpu::StorageMode::shared : gpu::StorageMode::managed);
    if (!made) {
        throw AIBenchmarkError::allocationFailed("Unable to allocate " + std::to_string(length) +
                                                 " device-input bytes on " + device_->name());
    }
    if (!unified) made->didModifyRange(0, length);
    return made;
}

std::shared_ptr<gpu::Buffer> MetalKernelContext::emptyBuffer(std::size_t length)
{
    auto made = device_->makeBuffer(length, gpu::StorageMode::shared);
    if (!made) {
        throw AIBenchmarkError::allocationFailed("Unable to allocate " + std::to_string(length) + " bytes on " +
                                                 device_->name());
    }
    return made;
}

std::shared_ptr<gpu::Buffer> MetalKernelContext::privateBuffer(std::size_t length)
{
    auto made = length < 1 ? nullptr : device_->makeBuffer(length, gpu::StorageMode::private_);
    if (!made) {
        throw AIBenchmarkError::allocationFailed("Unable to allocate " + std::to_string(length) + " private bytes on " +
                                                 device_->name());
    }
    return made;
}

}  // namespace korvalen
