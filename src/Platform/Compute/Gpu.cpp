#include "Platform/Compute/Gpu.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace korvalen::gpu {

namespace {
std::atomic<bool> allDevicesDiscrete{false};
}

Error::Error(const std::string& message, int code) : std::runtime_error(message), code_(code)
{}

// ---------------------------------------------------------------------------------------------
// Mapping

Mapping::Mapping(void* data, std::size_t size, std::function<void()> release)
    : data_(data), size_(size), release_(std::move(release))
{}

Mapping::Mapping(Mapping&& other) noexcept : data_(other.data_), size_(other.size_), release_(std::move(other.release_))
{
    other.data_ = nullptr;
    other.size_ = 0;
    other.release_ = nullptr;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept
{
    if (this != &other) {
        reset();
        data_ = other.data_;
        size_ = other.size_;
        release_ = std::move(other.release_);
        other.data_ = nullptr;
        other.size_ = 0;
        other.release_ = nullptr;
    }
    return *this;
}

Mapping::~Mapping()
{
    reset();
}

void Mapping::reset()
{
    if (release_) {
        auto release = std::move(release_);
        release_ = nullptr;
        release();
    }
    data_ = nullptr;
    size_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Buffer

void Buffer::checkRange(std::size_t offset, std::size_t bytes) const
{
    if (offset > length_ || bytes > length_ - offset) {
        throw Error("Buffer range " + std::to_string(offset) + "+" + std::to_string(bytes) +
                    " lies outside a buffer of " + std::to_string(length_) + " bytes");
    }
}

Mapping Buffer::map(std::size_t offset, std::size_t bytes, MapAccess access)
{
    if (mode_ == StorageMode::private_) throw Error("A private GPU buffer has no CPU view");
    checkRange(offset, bytes);
    if (bytes == 0) return Mapping();
    return mapRange(offset, bytes, access);
}

void Buffer::read(std::size_t offset, void* destination, std::size_t bytes)
{
    if (bytes == 0) {
        checkRange(offset, 0);
        return;
    }
    Mapping view = map(offset, bytes, MapAccess::read);
    std::memcpy(destination, view.data(), bytes);
}

void Buffer::write(std::size_t offset, const void* source, std::size_t bytes)
{
    if (bytes == 0) {
        checkRange(offset, 0);
        return;
    }
    Mapping view = map(offset, bytes, MapAccess::write);
    std::memcpy(view.data(), source, bytes);
}

void Buffer::didModifyRange(std::size_t offset, std::size_t bytes)
{
    if (mode_ != StorageMode::managed || bytes == 0) return;
    checkRange(offset, bytes);
    uploadRange(offset, bytes);
}

// ---------------------------------------------------------------------------------------------
// Encoders

ComputeEncoder::~ComputeEncoder()
{
    if (!ended_) owner_->encoderEnded();
}

void ComputeEncoder::requireOpen() const
{
    if (ended_) throw Error("Compute encoder used after endEncoding");
}

void ComputeEncoder::setPipeline(std::shared_ptr<Pipeline> pipeline)
{
    requireOpen();
    pipeline_ = std::move(pipeline);
}

void ComputeEncoder::setBuffer(std::shared_ptr<Buffer> buffer, std::uint32_t index)
{
    requireOpen();
    if (!buffer) throw Error("No buffer bound at index " + std::to_string(index));
    if (arguments_.size() <= index) arguments_.resize(index + 1);
    arguments_[index] = KernelArgument{std::move(buffer), {}};
}

void ComputeEncoder::setBytes(const void* bytes, std::size_t length, std::uint32_t index)
{
    requireOpen();
    if (length == 0) throw Error("Empty constant at index " + std::to_string(index));
    if (arguments_.size() <= index) arguments_.resize(index + 1);
    KernelArgument argument;
    argument.bytes.resize(length);
    std::memcpy(argument.bytes.data(), bytes, length);
    arguments_[index] = std::move(argument);
}

void ComputeEncoder::dispatchThreads(Size3 grid, Size3 threadsPerGroup)
{
    requireOpen();
    if (!pipeline_) throw Error("Dispatch without a pipeline");
    if (threadsPerGroup.width == 0 || threadsPerGroup.height == 0 || threadsPerGroup.depth == 0) {
        throw Error("Dispatch of " + pipeline_->name() + " with an empty thread group");
    }
    if (grid.width == 0 || grid.height == 0 || grid.depth == 0) return;
    for (std::size_t i = 0; i < arguments_.size(); ++i) {
        if (!arguments_[i]) {
            throw Error("Dispatch of " + pipeline_->name() + " leaves binding " + std::to_string(i) + " unset");
        }
    }
    owner_->record(DispatchCommand{pipeline_, arguments_, grid, threadsPerGroup});
}

void ComputeEncoder::endEncoding()
{
    requireOpen();
    ended_ = true;
    owner_->encoderEnded();
}

BlitEncoder::~BlitEncoder()
{
    if (!ended_) owner_->encoderEnded();
}

void BlitEncoder::requireOpen() const
{
    if (ended_) throw Error("Blit encoder used after endEncoding");
}

void BlitEncoder::copy(std::shared_ptr<Buffer> source, std::size_t sourceOffset, std::shared_ptr<Buffer> destination,
                       std::size_t destinationOffset, std::size_t size)
{
    requireOpen();
    if (!source || !destination) throw Error("Copy without a buffer");
    auto outside = [](const Buffer& b, std::size_t offset, std::size_t n) {
        return offset > b.length() || n > b.length() - offset;
    };
    if (outside(*source, sourceOffset, size) || outside(*destination, destinationOffset, size)) {
        throw Error("Copy of " + std::to_string(size) + " bytes lies outside its buffers");
    }
    if (size == 0) return;
    owner_->record(CopyCommand{std::move(source), sourceOffset, std::move(destination), destinationOffset, size});
}

void BlitEncoder::fill(std::shared_ptr<Buffer> buffer, std::size_t offset, std::size_t size, std::uint8_t value)
{
    requireOpen();
    if (!buffer) throw Error("Fill without a buffer");
    if (offset > buffer->length() || size > buffer->length() - offset) {
        throw Error("Fill of " + std::to_string(size) + " bytes lies outside its buffer");
    }
    if (size == 0) return;
    owner_->record(FillCommand{std::move(buffer), offset, size, value});
}

void BlitEncoder::synchronizeResource(std::shared_ptr<Buffer> buffer)
{
    requireOpen();
    if (!buffer) throw Error("Synchronize without a buffer");
    if (buffer->storageMode() != StorageMode::managed) return;
    owner_->record(SynchronizeCommand{std::move(buffer)});
}

void BlitEncoder::endEncoding()
{
    requireOpen();
    ended_ = true;
    owner_->encoderEnded();
}

// ---------------------------------------------------------------------------------------------
// CommandBuffer

std::unique_ptr<ComputeEncoder> CommandBuffer::makeComputeEncoder()
{
    if (committed_ || encoderOpen_ || !encoderAvailable()) return nullptr;
    encoderOpen_ = true;
    return std::make_unique<ComputeEncoder>(*this);
}

std::unique_ptr<BlitEncoder> CommandBuffer::makeBlitEncoder()
{
    if (committed_ || encoderOpen_ || !encoderAvailable()) return nullptr;
    encoderOpen_ = true;
    return std::make_unique<BlitEncoder>(*this);
}

void CommandBuffer::record(Command command)
{
    if (committed_) throw Error("Command recorded after commit");
    commands_.push_back(std::move(command));
}

void CommandBuffer::commit()
{
    if (committed_) throw Error("Command buffer committed twice");
    if (encoderOpen_) throw Error("Command buffer committed with an encoder still open");
    committed_ = true;
    enqueue(commands_);
}

// ---------------------------------------------------------------------------------------------
// Device

bool Device::hasUnifiedMemory() const
{
    bool discrete = discrete_.has_value() ? *discrete_ : allDevicesDiscrete.load();
    return info_.unifiedMemory && !discrete;
}

void Device::setTreatAsDiscrete(std::optional<bool> discrete)
{
    discrete_ = discrete;
}

void setTreatAllDevicesAsDiscrete(bool discrete)
{
    allDevicesDiscrete.store(discrete);
}

std::shared_ptr<Buffer> Device::makeBuffer(std::size_t length, StorageMode mode)
{
    if (length < 1 || length > maxBufferLength()) return nullptr;
    return allocate(length, mode, nullptr);
}

std::shared_ptr<Buffer> Device::makeBuffer(const void* bytes, std::size_t length, StorageMode mode)
{
    if (length < 1 || length > maxBufferLength() || bytes == nullptr) return nullptr;
    return allocate(length, mode, bytes);
}

std::shared_ptr<Device> DeviceProvider::open(const DeviceInfo& info)
{
    return openOpenCLDevice(info);
}

std::shared_ptr<Device> openDevice(const DeviceInfo& info)
{
    return deviceProvider().open(info);
}

std::string singleLine(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n') {
            out += " | ";
        } else {
            out += text[i];
        }
    }
    return out;
}

void CommandBuffer::waitBriefly(double maxSeconds)
{
    if (maxSeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(maxSeconds));
}

}  // namespace korvalen::gpu
