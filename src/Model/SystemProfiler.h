#pragma once

#include "Model/AIRecords.h"
#include "Platform/Compute/GpuDevices.h"
#include "Platform/System/SystemFiles.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

struct NeuralEngineProbeResult {
    bool available = false;
    std::string detail;
};

// Describes the machine a run is planned and scored against. Everything is read from /proc and
// /sys under `root` ("/" on a live machine; tests pass a fixture tree) and from the gpu:: device
// provider; nothing runs a child process, so a profile costs well under a millisecond beyond the
// device enumeration. Stateless apart from the probe seam; callable from any thread.
namespace SystemProfiler {

// The full profile, taken once at launch.
AISystemProfile current(const sys::Root& root = "/");

// A copy of `base` with what can change while the application runs read again: power, available
// memory, swap, and the GPU list with the selected (else default) GPU.
AISystemProfile runtimeSnapshot(const AISystemProfile& base, const sys::Root& root = "/");

// The device with that registry identifier, or with none given the default device (the first
// of the list); no value when there is no such device.
std::optional<gpu::DeviceInfo> metalDevice(std::optional<std::uint64_t> registryID);

// Whether the device with this registry identifier is an OpenCL device of the processor type,
// standing in for a GPU the machine does not have. Profiles do not store it; the device list is
// asked once per provider.
bool isProcessorDevice(std::uint64_t registryID);

// The few system values the profiler and the thread-scaling workload ask for by name:
//   strings: "hw.model", "machdep.cpu.brand_string", "machdep.cpu.features",
//            "machdep.cpu.leaf7_features", "machdep.cpu.extfeatures"
//   numbers: "hw.physicalcpu", "hw.cachelinesize", "hw.l1dcachesize", "hw.l2cachesize",
//            "hw.l3cachesize", "sysctl.proc_translated"
// Linux lists every processor feature under "machdep.cpu.features" and never translates a
// process, so the other two feature names and "sysctl.proc_translated" have no value; so does
// every unknown name, an empty text and a cache level the machine lacks.
std::optional<std::string> sysctlString(std::string_view name, const sys::Root& root = "/");
std::optional<std::uint64_t> sysctlUInt64(std::string_view name, const sys::Root& root = "/");

// The run conditions: "AC Power", "Battery" or "Unknown", the battery charge and low-power mode.
AIPowerProfile powerProfile(const sys::Root& root = "/");
std::optional<double> availableMemoryGB(const sys::Root& root = "/");
std::optional<double> swapUsedGB(const sys::Root& root = "/");

// Whether the Neural Engine configuration of the model runtime completes a validated prediction.
// The runtime installs its probe at start-up; until then the probe reports the model missing.
NeuralEngineProbeResult neuralEngineProbe();
void setNeuralEngineProbe(std::function<NeuralEngineProbeResult()> probe);  // nullptr restores the default
inline constexpr std::string_view probeMissingModelDetail = "Probe unavailable: OlvaneVisionNet.mlmodelc is missing";

// The devices as the profiler sees them, and one device as a stored profile.
std::vector<gpu::DeviceInfo> deviceList();
AIGPUProfile gpuProfile(const gpu::DeviceInfo& device);

// "1.1 (47)": short version and build number, each defaulted when missing.
std::string appVersion(const std::optional<std::string>& shortVersion, const std::optional<std::string>& buildVersion);

inline constexpr std::string_view noGPUName = "No Metal GPU";

}  // namespace SystemProfiler

}  // namespace korvalen
