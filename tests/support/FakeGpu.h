#pragma once

// A scripted backend behind the gpu:: interfaces: devices whose compiles, allocations, queues,
// encoders and command completions a test decides. Blits (copy, fill, synchronize) run on host
// memory at commit; kernel dispatches run only the test's own handler, if it sets one.

#include "Platform/Compute/Gpu.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace korvalen::testing {

// How one committed command buffer ends.
struct FakeCompletion {
    enum class Outcome { complete, fail, hang, completeWithError };
    Outcome outcome = Outcome::complete;
    int pollsBeforeDone = 0;               // status polls that still see it running
    std::optional<std::string> errorText;  // fail / completeWithError; none = no error text
    double gpuStart = 1.0;                 // device timestamps; equal values = the driver gave none
    double gpuEnd = 1.0005;

    static FakeCompletion completed(double start = 1.0, double end = 1.0005)
    {
        FakeCompletion c;
        c.gpuStart = start;
        c.gpuEnd = end;
        return c;
    }
    static FakeCompletion withoutTimestamps() { return completed(0.0, 0.0); }
    static FakeCompletion failed(std::optional<std::string> text)
    {
        FakeCompletion c;
        c.outcome = Outcome::fail;
        c.errorText = std::move(text);
        return c;
    }
    static FakeCompletion completedWithError(std::string text)
    {
        FakeCompletion c;
        c.outcome = Outcome::completeWithError;
        c.errorText = std::move(text);
        return c;
    }
    static FakeCompletion hung()
    {
        FakeCompletion c;
        c.outcome = Outcome::hang;
        return c;
    }
    static FakeCompletion afterPolls(int polls)
    {
        FakeCompletion c;
        c.pollsBeforeDone = polls;
        return c;
    }
};

class FakeBuffer final : public gpu::Buffer {
public:
    FakeBuffer(std::size_t length, gpu::StorageMode mode, const void* bytes);
    // What the GPU sees, and (managed storage) what the CPU sees.
    std::vector<std::byte>& gpuBytes() { return gpu_; }
    std::vector<std::byte>& cpuBytes() { return mode() == gpu::StorageMode::managed ? mirror_ : gpu_; }
    // Every didModifyRange that reached the buffer, as (offset, length).
    const std::vector<std::pair<std::size_t, std::size_t>>& modifiedRanges() const { return modified_; }

protected:
    gpu::Mapping mapRange(std::size_t offset, std::size_t bytes, gpu::MapAccess access) override;
    void uploadRange(std::size_t offset, std::size_t bytes) override;

private:
    gpu::StorageMode mode() const { return storageMode(); }
    std::vector<std::byte> gpu_;
    std::vector<std::byte> mirror_;
    std::vector<std::pair<std::size_t, std::size_t>> modified_;
};

class FakeGpuDevice;

class FakeCommandBuffer final : public gpu::CommandBuffer {
public:
    FakeCommandBuffer(std::shared_ptr<gpu::Device> device, FakeGpuDevice& owner);
    gpu::CommandStatus status() override;
    std::optional<std::string> error() override;
    double gpuStartTime() override;
    double gpuEndTime() override;
    int polls() const { return polls_; }

protected:
    void enqueue(std::vector<gpu::Command>& commands) override;
    bool encoderAvailable() override;

private:
    bool done() const;
    FakeGpuDevice& owner_;
    FakeCompletion completion_;
    int polls_ = 0;
};

class FakeGpuDevice final : public gpu::Device {
public:
    explicit FakeGpuDevice(gpu::DeviceInfo info);

    // Script. Completions are taken in order by the commits that follow; when none is queued the
    // default applies.
    void scriptCompletion(FakeCompletion completion);
    FakeCompletion defaultCompletion = FakeCompletion::completed();
    std::optional<std::string> libraryFailure;            // the compiler's log when set
    std::optional<std::set<std::string>> functions;       // none = every name exists
    std::map<std::string, std::string> pipelineFailures;  // name -> driver text
    bool queueAvailable = true;
    bool commandBuffersAvailable = true;
    bool encodersAvailable = true;
    int failingAllocations = 0;  // the next n allocations return nothing
    std::size_t maxBuffer = std::size_t{1} << 30;
    std::function<void(const gpu::DispatchCommand&)> onDispatch;

    // What happened.
    int libraryCompiles = 0;
    int allocations = 0;  // requests that reached the backend
    int queuesMade = 0;
    std::vector<std::shared_ptr<FakeCommandBuffer>> commits() const;
    std::vector<std::shared_ptr<FakeBuffer>> buffers() const;

    std::size_t maxBufferLength() const override { return maxBuffer; }
    std::shared_ptr<gpu::CommandQueue> makeCommandQueue() override;
    std::shared_ptr<gpu::Library> makeLibrary(const std::string& source) override;

protected:
    std::shared_ptr<gpu::Buffer> allocate(std::size_t length, gpu::StorageMode mode, const void* bytes) override;

private:
    friend class FakeCommandBuffer;
    FakeCompletion nextCompletion();
    void committed(const std::shared_ptr<FakeCommandBuffer>& buffer);

    mutable std::mutex mutex_;
    std::deque<FakeCompletion> script_;
    std::vector<std::weak_ptr<FakeCommandBuffer>> commits_;
    std::vector<std::weak_ptr<FakeBuffer>> buffers_;
};

// A device list of fake devices, installed as the process's provider for the scope's lifetime.
class FakeGpu : public gpu::DeviceProvider {
public:
    std::shared_ptr<FakeGpuDevice> addDevice(const std::string& name, std::uint64_t registryID,
                                             bool unifiedMemory = true);
    void removeDevice(std::uint64_t registryID);

    std::vector<gpu::DeviceInfo> devices() override;
    std::shared_ptr<gpu::Device> open(const gpu::DeviceInfo& info) override;
    int opens() const { return opens_; }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeGpuDevice>> devices_;
    int opens_ = 0;
};

class ScopedFakeGpu {
public:
    ScopedFakeGpu();
    ~ScopedFakeGpu();
    ScopedFakeGpu(const ScopedFakeGpu&) = delete;
    ScopedFakeGpu& operator=(const ScopedFakeGpu&) = delete;
    FakeGpu& operator*() { return *fake_; }
    FakeGpu* operator->() { return fake_.get(); }

private:
    std::shared_ptr<FakeGpu> fake_;
};

}  // namespace korvalen::testing
