#include "Platform/Compute/GpuDevices.h"

#include <CL/cl.h>
#include <CL/cl_ext.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <unordered_map>

namespace korvalen::gpu {

namespace {

std::string trimmedText(std::string text)
{
    // Driver strings may carry their terminating NUL and padding blanks.
    const auto nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A text property through one of the OpenCL info queries (clGetPlatformInfo, clGetDeviceInfo);
// empty when it cannot be read.
template <typename Handle, typename Info>
std::string infoText(cl_int (*query)(Handle, Info, std::size_t, void*, std::size_t*), Handle handle, Info what)
{
    std::size_t size = 0;
    if (query(handle, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
    std::string text(size, '\0');
    if (query(handle, what, size, text.data(), nullptr) != CL_SUCCESS) return {};
    return trimmedText(std::move(text));
}

std::string platformText(cl_platform_id platform, cl_platform_info what)
{
    return infoText(&clGetPlatformInfo, platform, what);
}

std::string deviceText(cl_device_id device, cl_device_info what)
{
    return infoText(&clGetDeviceInfo, device, what);
}

template <typename T>
std::optional<T> deviceValue(cl_device_id device, cl_device_info what)
{
    T value{};
    if (clGetDeviceInfo(device, what, sizeof value, &value, nullptr) != CL_SUCCESS) return std::nullopt;
    return value;
}

bool hasExtension(const std::string& extensions, std::string_view name)
{
    std::size_t at = 0;
    while ((at = extensions.find(name, at)) != std::string::npos) {
        const bool startsWord = at == 0 || extensions[at - 1] == ' ';
        const std::size_t after = at + name.size();
        if (startsWord && (after == extensions.size() || extensions[after] == ' ')) return true;
        at = after;
    }
    return false;
}

// What tells two otherwise identical boards apart: the device UUID, else its PCI address.
std::string hex(std::uint64_t value, int width)
{
    char digits[17];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    std::string text(digits, end);
    if (static_cast<int>(text.size()) < width) text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
    return text;
}

std::string busOrUUID(cl_device_id device, const std::string& extensions)
{
    if (hasExtension(extensions, "cl_khr_device_uuid")) {
        cl_uchar uuid[CL_UUID_SIZE_KHR] = {};
        if (clGetDeviceInfo(device, CL_DEVICE_UUID_KHR, sizeof uuid, uuid, nullptr) == CL_SUCCESS) {
            std::string text = "uuid:";
            for (const cl_uchar byte : uuid) text += hex(byte, 2);
            return text;
        }
    }
    if (hasExtension(extensions, "cl_khr_pci_bus_info")) {
        cl_device_pci_bus_info_khr bus{};
        if (clGetDeviceInfo(device, CL_DEVICE_PCI_BUS_INFO_KHR, sizeof bus, &bus, nullptr) == CL_SUCCESS) {
            return "pci:" + hex(bus.pci_domain, 4) + ":" + hex(bus.pci_bus, 2) + ":" + hex(bus.pci_device, 2) + "." +
                   hex(bus.pci_function, 1);
        }
    }
    return {};
}

struct NativeDevice {
    DeviceInfo info;
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
};

std::mutex allocationMutex;
std::unordered_map<std::uint64_t, std::uint64_t> allocatedBytes;

std::uint64_t allocatedOn(std::uint64_t registryID)
{
    std::lock_guard lock(allocationMutex);
    const auto it = allocatedBytes.find(registryID);
    return it == allocatedBytes.end() ? 0 : it->second;
}

// Every usable OpenCL device in the order the driver lists them, GPUs and accelerators first;
// CPU-type devices only when there is no other.
std::vector<NativeDevice> enumerateDevices()
{
    cl_uint platformCount = 0;
    // No platform at all (CL_PLATFORM_NOT_FOUND_KHR) or a broken loader: no device.
    if (clGetPlatformIDs(0, nullptr, &platformCount) != CL_SUCCESS || platformCount == 0) return {};
    std::vector<cl_platform_id> platforms(platformCount);
    if (clGetPlatformIDs(platformCount, platforms.data(), nullptr) != CL_SUCCESS) return {};

    std::vector<NativeDevice> accelerators;
    std::vector<NativeDevice> processors;
    std::map<std::tuple<std::string, std::string, std::string, std::string, std::string>, int> seen;
    for (const cl_platform_id platform : platforms) {
        cl_uint deviceCount = 0;
        if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 0, nullptr, &deviceCount) != CL_SUCCESS || deviceCount == 0)
            continue;
        std::vector<cl_device_id> devices(deviceCount);
        if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, deviceCount, devices.data(), nullptr) != CL_SUCCESS) continue;
        const std::string platformName = platformText(platform, CL_PLATFORM_NAME);

        for (const cl_device_id device : devices) {
            NativeDevice entry;
            entry.platform = platform;
            entry.device = device;
            DeviceInfo& info = entry.info;
            info.platformName = platformName;
            info.name = deviceText(device, CL_DEVICE_NAME);
            info.vendor = deviceText(device, CL_DEVICE_VENDOR);
            info.driverVersion = deviceText(device, CL_DRIVER_VERSION);
            const std::string extensions = deviceText(device, CL_DEVICE_EXTENSIONS);
            const std::string vendorID = "0x" + hex(deviceValue<cl_uint>(device, CL_DEVICE_VENDOR_ID).value_or(0), 1);
            const std::string bus = busOrUUID(device, extensions);

            // Counted before any device is skipped, so a device that is busy or offline for a
            // moment does not renumber its twins.
            const int ordinal = seen[{platformName, vendorID, info.name, info.driverVersion, bus}]++;
            info.registryID = registryIdentifier(platformName, vendorID, info.name, info.driverVersion, bus, ordinal);

            // Our kernels are compiled from source at run time: a device without a compiler is no use.
            if (!deviceValue<cl_bool>(device, CL_DEVICE_AVAILABLE).value_or(CL_FALSE) ||
                !deviceValue<cl_bool>(device, CL_DEVICE_COMPILER_AVAILABLE).value_or(CL_FALSE))
                continue;

            const auto type = deviceValue<cl_device_type>(device, CL_DEVICE_TYPE).value_or(0);
            if (type & CL_DEVICE_TYPE_GPU)
                info.kind = DeviceKind::gpu;
            else if (type & CL_DEVICE_TYPE_ACCELERATOR)
                info.kind = DeviceKind::accelerator;
            else if (type & CL_DEVICE_TYPE_CPU)
                info.kind = DeviceKind::cpu;
            else
                continue;  // custom devices run only built-in kernels

            info.unifiedMemory =
                deviceValue<cl_bool>(device, CL_DEVICE_HOST_UNIFIED_MEMORY).value_or(CL_FALSE) == CL_TRUE ||
                info.kind == DeviceKind::cpu;  // a CPU device works in host memory
            info.globalMemoryBytes = deviceValue<cl_ulong>(device, CL_DEVICE_GLOBAL_MEM_SIZE).value_or(0);
            info.maxAllocationBytes = deviceValue<cl_ulong>(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE).value_or(0);
            info.removable = false;  // OpenCL cannot tell a pluggable enclosure from a fixed board
            // Only GPUs drive displays; whether one actually does, OpenCL does not say.
            info.headless = info.kind != DeviceKind::gpu;
            info.currentAllocatedBytes = allocatedOn(info.registryID);
            (info.kind == DeviceKind::cpu ? processors : accelerators).push_back(std::move(entry));
        }
    }

