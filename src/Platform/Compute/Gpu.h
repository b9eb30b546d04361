#pragma once

// The compute layer the GPU runners and the neural runtime's GPU executor build on: devices,
// libraries compiled at run time, pipelines, buffers, one in-order queue per context and command
// buffers that record work and enqueue it on commit. Two backends sit behind these classes: OpenCL
// (OpenCLBackend.cpp) and the scripted fake that tests use (tests/support/FakeGpu.h).

#include "Platform/Compute/GpuDevices.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace korvalen::gpu {

class Device;
class Buffer;
class Pipeline;
class CommandBuffer;

// Where a buffer lives. The raw values follow the storage-mode numbering the runners compare with:
// shared = CPU and GPU see one allocation; managed = GPU copy plus a CPU mirror, kept in step by
// didModifyRange (CPU -> GPU) and a blit synchronize (GPU -> CPU); private = GPU only.
enum class StorageMode : int { shared = 0, managed = 1, private_ = 2 };

// Raw values follow the command-buffer status numbering the completion wait polls for.
enum class CommandStatus : int {
    notEnqueued = 0,
    enqueued = 1,
    committed = 2,
    scheduled = 3,
    completed = 4,
    error = 5
};

// A failure of the layer itself (misuse, a driver call that failed). `code` is the driver's status
// where there is one, else 0.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, int code = 0);
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Thread counts of a dispatch; unused dimensions stay 1.
struct Size3 {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    std::uint32_t depth = 1;
};

// A CPU view of part of a buffer, released (unmapped) when the mapping goes away; it must not
// outlive its buffer. Maps wait only for the CPU's own transfers, never for queued GPU work: read
// a result after its command buffer has completed.
class Mapping {
public:
    Mapping() = default;
    Mapping(void* data, std::size_t size, std::function<void()> release);
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    void* data() const { return data_; }
    std::size_t size() const { return size_; }
    template <class T>
    T* as() const
    {
        return static_cast<T*>(data_);
    }

private:
    void reset();
    void* data_ = nullptr;
    std::size_t size_ = 0;
    std::function<void()> release_;
};

enum class MapAccess { read, write, readWrite };

class Buffer {
public:
    virtual ~Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::size_t length() const { return length_; }
    StorageMode storageMode() const { return mode_; }

    // CPU access. Shared buffers are mapped for the duration of the view; managed buffers expose
    // their CPU mirror (writes reach the GPU only after didModifyRange); private buffers refuse
    // with Error. Ranges outside the buffer refuse with Error.
    Mapping map(std::size_t offset, std::size_t bytes, MapAccess access);
    void read(std::size_t offset, void* destination, std::size_t bytes);
    void write(std::size_t offset, const void* source, std::size_t bytes);

    template <class T>
    T element(std::size_t index)
    {
        T value{};
        read(index * sizeof(T), &value, sizeof(T));
        return value;
    }
    template <class T>
    std::vector<T> elements(std::size_t first, std::size_t count)
    {
        std::vector<T> values(count);
        if (count > 0) read(first * sizeof(T), values.data(), count * sizeof(T));
        return values;
    }

    // Managed storage: the CPU changed [offset, offset + bytes) of the mirror; copy it to the GPU
    // before any later command uses the buffer. Other storage modes ignore it.
    void didModifyRange(std::size_t offset, std::size_t bytes);

protected:
    Buffer(std::size_t length, StorageMode mode) : length_(length), mode_(mode) {}
    virtual Mapping mapRange(std::size_t offset, std::size_t bytes, MapAccess access) = 0;
    virtual void uploadRange(std::size_t offset, std::size_t bytes) = 0;

private:
    void checkRange(std::size_t offset, std::size_t bytes) const;
    std::size_t length_;
    StorageMode mode_;
};

