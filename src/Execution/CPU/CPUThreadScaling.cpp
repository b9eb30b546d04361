// Thread scaling: the same triad over the same 2,000,000 elements, split among growing worker
// counts; the best count's bandwidth is the measurement.

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/WorkerPool.h"
#include "Execution/Shared/TimedLoop.h"
#include "Model/PeakMemoryTracker.h"
#include "Model/SystemProfiler.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/System/ProcessorInfo.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>

namespace korvalen {

namespace {

constexpr std::int64_t elementCount = CPUBenchmarkRunner::threadScalingElements;
constexpr double bytesPerPass = 24'000'000.0;  // 12 bytes per element: two reads and one write
constexpr std::int64_t checksumStride = 1003;
constexpr std::int64_t validationIndices[] = {0, 17'777, 1'000'003, 1'999'999};
// Passes beyond this would keep a candidate busy for hours with no cancellation check inside.
constexpr int maximumPasses = 100'000;

// A raw buffer of floats aligned to a cache line, freed on every way out of the measurement.
class FloatBuffer {
public:
    explicit FloatBuffer(std::int64_t count) : data_(static_cast<float*>(std::aligned_alloc(64, roundedBytes(count))))
    {
        if (!data_) throw std::bad_alloc();
        std::memset(data_.get(), 0, roundedBytes(count));
    }
    float* data() const { return data_.get(); }

private:
    static std::size_t roundedBytes(std::int64_t count)
    {
        return (static_cast<std::size_t>(count) * sizeof(float) + 63) / 64 * 64;
    }
    struct Free {
        void operator()(float* pointer) const { std::free(pointer); }
    };
    std::unique_ptr<float, Free> data_;
};

bool sampleMatches(const float* a, const float* b, const float* c, std::int64_t i)
{
    if (!std::isfinite(c[i])) return false;
    float ref = a[i] * 0.125f + a[i] * b[i];
    if (ref < 0.0f) ref = 0.0f;
    const double tolerance = std::max(std::fabs(static_cast<double>(ref)) * 0.00001, 0.00001);
    return std::fabs(static_cast<double>(c[i]) - static_cast<double>(ref)) <= tolerance;
}

std::vector<int> sanitized(std::vector<int> counts)
{
    std::erase_if(counts, [](int n) { return n < 1; });
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    if (counts.empty()) counts.push_back(1);
    return counts;
}

// The sum of the output's checksum samples; `valid` turns false when a validated sample misses its
// reference (and is not checked again once false).
double checkedOutputSum(const float* a, const float* b, const float* c, bool& valid)
{
    double sampleSum = 0;
    for (std::int64_t i = 0; i < elementCount; i += checksumStride) sampleSum += static_cast<double>(c[i]);
    if (valid) {
        for (std::int64_t i : validationIndices) {
            if (!sampleMatches(a, b, c, i)) {
                valid = false;
                break;
            }
        }
    }
    return sampleSum;
}

// One pool per candidate worker count, its threads started.
std::vector<std::unique_ptr<WorkerPool>> startPools(const std::vector<int>& candidates)
{
    std::vector<std::unique_ptr<WorkerPool>> pools;
    pools.reserve(candidates.size());
    for (int workers : candidates)
        pools.push_back(std::make_unique<WorkerPool>(workers, "KorvalenAI.ThreadScaling." + std::to_string(workers)));
    return pools;
}

// The best worker count (ties go to the smaller: the same bandwidth with fewer threads), its
// bandwidth, and the details naming every candidate's.
struct ScalingSummary {
    int bestWorkers = 0;
    double best = 0;
    std::vector<std::string> details;
};

ScalingSummary summarize(const std::vector<int>& candidates, std::map<int, double>& throughputByWorkers)
{
    int bestWorkers = candidates.front();
    double best = throughputByWorkers[bestWorkers];
    for (const auto& [workers, throughput] : throughputByWorkers) {
        if (throughput > best) {
            best = throughput;
            bestWorkers = workers;
        }
    }
    const auto single = throughputByWorkers.find(1);
    const double efficiency =
        single != throughputByWorkers.end() && single->second > 0 ? best / (single->second * bestWorkers) * 100.0 : 0.0;

    ScalingSummary summary{bestWorkers, best, {}};
    std::vector<std::string>& details = summary.details;
    details.reserve(candidates.size() + 4);
    for (int n : candidates) {
        const auto found = throughputByWorkers.find(n);
        const double throughput = found != throughputByWorkers.end() ? found->second : 0.0;
        details.push_back(std::to_string(n) + " worker(s): " + formatFixed(throughput, 3) + " GB/s");
    }
    details.push_back("Optimal worker count: " + std::to_string(bestWorkers));
    details.push_back("Scaling efficiency at optimum: " + formatFixed(efficiency, 2) + "%");
    details.emplace_back("One unscored warm-up pass completed for every worker-count candidate");
    details.emplace_back("Deterministic output samples were validated after every worker-count candidate");

    return summary;
}

}  // namespace

void CPUBenchmarkRunner::threadScalingTriad(const float* a, const float* b, float* c, std::int64_t begin,
                                            std::int64_t end)
{
    const float* __restrict in1 = a;
    const float* __restrict in2 = b;
    float* __restrict out = c;
    for (std::int64_t i = begin; i < end; ++i) {
        const float v = in1[i] * 0.125f + in1[i] * in2[i];
        out[i] = v >= 0.0f ? v : 0.0f;
    }
}

CPUBenchmarkRunner::Range CPUBenchmarkRunner::workerRange(int worker, int workers, std::int64_t count)
{
    return Range{worker * count / workers, (worker + 1) * count / workers};
}

std::vector<int> CPUBenchmarkRunner::threadScalingCandidates(std::optional<std::uint64_t> physicalCores,
                                                             int activeProcessors)
{
    const std::uint64_t physicalValue = std::max<std::uint64_t>(physicalCores.value_or(1), 1);
    const int physical = static_cast<int>(std::min<std::uint64_t>(physicalValue, INT_MAX));
    const int active = std::max(activeProcessors, 1);
    std::vector<int> counts{1, 2, 4, physical > 1 ? physical / 2 : 1, physical, active};
    std::erase_if(counts, [active](int n) { return n > active; });
    return sanitized(std::move(counts));
}

std::vector<int> CPUBenchmarkRunner::threadScalingCandidates()
{
    return threadScalingCandidates(SystemProfiler::sysctlUInt64("hw.physicalcpu"), sys::usableProcessorCount());
}

int CPUBenchmarkRunner::threadScalingPasses(double durationScale)
{
    const double doubled = std::round(2.0 * durationScale);  // halves away from zero
    if (!(doubled >= 1.0)) return 1;                         // also a scale that is not a number
    return static_cast<int>(std::min(doubled, static_cast<double>(maximumPasses)));
}

KernelMeasurement CPUBenchmarkRunner::runThreadScaling(const AIWorkloadDefinition& workload, double durationScale,
                                                       const BenchmarkCancellationToken& cancellation,
                                                       const ThreadScalingOptions& options)
{
    PeakMemoryTracker tracker;

    const FloatBuffer bufferA(elementCount), bufferB(elementCount), bufferC(elementCount);
    const float* a = bufferA.data();
    const float* b = bufferB.data();
    float* c = bufferC.data();
    fillDeterministicFloats({bufferA.data(), static_cast<std::size_t>(elementCount)}, 31'249);
    fillDeterministicFloats({bufferB.data(), static_cast<std::size_t>(elementCount)}, 31'250);

    const std::vector<int> candidates = options.candidates ? sanitized(*options.candidates) : threadScalingCandidates();
    const int passes = threadScalingPasses(durationScale);
    std::map<int, double> throughputByWorkers;

    // Every worker thread is started here, before the warm-up, and lives until the measurement ends.
    std::vector<std::unique_ptr<WorkerPool>> pools = startPools(candidates);

    const auto runParallelPass = [&](WorkerPool& pool) {
        const int workers = pool.workerCount();
        pool.run([&](int worker) {
            const Range range = workerRange(worker, workers, elementCount);
            threadScalingTriad(a, b, c, range.begin, range.end);
        });
    };

    for (std::size_t k = 0; k < candidates.size(); ++k) {
        checkCancellation(cancellation);
        runParallelPass(*pools[k]);
        pools[k]->rest();  // its workers must not spin on cores the next candidate needs
        if (options.observer) options.observer(candidates[k], true);
    }

    checkCancellation(cancellation);
    KernelMeasurement measurement;
    measurement.startedAt = now();

    bool valid = true;
    double checksum = 0;
    double totalSeconds = 0;
    std::vector<double> latencies;
    latencies.reserve(candidates.size());

    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const int n = candidates[k];
        checkCancellation(cancellation);
        pools[k]->wake();  // rested since its warm-up: waking its threads is no part of a pass

        const double t0 = monotonicSeconds();
        for (int pass = 0; pass < passes; ++pass) runParallelPass(*pools[k]);
        const double t1 = monotonicSeconds();
        pools[k]->rest();
        const double elapsed = t1 - t0;

        throughputByWorkers[n] = passes * bytesPerPass / std::max(elapsed, 1e-6) / 1e9;
        latencies.push_back(elapsed / passes * 1000.0);
        totalSeconds += elapsed;

        checksum += checkedOutputSum(a, b, c, valid);
        tracker.sample();
        if (options.observer) options.observer(n, false);
    }
    pools.clear();

    const ScalingSummary summary = summarize(candidates, throughputByWorkers);
    const double best = summary.best;

    measurement.wallSeconds = totalSeconds;
    measurement.iterations = static_cast<int>(candidates.size()) * passes;
    measurement.workUnits = totalSeconds * best;
    measurement.throughput = best;
    measurement.throughputUnit = workload.throughputUnit;
    measurement.latencySamplesMS = std::move(latencies);
    measurement.memory = tracker.finish();
    return withVerdict(std::move(measurement), valid, checksum, summary.details);
}

}  // namespace korvalen
