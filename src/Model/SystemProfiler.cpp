#include "Model/SystemProfiler.h"

#include "Platform/System/MachineIdentity.h"
#include "Platform/System/MemoryInfo.h"
#include "Platform/System/PowerStatus.h"
#include "Platform/System/ProcessorInfo.h"

#include <algorithm>
#include <memory>
#include <mutex>

namespace korvalen::SystemProfiler {

namespace {

constexpr double bytesPerMB = 1048576.0;
constexpr double bytesPerGB = 1073741824.0;

std::optional<double> inGB(std::optional<std::uint64_t> bytes)
{
    if (!bytes) return std::nullopt;
    return static_cast<double>(*bytes) / bytesPerGB;
}

std::string powerSourceText(sys::PowerSource source)
{
    switch (source) {
    case sys::PowerSource::mains: return "AC Power";
    case sys::PowerSource::battery: return "Battery";
    case sys::PowerSource::unknown: return "Unknown";
    }
    return "Unknown";
}

std::optional<std::uint64_t> cacheBytes(std::string_view name, const sys::Root& root)
{
    const auto caches = sys::readCacheGeometry(root);
    if (name == "hw.cachelinesize") return caches.lineBytes;
    if (name == "hw.l1dcachesize") return caches.l1DataBytes;
    if (name == "hw.l2cachesize") return caches.l2Bytes;
    return caches.l3Bytes;
}

std::optional<int> kilobytes(std::optional<std::uint64_t> bytes)
{
    if (!bytes || *bytes / 1024 == 0) return std::nullopt;
    return static_cast<int>(std::min<std::uint64_t>(*bytes / 1024, INT32_MAX));
}

AICPUCapabilities cpuCapabilities(const sys::Root& root, const sys::ProcessorIdentity& processor)
{
    AICPUCapabilities capabilities;
    capabilities.featureString = processor.features.value_or("Architecture-native vector instructions");
    const auto caches = sys::readCacheGeometry(root);
    if (caches.lineBytes)
        capabilities.cacheLineBytes = static_cast<int>(std::min<std::uint64_t>(*caches.lineBytes, INT32_MAX));
    capabilities.l1DataKB = kilobytes(caches.l1DataBytes);
    capabilities.l2KB = kilobytes(caches.l2Bytes);
    capabilities.l3KB = kilobytes(caches.l3Bytes);
    return capabilities;
}

// Fields that change while the application runs, shared by both profile operations.
void readRuntimeConditions(AISystemProfile& profile, const sys::Root& root)
{
    profile.power = powerProfile(root);
    const auto memory = sys::readMemoryInfo(root);
    profile.availableMemoryGB = inGB(memory.availableBytes);
    profile.swapUsedGB = inGB(memory.swapUsedBytes);
}

std::vector<AIGPUProfile> gpuProfiles(const std::vector<gpu::DeviceInfo>& devices)
{
    std::vector<AIGPUProfile> profiles;
    profiles.reserve(devices.size());
    for (const auto& device : devices) profiles.push_back(gpuProfile(device));
    return profiles;
}

struct ProbeSlot {
    std::mutex mutex;
    std::shared_ptr<const std::function<NeuralEngineProbeResult()>> probe;
};

ProbeSlot& probeSlot()
{
    static ProbeSlot slot;
    return slot;
}

}  // namespace

std::optional<std::string> sysctlString(std::string_view name, const sys::Root& root)
{
    std::optional<std::string> value;
    if (name == "hw.model")
        value = sys::hardwareModel(root);
    else if (name == "machdep.cpu.brand_string")
        value = sys::readProcessorIdentity(root).name;
    else if (name == "machdep.cpu.features")
        value = sys::readProcessorIdentity(root).features;
    if (value && value->empty()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> sysctlUInt64(std::string_view name, const sys::Root& root)
{
    if (name == "hw.physicalcpu") {
        const auto cores = sys::physicalCoreCount(sys::allowedCpus(root), root);
        if (!cores) return std::nullopt;
        return static_cast<std::uint64_t>(*cores);
    }
    if (name == "hw.cachelinesize" || name == "hw.l1dcachesize" || name == "hw.l2cachesize" || name == "hw.l3cachesize")
        return cacheBytes(name, root);
    return std::nullopt;
}

AIPowerProfile powerProfile(const sys::Root& root)
{
    const auto status = sys::readPowerStatus(root);
    AIPowerProfile power;
    power.source = powerSourceText(status.source);
    power.batteryPercent = status.batteryPercent;
    power.lowPowerMode = status.lowPowerMode;
    return power;
}

std::optional<double> availableMemoryGB(const sys::Root& root)
{
    return inGB(sys::readMemoryInfo(root).availableBytes);
}

std::optional<double> swapUsedGB(const sys::Root& root)
{
    return inGB(sys::readMemoryInfo(root).swapUsedBytes);
}

NeuralEngineProbeResult neuralEngineProbe()
{
    std::shared_ptr<const std::function<NeuralEngineProbeResult()>> probe;
    {
        auto& slot = probeSlot();
        std::lock_guard lock(slot.mutex);
        probe = slot.probe;
    }
    if (!probe) return {false, std::string(probeMissingModelDetail)};
    return (*probe)();
}

void setNeuralEngineProbe(std::function<NeuralEngineProbeResult()> probe)
{
    auto& slot = probeSlot();
    std::lock_guard lock(slot.mutex);
    slot.probe = probe ? std::make_shared<const std::function<NeuralEngineProbeResult()>>(std::move(probe)) : nullptr;
}

std::vector<gpu::DeviceInfo> deviceList()
{
    return gpu::deviceProvider().devices();
}

AIGPUProfile gpuProfile(const gpu::DeviceInfo& device)
{
    AIGPUProfile profile;
    profile.name = device.name;
    profile.registryID = device.registryID;
    profile.lowPower = device.lowPower;
    profile.removable = device.removable;
    profile.headless = device.headless;
    profile.unifiedMemory = device.unifiedMemory;
    // The memory the driver grants one program on the device is what it recommends using.
    profile.recommendedWorkingSetMB = static_cast<double>(device.globalMemoryBytes) / bytesPerMB;
    profile.currentAllocatedMB = static_cast<double>(device.currentAllocatedBytes) / bytesPerMB;
    profile.maxBufferMB = static_cast<double>(device.maxAllocationBytes) / bytesPerMB;
    return profile;
}

std::string appVersion(const std::optional<std::string>& shortVersion, const std::optional<std::string>& buildVersion)
{
    return shortVersion.value_or("1.1") + " (" + buildVersion.value_or("47") + ")";
}

std::optional<gpu::DeviceInfo> metalDevice(std::optional<std::uint64_t> registryID)
{
    auto devices = deviceList();
    if (!registryID) {
        if (devices.empty()) return std::nullopt;
        return std::move(devices.front());
    }
    for (auto& device : devices) {
        if (device.registryID == *registryID) return std::move(device);
    }
    return std::nullopt;
}

bool isProcessorDevice(std::uint64_t registryID)
{
    // Device kinds do not change while the process runs; a replaced provider (tests) is kept
    // alive by its slot, so its address is never reused.
    static std::mutex mutex;
    static const gpu::DeviceProvider* listedFrom = nullptr;
    static std::vector<std::uint64_t> processorIDs;
    gpu::DeviceProvider& provider = gpu::deviceProvider();
    std::lock_guard lock(mutex);
    if (listedFrom != &provider) {
        processorIDs.clear();
        for (const auto& device : provider.devices())
            if (device.kind == gpu::DeviceKind::cpu) processorIDs.push_back(device.registryID);
        listedFrom = &provider;
    }
    return std::find(processorIDs.begin(), processorIDs.end(), registryID) != processorIDs.end();
}

AISystemProfile current(const sys::Root& root)
{
    AISystemProfile profile;
    const auto processor = sys::readProcessorIdentity(root);
    const auto model = sys::hardwareModel(root);

    profile.computerName = "Computer";  // the machine's own name is never recorded
    profile.modelIdentifier = model.value_or("Unknown");
    profile.cpuName = processor.name ? *processor.name : model.value_or("Unknown CPU");
    profile.architecture = std::string(sys::buildArchitecture());

    const auto allowed = sys::allowedCpus(root);
    const int present = sys::presentCpuCount(root).value_or(1);
    profile.logicalCores = allowed.empty() ? present : static_cast<int>(allowed.size());
    const auto physical = sys::physicalCoreCount(allowed, root);
    // Hardware threads never outnumber the cores they run on; a count that says otherwise comes
    // from the fallback, which ignores this process's CPU mask.
    profile.physicalCores =
        std::clamp<std::int64_t>(physical.value_or(present), 1, std::max<std::int64_t>(profile.logicalCores, 1));

    profile.memoryGB = inGB(sys::physicalMemoryBytes(root)).value_or(0);
    profile.osVersion = sys::operatingSystemVersion(root);

    const auto devices = deviceList();
    if (devices.empty()) {
        profile.gpuName = std::string(noGPUName);
    } else {
        profile.gpuName = devices.front().name;
        profile.gpuRegistryID = devices.front().registryID;
    }
    profile.gpuProfiles = gpuProfiles(devices);

    const auto probe = neuralEngineProbe();
    profile.neuralEngineAvailable = probe.available;
    profile.neuralEngineProbe = probe.detail;

#if defined(KORVALEN_APP_SHORT_VERSION) && defined(KORVALEN_APP_BUILD_VERSION)
    profile.appVersion = appVersion(KORVALEN_APP_SHORT_VERSION, KORVALEN_APP_BUILD_VERSION);
#else
    profile.appVersion = appVersion(std::nullopt, std::nullopt);
#endif
    profile.runningUnderRosetta = false;  // Linux never runs a process translated
    profile.cpuCapabilities = cpuCapabilities(root, processor);
    readRuntimeConditions(profile, root);
    return profile;
}

AISystemProfile runtimeSnapshot(const AISystemProfile& base, const sys::Root& root)
{
    AISystemProfile snapshot = base;
    readRuntimeConditions(snapshot, root);

    const auto devices = deviceList();
    snapshot.gpuProfiles = gpuProfiles(devices);
    const gpu::DeviceInfo* chosen = devices.empty() ? nullptr : &devices.front();
    if (base.gpuRegistryID) {
        const auto selected = std::find_if(devices.begin(), devices.end(), [&](const gpu::DeviceInfo& d) {
            return d.registryID == *base.gpuRegistryID;
        });
        if (selected != devices.end()) chosen = &*selected;
    }
    if (chosen) {
        snapshot.gpuName = chosen->name;
        snapshot.gpuRegistryID = chosen->registryID;
    } else {
        snapshot.gpuName = std::string(noGPUName);
        snapshot.gpuRegistryID.reset();
    }
    return snapshot;
}

}  // namespace korvalen::SystemProfiler
