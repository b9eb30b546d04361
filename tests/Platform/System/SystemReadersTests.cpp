#include "Platform/System/MachineIdentity.h"
#include "Platform/System/MemoryInfo.h"
#include "Platform/System/ProcessorInfo.h"
#include "Platform/System/SystemFiles.h"
#include "support/FixtureTree.h"

#include <gtest/gtest.h>

namespace korvalen::sys {
namespace {

using test::FixtureTree;

TEST(SystemFiles, ParsesKernelSizesAndCpuLists)
{
    EXPECT_EQ(parseSize("48K"), 48u * 1024);
    EXPECT_EQ(parseSize("32768K\n"), 32u << 20);
    EXPECT_EQ(parseSize("8M"), 8u << 20);
    EXPECT_EQ(parseSize("512"), 512u);
    EXPECT_FALSE(parseSize("K"));
    EXPECT_FALSE(parseSize("12Q"));
    EXPECT_FALSE(parseSize("99999999999999999999K"));

    EXPECT_EQ(parseCpuList("0-3,8,10-11\n"), (std::vector<int>{0, 1, 2, 3, 8, 10, 11}));
    EXPECT_EQ(parseCpuList("5"), std::vector<int>{5});
    // A malformed list must not half-parse into a smaller machine.
    EXPECT_TRUE(parseCpuList("0-3,x").empty());
    EXPECT_TRUE(parseCpuList("3-1").empty());
    EXPECT_TRUE(parseCpuList("0-99999999").empty());
}

TEST(SystemFiles, KeyedValueMatchesWholeKeysOnly)
{
    const std::string cpuinfo = "cpu family\t: 25\ncpu\t\t: POWER9\nmodel name\t: Example CPU\n";
    EXPECT_EQ(keyedValue(cpuinfo, "cpu", ':'), "POWER9");
    EXPECT_EQ(keyedValue(cpuinfo, "model name", ':'), "Example CPU");
    EXPECT_FALSE(keyedValue(cpuinfo, "model", ':'));
    EXPECT_EQ(keyedValue("NAME=x\nPRETTY_NAME=\"Example OS 1\"\n", "PRETTY_NAME", '='), "Example OS 1");
}

void writeCpu(FixtureTree& tree, int cpu, const std::string& siblings)
{
    tree.write("sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/core_cpus_list", siblings + "\n");
}

TEST(ProcessorInfo, ReadsOnlyTheFirstCpuinfoBlock)
{
    FixtureTree tree;
    tree.write("proc/cpuinfo",
               "processor\t: 0\nmodel name\t: Example CPU @ 3.0GHz\nflags\t\t: fpu sse2 avx2\n\n"
               "processor\t: 1\nmodel name\t: Other\nflags\t\t: fpu\n\n");
    const auto identity = readProcessorIdentity(tree.root());
    EXPECT_EQ(identity.name, "Example CPU @ 3.0GHz");
    EXPECT_EQ(identity.features, "fpu sse2 avx2");

    // Arm kernels name no model and call the flags "Features".
    tree.write("proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 48.00\nFeatures\t: fp asimd crc32\n\n");
    const auto arm = readProcessorIdentity(tree.root());
    EXPECT_FALSE(arm.name);
    EXPECT_EQ(arm.features, "fp asimd crc32");

    FixtureTree empty;
    EXPECT_FALSE(readProcessorIdentity(empty.root()).name);
}

TEST(ProcessorInfo, CacheLevelsAndLineSize)
{
    FixtureTree tree;
    const std::string cache = "sys/devices/system/cpu/cpu0/cache/";
    tree.write(cache + "index0/level", "1\n")
        .write(cache + "index0/type", "Data\n")
        .write(cache + "index0/size", "48K\n");
    tree.write(cache + "index0/coherency_line_size", "64\n");
    tree.write(cache + "index1/level", "1\n")
        .write(cache + "index1/type", "Instruction\n")
        .write(cache + "index1/size", "32K\n");
    tree.write(cache + "index2/level", "2\n")
        .write(cache + "index2/type", "Unified\n")
        .write(cache + "index2/size", "1024K\n");

    // No L3, as on many Arm machines: the level is absent, and the instruction cache never
    // stands in for the data cache.
    auto geometry = readCacheGeometry(tree.root());
    EXPECT_EQ(geometry.l1DataBytes, 48u * 1024);
    EXPECT_EQ(geometry.l2Bytes, 1024u * 1024);
    EXPECT_FALSE(geometry.l3Bytes);
    EXPECT_EQ(geometry.lineBytes, 64u);

    tree.write(cache + "index3/level", "3\n")
        .write(cache + "index3/type", "Unified\n")
        .write(cache + "index3/size", "32768K\n");
    geometry = readCacheGeometry(tree.root());
    EXPECT_EQ(geometry.l3Bytes, 32u << 20);

    FixtureTree none;
    geometry = readCacheGeometry(none.root());
    EXPECT_FALSE(geometry.l1DataBytes || geometry.l2Bytes || geometry.l3Bytes || geometry.lineBytes);
}

TEST(ProcessorInfo, CoresFollowTheAffinityMaskAndSharedThreads)
{
    FixtureTree tree;
    // Four cores with two hardware threads each: cpu n and n+4 share a core; cpu 7 is offline.
    for (int cpu = 0; cpu < 8; ++cpu) writeCpu(tree, cpu, std::to_string(cpu % 4) + "," + std::to_string(cpu % 4 + 4));
    tree.write("sys/devices/system/cpu/online", "0-6\n").write("sys/devices/system/cpu/present", "0-7\n");
    tree.write("proc/self/status", "Name:\tkorvalen\nCpus_allowed:\tff\nCpus_allowed_list:\t0-7\n");

    const auto all = allowedCpus(tree.root());
    EXPECT_EQ(all, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(physicalCoreCount(all, tree.root()), 4);
    EXPECT_EQ(presentCpuCount(tree.root()), 8);

    // Pinned to both threads of core 0 and one thread of core 1.
    tree.write("proc/self/status", "Cpus_allowed_list:\t0,4,1\n");
    const auto pinned = allowedCpus(tree.root());
    EXPECT_EQ(pinned.size(), 3u);
    EXPECT_EQ(physicalCoreCount(pinned, tree.root()), 2);

    // Older kernels: package and core numbers only.
    FixtureTree old;
    for (int cpu = 0; cpu < 4; ++cpu) {
        const std::string topology = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        old.write(topology + "physical_package_id", "0\n").write(topology + "core_id", std::to_string(cpu / 2) + "\n");
    }
    EXPECT_EQ(physicalCoreCount({0, 1, 2, 3}, old.root()), 2);
    EXPECT_FALSE(physicalCoreCount({0, 1, 2, 3, 4}, old.root()));  // cpu4 has no topology
}

TEST(MemoryInfo, AvailableSwapAndOldKernels)
{
    FixtureTree tree;
    tree.write("proc/meminfo",
               "MemTotal:       16777216 kB\nMemFree:         1048576 kB\nMemAvailable:    8388608 kB\n"
               "Buffers:          102400 kB\nCached:          2097152 kB\nShmem:            524288 kB\n"
               "SwapTotal:       4194304 kB\nSwapFree:        3670016 kB\n");
    auto memory = readMemoryInfo(tree.root());
    EXPECT_EQ(memory.totalBytes, 16ull << 30);
    EXPECT_EQ(memory.availableBytes, 8ull << 30);
    EXPECT_EQ(memory.swapUsedBytes, 512ull << 20);

    // Without MemAvailable: free plus buffers and page cache, less shared memory.
    tree.write("proc/meminfo",
               "MemTotal:       16777216 kB\nMemFree:         1048576 kB\nBuffers:          102400 kB\n"
               "Cached:          2097152 kB\nShmem:            524288 kB\nSwapTotal:             0 kB\nSwapFree:       "
               "       0 kB\n");
    memory = readMemoryInfo(tree.root());
    EXPECT_EQ(memory.availableBytes, (1048576ull + 102400 + 2097152 - 524288) * 1024);
    EXPECT_EQ(memory.swapUsedBytes, 0u);

    tree.write("proc/meminfo", "MemTotal:       16777216 kB\n");
    memory = readMemoryInfo(tree.root());
    EXPECT_FALSE(memory.availableBytes);
    EXPECT_FALSE(memory.swapUsedBytes);

    FixtureTree none;
    EXPECT_FALSE(readMemoryInfo(none.root()).totalBytes);
}

TEST(MemoryInfo, InstalledMemoryCountsOnlineBlocksElseMemTotal)
{
    FixtureTree tree;
    tree.write("proc/meminfo", "MemTotal:       24682404 kB\n");
    EXPECT_EQ(physicalMemoryBytes(tree.root()), 24682404ull * 1024);  // no block list

    tree.write("sys/devices/system/memory/block_size_bytes", "8000000\n");  // 128 MiB, in hexadecimal
    tree.write("sys/devices/system/memory/memory0/online", "1\n");
    tree.write("sys/devices/system/memory/memory1/online", "1\n");
    tree.write("sys/devices/system/memory/memory2/online", "0\n");
    tree.write("sys/devices/system/memory/memory3/state", "online\n");  // cannot go offline: no "online" file
    tree.write("sys/devices/system/memory/auto_online_blocks", "online\n");
    EXPECT_EQ(physicalMemoryBytes(tree.root()), 3ull << 27);

    tree.write("sys/devices/system/memory/block_size_bytes", "128M\n");  // unreadable size
    EXPECT_EQ(physicalMemoryBytes(tree.root()), 24682404ull * 1024);

    FixtureTree none;
    EXPECT_FALSE(physicalMemoryBytes(none.root()));
}

TEST(MachineIdentity, ModelAndOperatingSystem)
{
    FixtureTree tree;
    EXPECT_FALSE(hardwareModel(tree.root()));
    EXPECT_EQ(operatingSystemVersion(tree.root()), "Linux");

    tree.write("sys/firmware/devicetree/base/model", std::string("Example Board Rev 1.2\0", 22));
    EXPECT_EQ(hardwareModel(tree.root()), "Example Board Rev 1.2");
    // DMI wins over the device tree, unless it holds a vendor placeholder.
    tree.write("sys/devices/virtual/dmi/id/product_name", "To Be Filled By O.E.M.\n");
    EXPECT_EQ(hardwareModel(tree.root()), "Example Board Rev 1.2");
    tree.write("sys/devices/virtual/dmi/id/product_name", "Example Laptop 13\n");
    EXPECT_EQ(hardwareModel(tree.root()), "Example Laptop 13");
    tree.write("sys/class/dmi/id/product_name", "Example Laptop 13 Gen 2\n");
    EXPECT_EQ(hardwareModel(tree.root()), "Example Laptop 13 Gen 2");

    // Without a product name the board's name, then the device tree; a hypervisor only when the
    // firmware names nothing at all.
    FixtureTree board;
    board.write("proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu sse2 hypervisor avx2\n\n");
    EXPECT_EQ(hardwareModel(board.root()), "Virtual machine");
    board.write("sys/class/dmi/id/product_name", "Default string\n");
    board.write("sys/class/dmi/id/board_name", "Example Board X570\n");
    EXPECT_EQ(hardwareModel(board.root()), "Example Board X570");
    board.write("proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu sse2 hypervisor_like\n\n");
    board.write("sys/class/dmi/id/board_name", "None\n");
    EXPECT_FALSE(hardwareModel(board.root()));

    tree.write("usr/lib/os-release", "NAME=Example\nPRETTY_NAME=\"Example OS 7 (quiet)\"\n");
    tree.write("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    EXPECT_EQ(operatingSystemVersion(tree.root()), "Example OS 7 (quiet), Linux 6.1.0-18-amd64");
}

}  // namespace
}  // namespace korvalen::sys
