#pragma once

// Everything GPU workloads run against on one GPU: the device, its one command queue, the kernel
// library compiled from MetalKernelLibrary::source() when the context is made, the pipelines by
// kernel name, and the makers of the buffers the workloads use. Shared by every run on that GPU
// through MetalKernelContextCache; every member is safe for concurrent callers.

#include "Platform/Compute/Gpu.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <type_traits>

namespace korvalen {

class MetalKernelContext {
public:
    // Makes the queue and compiles the library, logging the compile. Throws AIBenchmarkError:
    // metalUnavailable when the device gives no queue, pipelineCreation(the compiler's text on one
    // line) when the source does not compile. `source` is for tests; the program compiles the
    // kernel library.
    explicit MetalKernelContext(std::shared_ptr<gpu::Device> device);
    MetalKernelContext(std::shared_ptr<gpu::Device> device, const std::string& source);
    MetalKernelContext(const MetalKernelContext&) = delete;
    MetalKernelContext& operator=(const MetalKernelContext&) = delete;

    gpu::Device& device() const { return *device_; }
    const std::shared_ptr<gpu::Device>& deviceHandle() const { return device_; }
    gpu::CommandQueue& queue() const { return *queue_; }
    gpu::Library& library() const { return *library_; }

    // The pipeline of a kernel, built on first use and kept. Throws pipelineCreation:
    // "Missing Metal function <name>" for a name the library lacks, else the driver's text.
    std::shared_ptr<gpu::Pipeline> pipeline(const std::string& name);

    // A shared buffer holding a copy of the values. Throws allocationFailed: "Zero-length Metal
    // buffer" for no values, "Unable to allocate <n> bytes on <device>" when refused.
    template <class T>
    std::shared_ptr<gpu::Buffer> buffer(std::span<const T> values)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        return bufferFromBytes(values.data(), values.size_bytes());
    }

    // An input the GPU reads many times: shared on unified memory, else managed and marked
    // modified over its whole length. Throws allocationFailed: "Zero-length Metal buffer", or
    // "Unable to allocate <n> device-input bytes on <device>".
    template <class T>
    std::shared_ptr<gpu::Buffer> deviceInputBuffer(std::span<const T> values)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        return deviceInputFromBytes(values.data(), values.size_bytes());
    }

    // An uninitialised shared buffer. Throws allocationFailed("Unable to allocate <n> bytes on
    // <device>") when refused, a length of 0 included.
    std::shared_ptr<gpu::Buffer> emptyBuffer(std::size_t length);

    // A GPU-only buffer. Throws allocationFailed("Unable to allocate <n> private bytes on
    // <device>") when refused, a length of 0 included.
    std::shared_ptr<gpu::Buffer> privateBuffer(std::size_t length);

private:
    std::shared_ptr<gpu::Buffer> bufferFromBytes(const void* bytes, std::size_t length);
    std::shared_ptr<gpu::Buffer> deviceInputFromBytes(const void* bytes, std::size_t length);

    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::CommandQueue> queue_;
    std::shared_ptr<gpu::Library> library_;
    std::mutex pipelineLock_;
    std::map<std::string, std::shared_ptr<gpu::Pipeline>> pipelines_;
};

}  // namespace korvalen
