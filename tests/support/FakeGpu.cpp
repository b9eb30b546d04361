#include "support/FakeGpu.h"

#include <cstring>

namespace korvalen::testing {

using namespace korvalen::gpu;

// ---------------------------------------------------------------------------------------------

FakeBuffer::FakeBuffer(std::size_t length, StorageMode mode, const void* bytes) : Buffer(length, mode), gpu_(length)
{
    if (mode == StorageMode::managed) mirror_.resize(length);
    if (bytes) {
        std::memcpy(gpu_.data(), bytes, length);
        if (mode == StorageMode::managed) std::memcpy(mirror_.data(), bytes, length);
    }
}

Mapping FakeBuffer::mapRange(std::size_t offset, std::size_t bytes, MapAccess)
{
    return Mapping(cpuBytes().data() + offset, bytes, nullptr);
}

void FakeBuffer::uploadRange(std::size_t offset, std::size_t bytes)
{
    modified_.emplace_back(offset, bytes);
    std::memcpy(gpu_.data() + offset, mirror_.data() + offset, bytes);
}

// ---------------------------------------------------------------------------------------------

namespace {

class FakePipeline final : public Pipeline {
public:
    explicit FakePipeline(std::string name) : Pipeline(std::move(name), 32, 1024) {}
};

class FakeLibrary final : public Library {
public:
    explicit FakeLibrary(FakeGpuDevice& device) : device_(device) {}
    bool hasFunction(const std::string& name) const override
    {
        return !device_.functions || device_.functions->count(name) > 0;
    }
    std::shared_ptr<Pipeline> makePipeline(const std::string& name) override
    {
        if (!hasFunction(name)) throw Error("no function " + name);
        auto failure = device_.pipelineFailures.find(name);
        if (failure != device_.pipelineFailures.end()) throw Error(failure->second);
        return std::make_shared<FakePipeline>(name);
    }

private:
    FakeGpuDevice& device_;
};

class FakeQueue final : public CommandQueue {
public:
    FakeQueue(std::shared_ptr<Device> device, FakeGpuDevice& owner) : device_(std::move(device)), owner_(owner) {}
    std::shared_ptr<CommandBuffer> makeCommandBuffer() override
    {
        if (!owner_.commandBuffersAvailable) return nullptr;
        return std::make_shared<FakeCommandBuffer>(device_, owner_);
    }
    const std::shared_ptr<Device>& device() const override { return device_; }

private:
    std::shared_ptr<Device> device_;
    FakeGpuDevice& owner_;
};

FakeBuffer& fake(const std::shared_ptr<Buffer>& buffer)
{
    return static_cast<FakeBuffer&>(*buffer);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

FakeCommandBuffer::FakeCommandBuffer(std::shared_ptr<Device> device, FakeGpuDevice& owner)
    : CommandBuffer(std::move(device)), owner_(owner)
{}

bool FakeCommandBuffer::encoderAvailable()
{
    return owner_.encodersAvailable;
}

void FakeCommandBuffer::enqueue(std::vector<Command>& commands)
{
    completion_ = owner_.nextCompletion();
    for (const Command& command : commands) {
        if (const auto* copy = std::get_if<CopyCommand>(&command)) {
            std::memcpy(fake(copy->destination).gpuBytes().data() + copy->destinationOffset,
                        fake(copy->source).gpuBytes().data() + copy->sourceOffset, copy->size);
        } else if (const auto* fill = std::get_if<FillCommand>(&command)) {
            std::memset(fake(fill->buffer).gpuBytes().data() + fill->offset, fill->value, fill->size);
        } else if (const auto* sync = std::get_if<SynchronizeCommand>(&command)) {
            auto& buffer = fake(sync->buffer);
            buffer.cpuBytes() = buffer.gpuBytes();
        } else if (const auto* dispatch = std::get_if<DispatchCommand>(&command)) {
            if (owner_.onDispatch) owner_.onDispatch(*dispatch);
        }
    }
    owner_.committed(std::static_pointer_cast<FakeCommandBuffer>(shared_from_this()));
}

bool FakeCommandBuffer::done() const
{
    return polls_ > completion_.pollsBeforeDone;
}

CommandStatus FakeCommandBuffer::status()
{
    if (!committed()) return CommandStatus::notEnqueued;
    ++polls_;
    if (completion_.outcome == FakeCompletion::Outcome::hang || !done()) return CommandStatus::committed;
    return completion_.outcome == FakeCompletion::Outcome::fail ? CommandStatus::error : CommandStatus::completed;
}

std::optional<std::string> FakeCommandBuffer::error()
{
    if (!committed() || !done()) return std::nullopt;
    if (completion_.outcome == FakeCompletion::Outcome::fail ||
        completion_.outcome == FakeCompletion::Outcome::completeWithError) {
        return completion_.errorText;
    }
    return std::nullopt;
}

double FakeCommandBuffer::gpuStartTime()
{
    return committed() && done() && completion_.outcome != FakeCompletion::Outcome::hang ? completion_.gpuStart : 0.0;
}

double FakeCommandBuffer::gpuEndTime()
{
    return committed() && done() && completion_.outcome != FakeCompletion::Outcome::hang ? completion_.gpuEnd : 0.0;
}

// ---------------------------------------------------------------------------------------------

FakeGpuDevice::FakeGpuDevice(DeviceInfo info) : Device(std::move(info))
{}

void FakeGpuDevice::scriptCompletion(FakeCompletion completion)
{
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(completion));
}

FakeCompletion FakeGpuDevice::nextCompletion()
{
    std::lock_guard lock(mutex_);
    if (script_.empty()) return defaultCompletion;
    FakeCompletion next = script_.front();
    script_.pop_front();
    return next;
}

void FakeGpuDevice::committed(const std::shared_ptr<FakeCommandBuffer>& buffer)
{
    std::lock_guard lock(mutex_);
    commits_.push_back(buffer);
}

std::vector<std::shared_ptr<FakeCommandBuffer>> FakeGpuDevice::commits() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<FakeCommandBuffer>> alive;
    for (const auto& weak : commits_) {
        if (auto buffer = weak.lock()) alive.push_back(buffer);
    }
    return alive;
}

std::vector<std::shared_ptr<FakeBuffer>> FakeGpuDevice::buffers() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<FakeBuffer>> alive;
    for (const auto& weak : buffers_) {
        if (auto buffer = weak.lock()) alive.push_back(buffer);
    }
    return alive;
}

