// Memory pressure: anonymous regions of 64, 128, 256 and 512 MiB, one at a time, mapped, written
// in full, read back in samples and released, up to a ceiling set by the machine's memory.

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/MappedRegion.h"
#include "Execution/Shared/TimedLoop.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/System/MemoryInfo.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

namespace korvalen {

namespace {

constexpr std::uint64_t mebibyte = 1ull << 20;
constexpr std::size_t patternLength = 1024;

// region[i] = (i AND 1023) / 1024. The values repeat every 1024 elements, so one period is computed
// once and copied: the same stores at the speed of the memory rather than of the conversions.
void fillRegion(float* region, std::size_t count)
{
    static const std::array<float, patternLength> pattern = [] {
        std::array<float, patternLength> values{};
        for (std::size_t j = 0; j < patternLength; ++j) values[j] = static_cast<float>(j) * 0.0009765625f;
        return values;
    }();
    std::size_t i = 0;
    for (; i + patternLength <= count; i += patternLength) std::memcpy(region + i, pattern.data(), sizeof(pattern));
    for (; i < count; ++i) region[i] = static_cast<float>(i & 1023) * 0.0009765625f;
}

}  // namespace

CPUBenchmarkRunner::MemoryPressureLadder CPUBenchmarkRunner::memoryPressureLadder(std::uint64_t physicalMemoryBytes)
{
    MemoryPressureLadder ladder;
    ladder.ceilingMiB = physicalMemoryBytes >= (1ull << 29)
                            ? static_cast<int>(std::min<std::uint64_t>(physicalMemoryBytes / (1ull << 23), 512))
                            : 64;
    ladder.stepsMiB.push_back(64);
    for (int step : {128, 256, 512})
        if (ladder.ceilingMiB >= step) ladder.stepsMiB.push_back(step);
    return ladder;
}

std::uint64_t CPUBenchmarkRunner::physicalMemoryBytes()
{
    if (const auto installed = sys::physicalMemoryBytes()) return *installed;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) : 0;
}

KernelMeasurement CPUBenchmarkRunner::runMemoryPressure(const AIWorkloadDefinition& workload,
                                                        const BenchmarkCancellationToken& cancellation,
                                                        const MemoryPressureOptions& options)
{
    PeakMemoryTracker tracker;
    KernelMeasurement measurement;
    measurement.startedAt = now();
    const MemoryPressureLadder ladder =
        memoryPressureLadder(options.physicalMemoryBytes.value_or(physicalMemoryBytes()));
    const double start = monotonicSeconds();

    bool valid = true;
    double checksum = 0;
    double totalBytes = 0;
    std::vector<double> latencies;
    std::vector<std::string> details;

    for (int step : ladder.stepsMiB) {
        checkCancellation(cancellation);
        const std::size_t bytes = static_cast<std::size_t>(step) * mebibyte;
        const std::size_t count = bytes / sizeof(float);

        const double t0 = monotonicSeconds();
        // Released (don't-need, then unmapped) when the step ends, however it ends.
        MappedRegion region(bytes);
        if (!region.data())
            throw AIBenchmarkError::allocationFailed("Unable to map " + std::to_string(step) +
                                                     " MiB for the AI memory pressure ladder");
        float* values = static_cast<float*>(region.data());
        fillRegion(values, count);
        double stepSum = 0;
        for (std::size_t i = 0; i < count; i += 1024) stepSum += static_cast<double>(values[i]);
        tracker.sample();
        const double t1 = monotonicSeconds();
        const double latency = (t1 - t0) * 1000.0;
        latencies.push_back(latency);

        valid = valid && std::isfinite(stepSum) && std::isfinite(values[count / 2]);
        details.push_back(std::to_string(step) + " MiB mapped tensor: " + formatFixed(latency, 2) + " ms");
        totalBytes += 2.0 * static_cast<double>(bytes);
        checksum += stepSum;
        if (options.observer) options.observer(step, region.data(), bytes);
    }

    const double end = monotonicSeconds();
    const double wallSeconds = end - start;
    details.push_back("Safe allocation ceiling: " + std::to_string(ladder.ceilingMiB) +
                      " MiB (one eighth of physical memory, capped at 512 MiB)");

    measurement.wallSeconds = wallSeconds;
    measurement.iterations = static_cast<int>(ladder.stepsMiB.size());
    measurement.workUnits = totalBytes / 1e9;
    measurement.throughput = totalBytes / std::max(wallSeconds, 1e-6) / 1e9;
    measurement.throughputUnit = workload.throughputUnit;
    measurement.latencySamplesMS = std::move(latencies);
    measurement.memory = tracker.finish();
    return withVerdict(std::move(measurement), valid, checksum, std::move(details));
}

}  // namespace korvalen