// One kernel function of a compiled library, ready to dispatch.
class Pipeline {
public:
    virtual ~Pipeline() = default;
    const std::string& name() const { return name_; }
    // The preferred multiple of threads per group (warp or SIMD width) and the most threads one
    // group may hold for this kernel on this device.
    std::uint32_t threadExecutionWidth() const { return width_; }
    std::uint32_t maxTotalThreadsPerThreadgroup() const { return maxThreads_; }

protected:
    Pipeline(std::string name, std::uint32_t width, std::uint32_t maxThreads)
        : name_(std::move(name)), width_(width), maxThreads_(maxThreads)
    {}

private:
    std::string name_;
    std::uint32_t width_;
    std::uint32_t maxThreads_;
};

class Library {
public:
    virtual ~Library() = default;
    virtual bool hasFunction(const std::string& name) const = 0;
    // Throws Error with the driver's text when the pipeline cannot be made.
    virtual std::shared_ptr<Pipeline> makePipeline(const std::string& name) = 0;
};

// Work recorded into a command buffer, enqueued in this order on commit.
struct KernelArgument {
    std::shared_ptr<Buffer> buffer;  // set for a buffer binding
    std::vector<std::byte> bytes;    // otherwise the inline constant value
};
struct DispatchCommand {
    std::shared_ptr<Pipeline> pipeline;
    std::vector<std::optional<KernelArgument>> arguments;  // by binding index
    Size3 grid;
    Size3 threadsPerGroup;
};
struct CopyCommand {
    std::shared_ptr<Buffer> source;
    std::size_t sourceOffset = 0;
    std::shared_ptr<Buffer> destination;
    std::size_t destinationOffset = 0;
    std::size_t size = 0;
};
struct FillCommand {
    std::shared_ptr<Buffer> buffer;
    std::size_t offset = 0;
    std::size_t size = 0;
    std::uint8_t value = 0;
};
// Copy a managed buffer's GPU contents into its CPU mirror (nothing for other storage modes).
struct SynchronizeCommand {
    std::shared_ptr<Buffer> buffer;
};
using Command = std::variant<DispatchCommand, CopyCommand, FillCommand, SynchronizeCommand>;

class ComputeEncoder {
public:
    explicit ComputeEncoder(CommandBuffer& owner) : owner_(&owner) {}
    ~ComputeEncoder();
    ComputeEncoder(const ComputeEncoder&) = delete;
    ComputeEncoder& operator=(const ComputeEncoder&) = delete;

    void setPipeline(std::shared_ptr<Pipeline> pipeline);
    void setBuffer(std::shared_ptr<Buffer> buffer, std::uint32_t index);
    void setBytes(const void* bytes, std::size_t length, std::uint32_t index);
    template <class T>
    void setValue(const T& value, std::uint32_t index)
    {
        setBytes(&value, sizeof(T), index);
    }
    // Runs exactly grid threads: the global size is rounded up to whole groups and the kernels'
    // bounds guards discard the excess. A grid with a zero dimension records nothing.
    void dispatchThreads(Size3 grid, Size3 threadsPerGroup);
    void endEncoding();

private:
    void requireOpen() const;
    CommandBuffer* owner_;
    bool ended_ = false;
    std::shared_ptr<Pipeline> pipeline_;
    std::vector<std::optional<KernelArgument>> arguments_;
};

class BlitEncoder {
public:
    explicit BlitEncoder(CommandBuffer& owner) : owner_(&owner) {}
    ~BlitEncoder();
    BlitEncoder(const BlitEncoder&) = delete;
    BlitEncoder& operator=(const BlitEncoder&) = delete;

    void copy(std::shared_ptr<Buffer> source, std::size_t sourceOffset, std::shared_ptr<Buffer> destination,
              std::size_t destinationOffset, std::size_t size);
    void fill(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t size, std::uint8_t value);
    void synchronizeResource(std::shared_ptr<Buffer> buffer);
    void endEncoding();

private:
    void requireOpen() const;
    CommandBuffer* owner_;
    bool ended_ = false;
};

