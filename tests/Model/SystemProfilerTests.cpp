#include "Model/SystemProfiler.h"
#include "support/FixtureTree.h"

#include <gtest/gtest.h>

namespace korvalen {
namespace {

using test::FixtureTree;

class ListProvider : public gpu::DeviceProvider {
public:
    std::vector<gpu::DeviceInfo> list;
    std::vector<gpu::DeviceInfo> devices() override { return list; }
};

gpu::DeviceInfo device(std::uint64_t id, std::string name)
{
    gpu::DeviceInfo info;
    info.registryID = id;
    info.name = std::move(name);
    info.unifiedMemory = true;
    info.globalMemoryBytes = 6ull << 30;
    info.maxAllocationBytes = 1536ull << 20;
    info.currentAllocatedBytes = 1ull << 19;
    return info;
}

// A four-core laptop with two threads per core, pinned to cores 0 and 1, on battery.
void laptop(FixtureTree& tree)
{
    tree.write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Example CPU 9000\nflags\t\t: fpu sse2 avx2\n\n");
    tree.write("sys/devices/virtual/dmi/id/product_name", "Example Laptop 14\n");
    tree.write("etc/os-release", "PRETTY_NAME=\"Example OS 7\"\n").write("proc/sys/kernel/osrelease", "6.1.0\n");
    for (int cpu = 0; cpu < 8; ++cpu) {
        tree.write("sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/core_cpus_list",
                   std::to_string(cpu % 4) + "," + std::to_string(cpu % 4 + 4) + "\n");
    }
    tree.write("sys/devices/system/cpu/online", "0-7\n").write("sys/devices/system/cpu/present", "0-7\n");
    tree.write("proc/self/status", "Cpus_allowed_list:\t0-1,4-5\n");
    const std::string cache = "sys/devices/system/cpu/cpu0/cache/";
    tree.write(cache + "index0/level", "1\n")
        .write(cache + "index0/type", "Data\n")
        .write(cache + "index0/size", "48K\n");
    tree.write(cache + "index0/coherency_line_size", "64\n");
    tree.write(cache + "index2/level", "2\n")
        .write(cache + "index2/type", "Unified\n")
        .write(cache + "index2/size", "1280K\n");
    tree.write("proc/meminfo",
               "MemTotal:       16777216 kB\nMemAvailable:    4194304 kB\n"
               "SwapTotal:       2097152 kB\nSwapFree:        1572864 kB\n");
    tree.write("sys/class/power_supply/AC/type", "Mains\n").write("sys/class/power_supply/AC/online", "0\n");
    tree.write("sys/class/power_supply/BAT0/type", "Battery\n")
        .write("sys/class/power_supply/BAT0/status", "Discharging\n");
    tree.write("sys/class/power_supply/BAT0/capacity", "57\n");
}

class SystemProfilerTest : public ::testing::Test {
protected:
    void SetUp() override { gpu::setDeviceProvider(provider); }
    void TearDown() override
    {
        gpu::setDeviceProvider(nullptr);
        SystemProfiler::setNeuralEngineProbe(nullptr);
    }
    std::shared_ptr<ListProvider> provider = std::make_shared<ListProvider>();
};

TEST_F(SystemProfilerTest, FullProfileOfALaptop)
{
    FixtureTree tree;
    laptop(tree);
    provider->list = {device(11, "Example iGPU"), device(22, "Example dGPU")};

    const auto profile = SystemProfiler::current(tree.root());
    EXPECT_EQ(profile.computerName, "Computer");
    EXPECT_EQ(profile.modelIdentifier, "Example Laptop 14");
    EXPECT_EQ(profile.cpuName, "Example CPU 9000");
    EXPECT_EQ(profile.logicalCores, 4);
    EXPECT_EQ(profile.physicalCores, 2);
    EXPECT_DOUBLE_EQ(profile.memoryGB, 16.0);
    EXPECT_EQ(profile.osVersion, "Example OS 7, Linux 6.1.0");
    EXPECT_EQ(profile.appVersion, "1.1 (47)");
    EXPECT_EQ(profile.runningUnderRosetta, false);

    EXPECT_EQ(profile.gpuName, "Example iGPU");
    EXPECT_EQ(profile.gpuRegistryID, 11u);
    ASSERT_TRUE(profile.gpuProfiles);
    ASSERT_EQ(profile.gpuProfiles->size(), 2u);
    const auto& gpu = profile.gpuProfiles->front();
    EXPECT_EQ(gpu.registryID, 11u);
    EXPECT_TRUE(gpu.unifiedMemory);
    EXPECT_DOUBLE_EQ(gpu.recommendedWorkingSetMB, 6144.0);
    EXPECT_DOUBLE_EQ(gpu.maxBufferMB, 1536.0);
    EXPECT_DOUBLE_EQ(gpu.currentAllocatedMB, 0.5);

    EXPECT_FALSE(profile.neuralEngineAvailable);
    EXPECT_EQ(profile.neuralEngineProbe, "Probe unavailable: OlvaneVisionNet.mlmodelc is missing");

    ASSERT_TRUE(profile.cpuCapabilities);
    EXPECT_EQ(profile.cpuCapabilities->featureString, "fpu sse2 avx2");
    EXPECT_EQ(profile.cpuCapabilities->cacheLineBytes, 64);
    EXPECT_EQ(profile.cpuCapabilities->l1DataKB, 48);
    EXPECT_EQ(profile.cpuCapabilities->l2KB, 1280);
    EXPECT_FALSE(profile.cpuCapabilities->l3KB);

    ASSERT_TRUE(profile.power);
    EXPECT_EQ(profile.power->source, "Battery");
    EXPECT_EQ(profile.power->batteryPercent, 57);
    EXPECT_FALSE(profile.power->lowPowerMode);
    EXPECT_EQ(profile.availableMemoryGB, 4.0);
    EXPECT_EQ(profile.swapUsedGB, 0.5);
}

TEST_F(SystemProfilerTest, BareMachineWithoutDevices)
{
    FixtureTree tree;  // nothing readable at all
    const auto profile = SystemProfiler::current(tree.root());
    EXPECT_EQ(profile.modelIdentifier, "Unknown");
    EXPECT_EQ(profile.cpuName, "Unknown CPU");
    EXPECT_GE(profile.logicalCores, 1);
    EXPECT_GE(profile.physicalCores, 1);
    EXPECT_EQ(profile.cpuCapabilities->featureString, "Architecture-native vector instructions");
    EXPECT_FALSE(profile.cpuCapabilities->cacheLineBytes || profile.cpuCapabilities->l1DataKB);
    EXPECT_EQ(profile.power->source, "Unknown");
    EXPECT_FALSE(profile.availableMemoryGB);
    EXPECT_FALSE(profile.swapUsedGB);

    EXPECT_EQ(profile.gpuName, "No Metal GPU");
    EXPECT_FALSE(profile.gpuRegistryID);
    ASSERT_TRUE(profile.gpuProfiles);
    EXPECT_TRUE(profile.gpuProfiles->empty());
    EXPECT_FALSE(SystemProfiler::metalDevice(std::nullopt));

    // Without a processor name the model stands in, as the firmware knows the machine.
    tree.write("sys/devices/virtual/dmi/id/product_name", "Example Tower\n");
    EXPECT_EQ(SystemProfiler::current(tree.root()).cpuName, "Example Tower");
}

TEST_F(SystemProfilerTest, SnapshotRereadsConditionsAndKeepsTheRest)
{
    FixtureTree tree;
    laptop(tree);
    provider->list = {device(11, "Example iGPU"), device(22, "Example dGPU")};
    auto base = SystemProfiler::current(tree.root());
    base.gpuRegistryID = 22;  // the user selected the second GPU
    base.gpuName = "Example dGPU";

    tree.write("sys/class/power_supply/AC/online", "1\n").write("sys/class/power_supply/BAT0/status", "Charging\n");
    tree.write("sys/firmware/acpi/platform_profile", "low-power\n");
    tree.write("proc/meminfo", "MemTotal:       16777216 kB\nMemAvailable:    1048576 kB\n");
    tree.write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Changed\n\n");
    provider->list[1].currentAllocatedBytes = 64ull << 20;

    const auto snapshot = SystemProfiler::runtimeSnapshot(base, tree.root());
    EXPECT_EQ(snapshot.power->source, "AC Power");
    EXPECT_TRUE(snapshot.power->lowPowerMode);
    EXPECT_EQ(snapshot.availableMemoryGB, 1.0);
    EXPECT_FALSE(snapshot.swapUsedGB);
    EXPECT_EQ(snapshot.gpuRegistryID, 22u);
    EXPECT_EQ(snapshot.gpuName, "Example dGPU");
    EXPECT_DOUBLE_EQ(snapshot.gpuProfiles->at(1).currentAllocatedMB, 64.0);
    EXPECT_EQ(snapshot.cpuName, "Example CPU 9000");  // not re-read
    EXPECT_EQ(snapshot.cpuCapabilities, base.cpuCapabilities);
    EXPECT_EQ(snapshot.neuralEngineProbe, base.neuralEngineProbe);
}

TEST_F(SystemProfilerTest, SelectedGPUVanishedBetweenLaunchAndRun)
{
    FixtureTree tree;
    laptop(tree);
    provider->list = {device(11, "Example iGPU"), device(22, "Example eGPU")};
    auto base = SystemProfiler::current(tree.root());
    base.gpuRegistryID = 22;
    base.gpuName = "Example eGPU";

    provider->list.pop_back();
    auto snapshot = SystemProfiler::runtimeSnapshot(base, tree.root());
    EXPECT_EQ(snapshot.gpuRegistryID, 11u);
    EXPECT_EQ(snapshot.gpuName, "Example iGPU");
    ASSERT_EQ(snapshot.gpuProfiles->size(), 1u);
    EXPECT_FALSE(SystemProfiler::metalDevice(22));
    EXPECT_EQ(SystemProfiler::metalDevice(11)->name, "Example iGPU");
    EXPECT_EQ(SystemProfiler::metalDevice(std::nullopt)->registryID, 11u);

    provider->list.clear();
    snapshot = SystemProfiler::runtimeSnapshot(base, tree.root());
    EXPECT_FALSE(snapshot.gpuRegistryID);
    EXPECT_EQ(snapshot.gpuName, "No Metal GPU");
    EXPECT_TRUE(snapshot.gpuProfiles->empty());
}

TEST_F(SystemProfilerTest, NamedSystemValues)
{
    FixtureTree tree;
    laptop(tree);
    EXPECT_EQ(SystemProfiler::sysctlUInt64("hw.physicalcpu", tree.root()), 2u);
    EXPECT_EQ(SystemProfiler::sysctlUInt64("hw.l1dcachesize", tree.root()), 48u * 1024);
    EXPECT_EQ(SystemProfiler::sysctlUInt64("hw.cachelinesize", tree.root()), 64u);
    EXPECT_FALSE(SystemProfiler::sysctlUInt64("hw.l3cachesize", tree.root()));
    EXPECT_FALSE(SystemProfiler::sysctlUInt64("sysctl.proc_translated", tree.root()));
    EXPECT_FALSE(SystemProfiler::sysctlUInt64("hw.nonsense", tree.root()));
    EXPECT_EQ(SystemProfiler::sysctlString("machdep.cpu.brand_string", tree.root()), "Example CPU 9000");
    EXPECT_FALSE(SystemProfiler::sysctlString("machdep.cpu.leaf7_features", tree.root()));
    EXPECT_FALSE(SystemProfiler::sysctlString("hw.physicalcpu", tree.root()));

    // An existing but empty value reads as absent.
    tree.write("sys/devices/virtual/dmi/id/product_name", "\n");
    EXPECT_FALSE(SystemProfiler::sysctlString("hw.model", tree.root()));
}

TEST_F(SystemProfilerTest, NeuralEngineProbeSeam)
{
    SystemProfiler::setNeuralEngineProbe([] { return NeuralEngineProbeResult{true, "validated"}; });
    FixtureTree tree;
    const auto profile = SystemProfiler::current(tree.root());
    EXPECT_TRUE(profile.neuralEngineAvailable);
    EXPECT_EQ(profile.neuralEngineProbe, "validated");
    SystemProfiler::setNeuralEngineProbe(nullptr);
    EXPECT_EQ(SystemProfiler::neuralEngineProbe().detail, SystemProfiler::probeMissingModelDetail);
}

}  // namespace
}  // namespace korvalen
