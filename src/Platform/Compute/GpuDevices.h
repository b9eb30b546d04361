#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Handle types of the OpenCL runtime, without pulling its headers into every includer.
typedef struct _cl_platform_id* cl_platform_id;
typedef struct _cl_device_id* cl_device_id;

namespace korvalen::gpu {

class Device;

enum class DeviceKind { gpu, accelerator, cpu };

// What the rest of the program knows of one OpenCL device. GPUs and accelerators are listed first;
// CPU-type devices stand in only when the machine has no other, so the GPU path runs everywhere.
struct DeviceInfo {
    std::uint64_t registryID = 0;  // stable across enumerations; non-zero, below 2^53
    std::string name;
    std::string vendor;
    std::string platformName;
    std::string driverVersion;
    DeviceKind kind = DeviceKind::gpu;
    bool unifiedMemory = false;  // host-unified memory (integrated GPU, or the CPU itself)
    bool removable = false;
    bool lowPower = false;
    bool headless = false;
    std::uint64_t globalMemoryBytes = 0;
    std::uint64_t maxAllocationBytes = 0;
    std::uint64_t currentAllocatedBytes = 0;  // what this process holds on the device
};

// The seam between the program and the OpenCL runtime: tests hand in a fake.
class DeviceProvider {
public:
    virtual ~DeviceProvider() = default;
    virtual std::vector<DeviceInfo> devices() = 0;
    // Opens one of the listed devices for compute work; nullptr when it cannot be opened. The
    // default finds the OpenCL device with the same registry identifier (Gpu.h).
    virtual std::shared_ptr<Device> open(const DeviceInfo& info);
};

// The provider in force for the process: the real OpenCL one unless a test replaced it.
DeviceProvider& deviceProvider();
void setDeviceProvider(std::shared_ptr<DeviceProvider> provider);  // nullptr restores the real one

// Stable 64-bit identity of a device from what the driver reports; shared by the profiler and the
// context cache so both name a device the same way.
std::uint64_t registryIdentifier(const std::string& platformName, const std::string& vendorID,
                                 const std::string& deviceName, const std::string& driverVersion,
                                 const std::string& busOrUUID, int ordinalAmongIdentical);

// The OpenCL handles behind a device of the real list, found by registry identifier; no value for
// an identifier no OpenCL device has now. Handles are owned by the driver and never released.
struct NativeDeviceHandles {
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
};
std::optional<NativeDeviceHandles> nativeDevice(std::uint64_t registryID);

// Bytes this process holds on a device (positive when allocating, negative when releasing); the
// device list reports the running total as `currentAllocatedBytes`.
void recordDeviceAllocation(std::uint64_t registryID, std::int64_t deltaBytes);

}  // namespace korvalen::gpu