    std::vector<NativeDevice> listed = accelerators.empty() ? std::move(processors) : std::move(accelerators);
    // Low power means the integrated GPU of a machine that also has a discrete one.
    const bool hasDiscreteGPU = std::any_of(listed.begin(), listed.end(), [](const NativeDevice& d) {
        return d.info.kind == DeviceKind::gpu && !d.info.unifiedMemory;
    });
    for (auto& entry : listed)
        entry.info.lowPower = hasDiscreteGPU && entry.info.kind == DeviceKind::gpu && entry.info.unifiedMemory;
    return listed;
}

class OpenCLDeviceProvider final : public DeviceProvider {
public:
    std::vector<DeviceInfo> devices() override
    {
        std::vector<DeviceInfo> infos;
        for (auto& entry : enumerateDevices()) infos.push_back(std::move(entry.info));
        return infos;
    }
};

struct ProviderSlot {
    std::mutex mutex;
    std::shared_ptr<DeviceProvider> current;
    // deviceProvider() hands out references; a replaced provider stays alive so that a caller
    // still holding one never sees it destroyed. Only tests replace providers.
    std::vector<std::shared_ptr<DeviceProvider>> retired;
};

ProviderSlot& providerSlot()
{
    static ProviderSlot slot;
    return slot;
}

std::shared_ptr<DeviceProvider> realProvider()
{
    static const auto provider = std::make_shared<OpenCLDeviceProvider>();
    return provider;
}

}  // namespace

DeviceProvider& deviceProvider()
{
    auto& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.current) slot.current = realProvider();
    return *slot.current;
}

void setDeviceProvider(std::shared_ptr<DeviceProvider> provider)
{
    auto& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    if (slot.current && slot.current != realProvider()) slot.retired.push_back(slot.current);
    slot.current = provider ? std::move(provider) : realProvider();
}

std::uint64_t registryIdentifier(const std::string& platformName, const std::string& vendorID,
                                 const std::string& deviceName, const std::string& driverVersion,
                                 const std::string& busOrUUID, int ordinalAmongIdentical)
{
    // FNV-1a over each part and its length, so that no two different part lists hash the same
    // text; folded to 53 bits so that the value survives a trip through a JSON double.
    std::uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&hash](std::string_view part) {
        const std::uint64_t length = part.size();
        for (int shift = 0; shift < 64; shift += 8) {
            hash ^= (length >> shift) & 0xffu;
            hash *= 0x100000001b3ull;
        }
        for (const unsigned char byte : part) {
            hash ^= byte;
            hash *= 0x100000001b3ull;
        }
    };
    mix(platformName);
    mix(vendorID);
    mix(deviceName);
    mix(driverVersion);
    mix(busOrUUID);
    mix(std::to_string(ordinalAmongIdentical));
    constexpr std::uint64_t mask = (1ull << 53) - 1;
    const std::uint64_t identifier = (hash ^ (hash >> 53)) & mask;
    return identifier == 0 ? 1 : identifier;
}

std::optional<NativeDeviceHandles> nativeDevice(std::uint64_t registryID)
{
    for (const auto& entry : enumerateDevices()) {
        if (entry.info.registryID == registryID) return NativeDeviceHandles{entry.platform, entry.device};
    }
    return std::nullopt;
}

void recordDeviceAllocation(std::uint64_t registryID, std::int64_t deltaBytes)
{
    std::lock_guard lock(allocationMutex);
    auto& held = allocatedBytes[registryID];
    if (deltaBytes >= 0)
        held += static_cast<std::uint64_t>(deltaBytes);
    else
        held -= std::min(held, static_cast<std::uint64_t>(-deltaBytes));
}

}  // namespace korvalen::gpu