std::shared_ptr<CommandQueue> FakeGpuDevice::makeCommandQueue()
{
    if (!queueAvailable) return nullptr;
    ++queuesMade;
    return std::make_shared<FakeQueue>(shared_from_this(), *this);
}

std::shared_ptr<Library> FakeGpuDevice::makeLibrary(const std::string&)
{
    ++libraryCompiles;
    if (libraryFailure) throw Error(*libraryFailure, -11);
    return std::make_shared<FakeLibrary>(*this);
}

std::shared_ptr<Buffer> FakeGpuDevice::allocate(std::size_t length, StorageMode mode, const void* bytes)
{
    ++allocations;
    if (failingAllocations > 0) {
        --failingAllocations;
        return nullptr;
    }
    auto buffer = std::make_shared<FakeBuffer>(length, mode, bytes);
    std::lock_guard lock(mutex_);
    buffers_.push_back(buffer);
    return buffer;
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<FakeGpuDevice> FakeGpu::addDevice(const std::string& name, std::uint64_t registryID, bool unifiedMemory)
{
    DeviceInfo info;
    info.registryID = registryID;
    info.name = name;
    info.vendor = "Fake";
    info.platformName = "Fake Platform";
    info.driverVersion = "1.0";
    info.unifiedMemory = unifiedMemory;
    info.maxAllocationBytes = std::size_t{1} << 30;
    auto device = std::make_shared<FakeGpuDevice>(info);
    std::lock_guard lock(mutex_);
    devices_.push_back(device);
    return device;
}

void FakeGpu::removeDevice(std::uint64_t registryID)
{
    std::lock_guard lock(mutex_);
    std::erase_if(devices_, [&](const auto& device) { return device->registryID() == registryID; });
}

std::vector<DeviceInfo> FakeGpu::devices()
{
    std::lock_guard lock(mutex_);
    std::vector<DeviceInfo> infos;
    for (const auto& device : devices_) infos.push_back(device->info());
    return infos;
}

std::shared_ptr<Device> FakeGpu::open(const DeviceInfo& info)
{
    std::lock_guard lock(mutex_);
    ++opens_;
    for (const auto& device : devices_) {
        if (device->registryID() == info.registryID) return device;
    }
    return nullptr;
}

ScopedFakeGpu::ScopedFakeGpu() : fake_(std::make_shared<FakeGpu>())
{
    setDeviceProvider(fake_);
}

ScopedFakeGpu::~ScopedFakeGpu()
{
    setDeviceProvider(nullptr);
}

}  // namespace korvalen::testing