class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
public:
    virtual ~CommandBuffer() = default;
    CommandBuffer(const CommandBuffer&) = delete;
    CommandBuffer& operator=(const CommandBuffer&) = delete;

    // Encoders record into this buffer until endEncoding; one at a time. nullptr when the buffer
    // was committed already or the backend has none to give.
    std::unique_ptr<ComputeEncoder> makeComputeEncoder();
    std::unique_ptr<BlitEncoder> makeBlitEncoder();

    // Enqueues the recorded work on the queue and flushes; never waits. A failure to enqueue shows
    // as status error with its text. Committing twice, or with an encoder open, throws Error.
    void commit();
    bool committed() const { return committed_; }

    // Polled, never blocking.
    virtual CommandStatus status() = 0;
    // Blocks for at most maxSeconds, returning early once the work has finished or failed, so a
    // bounded poll does not add its whole interval to every measured command. The default sleeps.
    virtual void waitBriefly(double maxSeconds);
    // The failure text of a failed or failing buffer.
    virtual std::optional<std::string> error() = 0;
    // Device timestamps of the first command's start and the last command's end, in seconds;
    // 0 when the driver gives none (or before completion).
    virtual double gpuStartTime() = 0;
    virtual double gpuEndTime() = 0;

    const std::shared_ptr<Device>& device() const { return device_; }
    const std::vector<Command>& commands() const { return commands_; }

protected:
    explicit CommandBuffer(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    virtual void enqueue(std::vector<Command>& commands) = 0;
    virtual bool encoderAvailable() { return true; }

private:
    friend class ComputeEncoder;
    friend class BlitEncoder;
    void record(Command command);
    void encoderEnded() { encoderOpen_ = false; }

    std::shared_ptr<Device> device_;
    std::vector<Command> commands_;
    bool committed_ = false;
    bool encoderOpen_ = false;
};

class CommandQueue {
public:
    virtual ~CommandQueue() = default;
    // nullptr when the backend cannot make one.
    virtual std::shared_ptr<CommandBuffer> makeCommandBuffer() = 0;
    virtual const std::shared_ptr<Device>& device() const = 0;
};

class Device : public std::enable_shared_from_this<Device> {
public:
    virtual ~Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const DeviceInfo& info() const { return info_; }
    const std::string& name() const { return info_.name; }
    std::uint64_t registryID() const { return info_.registryID; }

    // Unified with host memory, unless this device, or every device, is told to act as a discrete
    // GPU so that the managed-storage and staging paths run on a unified machine.
    bool hasUnifiedMemory() const;
    void setTreatAsDiscrete(std::optional<bool> discrete);

    // The largest single buffer the device accepts.
    virtual std::size_t maxBufferLength() const = 0;

    // nullptr when the device gives no queue. The queue is in order and records device timestamps.
    virtual std::shared_ptr<CommandQueue> makeCommandQueue() = 0;

    // Compiles source with the default options. Throws Error whose text is the compiler's log
    // (trimmed, line breaks kept) or, without a log, the driver's status.
    virtual std::shared_ptr<Library> makeLibrary(const std::string& source) = 0;

    // nullptr when refused: a zero length or one above maxBufferLength() never reaches the driver.
    std::shared_ptr<Buffer> makeBuffer(std::size_t length, StorageMode mode);
    // The same, filled with length bytes (a managed buffer's GPU copy is filled too).
    std::shared_ptr<Buffer> makeBuffer(const void* bytes, std::size_t length, StorageMode mode);

protected:
    explicit Device(DeviceInfo info) : info_(std::move(info)) {}
    virtual std::shared_ptr<Buffer> allocate(std::size_t length, StorageMode mode, const void* bytes) = 0;

private:
    DeviceInfo info_;
    std::optional<bool> discrete_;
};

// Every device opened from now on (and every open one without its own setting) acts as discrete.
void setTreatAllDevicesAsDiscrete(bool discrete);

// Opens the device a provider listed, through that provider (the OpenCL one unless a test
// replaced it). nullptr when it cannot be opened.
std::shared_ptr<Device> openDevice(const DeviceInfo& info);

// The OpenCL device behind info: the one whose registry identifier matches. nullptr when none.
std::shared_ptr<Device> openOpenCLDevice(const DeviceInfo& info);

// A driver text with every line feed shown as " | ", for log lines and error texts.
std::string singleLine(const std::string& text);

}  // namespace korvalen::gpu
