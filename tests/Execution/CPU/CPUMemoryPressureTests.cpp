#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/MappedRegion.h"
#include "Model/AIBenchmarkError.h"
#include "Model/AIVocabulary.h"
#include "Model/BenchmarkCancellationToken.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace korvalen {
namespace {

using Runner = CPUBenchmarkRunner;
constexpr std::uint64_t MiB = 1ull << 20;

// Whether some mapping of this process covers `address`, from /proc/self/maps.
bool isMapped(const void* address)
{
    const auto target = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::uintptr_t start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx", &start, &end) == 2 && start <= target && target < end) return true;
    }
    return false;
}

TEST(MemoryPressureLadder, CeilingFromPhysicalMemory)
{
    struct Case {
        std::uint64_t physical;
        int ceiling;
        std::vector<int> steps;
    };
    const Case cases[] = {
        {16ull << 30, 512, {64, 128, 256, 512}},
        {4ull << 30, 512, {64, 128, 256, 512}},
        {3ull << 30, 384, {64, 128, 256}},
        {1ull << 30, 128, {64, 128}},
        {768 * MiB, 96, {64}},
        {512 * MiB, 64, {64}},
        {512 * MiB - 1, 64, {64}},
        {256 * MiB, 64, {64}},
        {0, 64, {64}},  // unknown memory still runs the first step
    };
    for (const Case& c : cases) {
        const Runner::MemoryPressureLadder ladder = Runner::memoryPressureLadder(c.physical);
        EXPECT_EQ(ladder.ceilingMiB, c.ceiling) << c.physical;
        EXPECT_EQ(ladder.stepsMiB, c.steps) << c.physical;
    }
    EXPECT_GT(Runner::physicalMemoryBytes(), 0u);
}

TEST(MemoryPressureRun, WalksTheLadderAndReleasesEveryRegion)
{
    BenchmarkCancellationToken token;
    Runner::MemoryPressureOptions options;
    options.physicalMemoryBytes = 1ull << 30;
    std::vector<const void*> regions;
    options.observer = [&](int stepMiB, const void* region, std::size_t bytes) {
        EXPECT_EQ(bytes, static_cast<std::size_t>(stepMiB) * MiB);
        EXPECT_TRUE(isMapped(region));
        regions.push_back(region);
    };
    const KernelMeasurement m = Runner::runMemoryPressure(definition(AIWorkloadID::memoryPressure), token, options);

    ASSERT_EQ(regions.size(), 2u);
    for (const void* region : regions) EXPECT_FALSE(isMapped(region));
    EXPECT_TRUE(isWellFormed(m));
    EXPECT_EQ(m.iterations, 2);
    EXPECT_EQ(m.latencySamplesMS.size(), 2u);
    EXPECT_DOUBLE_EQ(m.workUnits, 2.0 * 192 * MiB / 1e9);
    EXPECT_DOUBLE_EQ(m.throughput, m.workUnits / m.wallSeconds);
    EXPECT_EQ(m.checksum, 0.0);  // every sampled element is a multiple of 1024 apart: value 0
    EXPECT_EQ(m.accuracy, 1.0);
    EXPECT_EQ(m.throughputUnit, definition(AIWorkloadID::memoryPressure).throughputUnit);
    EXPECT_GE(m.memory.peakMB, m.memory.startMB);
    ASSERT_EQ(m.details.size(), 3u);
    EXPECT_EQ(m.details[0].rfind("64 MiB mapped tensor: ", 0), 0u);
    EXPECT_TRUE(m.details[0].ends_with(" ms"));
    EXPECT_EQ(m.details[1].rfind("128 MiB mapped tensor: ", 0), 0u);
    EXPECT_EQ(m.details[2], "Safe allocation ceiling: 128 MiB (one eighth of physical memory, capped at 512 MiB)");
}

TEST(MemoryPressureRun, CancellationLeavesNothingMapped)
{
    BenchmarkCancellationToken token;
    Runner::MemoryPressureOptions options;
    options.physicalMemoryBytes = 16ull << 30;
    std::vector<const void*> regions;
    options.observer = [&](int, const void* region, std::size_t) {
        regions.push_back(region);
        token.cancel();
    };
    try {
        Runner::runMemoryPressure(definition(AIWorkloadID::memoryPressure), token, options);
        ADD_FAILURE() << "not cancelled";
    } catch (const AIBenchmarkError& error) {
        EXPECT_EQ(error.errorDescription(), "Benchmark cancelled.");
    }
    ASSERT_EQ(regions.size(), 1u);  // the 128 MiB step never starts
    EXPECT_FALSE(isMapped(regions.front()));

    token.reset();
    token.cancel();
    EXPECT_THROW(Runner::runMemoryPressure(definition(AIWorkloadID::memoryPressure), token, options), AIBenchmarkError);
    EXPECT_EQ(regions.size(), 1u);
}

// Runs the ladder in a process whose address space cannot grow by 64 MiB; prints the error text.
[[noreturn]] void runLadderWithoutRoom()
{
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) std::_Exit(2);
    std::fclose(statm);
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + 32 * MiB;
    const rlimit cap{limit, limit};
    if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(3);
    BenchmarkCancellationToken token;
    try {
        Runner::runMemoryPressure(definition(AIWorkloadID::memoryPressure), token, {});
    } catch (const AIBenchmarkError& error) {
        std::cerr << error.errorDescription() << std::endl;
        std::_Exit(0);
    }
    std::_Exit(1);
}

TEST(MemoryPressureRun, FailedMappingIsReportedWithItsStep)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runLadderWithoutRoom(), ::testing::ExitedWithCode(0),
                "Tensor allocation failed: Unable to map 64 MiB for the AI memory pressure ladder");
}

TEST(MappedRegionTest, OwnsItsMappingUntilDestroyedOrMoved)
{
    const void* address = nullptr;
    {
        MappedRegion first(4 * MiB);
        ASSERT_NE(first.data(), nullptr);
        EXPECT_EQ(first.size(), 4 * MiB);
        static_cast<char*>(first.data())[4 * MiB - 1] = 1;
        address = first.data();
        MappedRegion second(std::move(first));
        EXPECT_EQ(first.data(), nullptr);
        EXPECT_EQ(second.data(), address);
        EXPECT_TRUE(isMapped(address));
        MappedRegion third(MiB);
        const void* thirdAddress = third.data();
        third = std::move(second);  // releases third's own mapping
        EXPECT_FALSE(isMapped(thirdAddress));
        EXPECT_EQ(third.data(), address);
    }
    EXPECT_FALSE(isMapped(address));
    EXPECT_EQ(MappedRegion(0).data(), nullptr);
}

}  // namespace
}  // namespace korvalen
