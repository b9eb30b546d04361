#include "Execution/Engine/AIBenchmarkEngine.h"

#include "Model/AIBenchmarkError.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/NumberFormat.h"

#include <algorithm>
#include <array>
#include <map>

namespace korvalen {
namespace {

using W = AIWorkloadID;

constexpr std::size_t cycleLength = 6;
// The Neural Engine runs only model workloads, so its cycle swaps the kernel members for models.
constexpr std::array<W, cycleLength> neuralEngineCycle{W::imageClassification, W::textEmbeddings,
                                                       W::llmPromptProcessing, W::llmTokenGeneration,
                                                       W::speechRecognition,   W::audioClassification};
constexpr std::array<W, cycleLength> standardCycle{W::imageClassification, W::transformerAttention,
                                                   W::matrixFP32,          W::audioClassification,
                                                   W::llmTokenGeneration,  W::tensorAllocation};

constexpr double partDurationScale = 0.08;
constexpr double minimumTotalSeconds = 15.0;
constexpr double scoreFactor = 1000.0;
constexpr double baselineFloor = 1e-6;

double sum(const std::vector<double>& values, std::size_t from, std::size_t count)
{
    double total = 0;
    for (std::size_t i = from; i < from + count; ++i) total += values[i];
    return total;
}

// Last third of the series against the first third, in percent.
double retentionPercent(const std::vector<double>& series)
{
    const std::size_t n = series.size();
    const std::size_t k = n >= 3 ? n / 3 : 1;
    const std::size_t taken = std::min(n, k);
    const double first = sum(series, 0, taken) / static_cast<double>(k);
    const double last = sum(series, n - taken, taken) / static_cast<double>(k);
    return first > 0 ? last / first * 100 : 0;
}

// "key: count" items joined with ", ", in the order of the map's sort keys.
std::string countText(const std::map<std::string, std::pair<std::string, int>>& counts)
{
    std::string text;
    for (const auto& [key, item] : counts) {
        if (!text.empty()) text += ", ";
        text += item.first + ": " + std::to_string(item.second);
    }
    return text;
}

void count(std::map<std::string, std::pair<std::string, int>>& counts, std::string key, std::string shown)
{
    auto [it, inserted] = counts.try_emplace(std::move(key), std::move(shown), 0);
    ++it->second.second;
}

using Counts = std::map<std::string, std::pair<std::string, int>>;

// Automatic mode: every member picks its backend by brief runs, keeping the canonical backend unless
// another beats it by the guard band.
template <typename PartRun>
std::map<W, AIBackend> calibrateMembers(const AIBenchmarkEngine& engine, const std::array<W, cycleLength>& cycle,
                                        const BenchmarkCancellationToken& token, const PartRun& partRun)
{
    std::map<W, AIBackend> chosen;
    for (W member : cycle) {
        if (token.isCancelled()) throw AIBenchmarkError::cancelled();
        const AIWorkloadDefinition& def = AIWorkloadCatalog::definitions().at(member);
        std::vector<AIBenchmarkEngine::CalibrationEntry> entries;
        for (AIBackend b : engine.availableBackends(def)) {
            try {
                const KernelMeasurement p = partRun(def, b);
                const bool stable = AIBenchmarkEngine::calibrationStability(p, member).stable;
                entries.push_back({b, p.throughput, AIBenchmarkEngine::calibrationMeasurementIsValid(p) && stable});
            } catch (...) {
                if (token.isCancelled()) throw AIBenchmarkError::cancelled();
                entries.push_back({b, 0, false});
            }
        }
        const auto choice = AIBenchmarkEngine::calibrationChoice(entries, engine.canonicalBackend(def));
        if (!choice) {
            throw AIBenchmarkError::invalidOutput(
                "Automatic sustained calibration produced no stable valid backend for " + def.title);
        }
        chosen[member] = choice->backend;
    }
    return chosen;
}

// What the measured phase gathers, part by part.
struct SustainedTally {
    std::vector<double> partScores, currentRound, roundScores, latencies;
    std::vector<std::string> thermalSamples;
    Counts workloadCounts, backendCounts;
    double minimumAccuracy = 1.0;
    double checksum = 0;

    void addScore(const AIWorkloadDefinition& def, const KernelMeasurement& p)
    {
        const double baseline = def.baselineThroughput > baselineFloor ? def.baselineThroughput : baselineFloor;
        const double score = p.throughput * scoreFactor / baseline;
        partScores.push_back(score);
        currentRound.push_back(score);
        if (currentRound.size() == cycleLength) {
            roundScores.push_back(sum(currentRound, 0, cycleLength) / static_cast<double>(cycleLength));
            currentRound.clear();
        }
    }

    void addPart(const AIWorkloadDefinition& def, AIBackend b, const KernelMeasurement& p, std::string thermal)
    {
        minimumAccuracy = std::min(minimumAccuracy, p.accuracy);
        thermalSamples.push_back(std::move(thermal));
        count(workloadCounts, std::string(rawValue(def.id)), def.title);
        count(backendCounts, std::string(rawValue(b)), std::string(rawValue(b)));
        checksum += p.checksum;
    }

    bool wholeRoundsDone() const { return partScores.size() >= cycleLength && currentRound.empty(); }
};

// The record of the measured phase: cycle scores, retention over whole rounds, the counts by
// workload, backend and thermal state.
KernelMeasurement sustainedMeasurement(SustainedTally tally, Date startedAt, double wall, AIMemoryStats memory,
                                       AIBackend backend, const std::optional<AIGPUProfile>& profile)
{
    const std::vector<double>& partScores = tally.partScores;
    const double retention = retentionPercent(tally.roundScores.empty() ? partScores : tally.roundScores);
    const double average = sum(partScores, 0, partScores.size()) / static_cast<double>(partScores.size());
    const double minimum = *std::min_element(partScores.begin(), partScores.end());
    const double maximum = *std::max_element(partScores.begin(), partScores.end());

    Counts thermalCounts;
    for (const std::string& t : tally.thermalSamples) count(thermalCounts, t, t);

    KernelMeasurement m;
    m.startedAt = startedAt;
    m.wallSeconds = wall;
    m.iterations = static_cast<int>(partScores.size());
    m.workUnits = wall * average;
    m.throughput = average;
    m.throughputUnit = AIWorkloadCatalog::definitions().at(W::mixedSustained).throughputUnit;
    m.latencySamplesMS = std::move(tally.latencies);
    m.memory = memory;
    m.accuracy = tally.minimumAccuracy;
    m.checksum = tally.checksum;
    m.details = {
        "Mixed workload cycles: " + countText(tally.workloadCounts),
        "Complete sustained rounds: " + std::to_string(tally.roundScores.size()),
        "Backend cycles: " + countText(tally.backendCounts),
        "Selected Metal GPU: " + (profile ? profile->name : std::string("No selected Metal GPU")),
        backend == AIBackend::automatic
            ? "Automatic sustained mode calibrated every participating AI workload before the measured loop"
            : "Sustained mode used the requested backend with CPU fallback only when required",
        "Peak cycle score: " + formatFixed(maximum, 0),
        "Average cycle score: " + formatFixed(average, 0),
        "Minimum cycle score: " + formatFixed(minimum, 0),
        "Performance retention: " + formatFixed(retention, 2) + "%",
        "Thermal states: " + countText(thermalCounts),
    };
    m.retention = retention;
    m.thermalStateSamples = std::move(tally.thermalSamples);
    return m;
}

}  // namespace

KernelMeasurement AIBenchmarkEngine::runSustained(AIBackend backend, double durationScale,
                                                  std::optional<std::uint64_t> gpuRegistryID) const
{
    if (!cancellation) {
        AIBenchmarkEngine copy = *this;
        copy.cancellation = std::make_shared<BenchmarkCancellationToken>();
        return copy.runSustained(backend, durationScale, gpuRegistryID);
    }
    const BenchmarkCancellationToken& token = *cancellation;
    const auto& catalog = AIWorkloadCatalog::definitions();
    const auto& cycle = backend == AIBackend::neuralEnginePreferred ? neuralEngineCycle : standardCycle;
    const MonotonicClock& uptime = runners.uptimeSeconds;
    auto partRun = [&](const AIWorkloadDefinition& member, AIBackend b) {
        return measure(member, b, b == AIBackend::gpu ? gpuRegistryID : std::nullopt, partDurationScale);
    };
    const std::map<W, AIBackend> chosen =
        backend == AIBackend::automatic ? calibrateMembers(*this, cycle, token, partRun) : std::map<W, AIBackend>{};
    auto partBackend = [&](const AIWorkloadDefinition& def) {
        if (backend == AIBackend::automatic) return chosen.at(def.id);
        if (def.supports(backend)) {
            if (backend == AIBackend::cpu) return AIBackend::cpu;
            if (backend == AIBackend::gpu && gpuUsable()) return AIBackend::gpu;
            if (backend == AIBackend::neuralEnginePreferred && neuralEngineUsable()) return backend;
        }
        return AIBackend::cpu;  // every member runs on the CPU
    };

    // The measured phase: calibration above is neither timed nor part of the measurement.
    PeakMemoryTracker tracker = runners.residentMB ? PeakMemoryTracker(runners.residentMB) : PeakMemoryTracker();
    const Date startedAt = now();
    const double t0 = uptime();
    if (token.isCancelled()) throw AIBenchmarkError::cancelled();
    const double scaledTotal = durationScale * catalog.at(W::mixedSustained).baseDuration;
    // Written so that a scale that is not a number still gets the minimum, not an endless loop.
    const double total = scaledTotal > minimumTotalSeconds ? scaledTotal : minimumTotalSeconds;

    SustainedTally tally;
    for (std::size_t i = 0;; ++i) {
        const AIWorkloadDefinition& def = catalog.at(cycle[i % cycleLength]);
        const AIBackend b = partBackend(def);
        const double s0 = uptime();
        const KernelMeasurement p = partRun(def, b);
        if (!calibrationMeasurementIsValid(p)) {
            throw AIBenchmarkError::invalidOutput("Sustained submeasurement failed integrity validation for " +
                                                  def.title + " on " + std::string(rawValue(b)));
        }
        tally.addScore(def, p);
        tally.latencies.push_back((uptime() - s0) * 1000);
        tally.addPart(def, b, p, thermalStateText());
        tracker.sample();

        const double elapsed = uptime() - t0;
        if (elapsed >= total && tally.wholeRoundsDone()) break;
        if (token.isCancelled()) throw AIBenchmarkError::cancelled();
    }
    const double wall = uptime() - t0;
    return sustainedMeasurement(std::move(tally), startedAt, wall, tracker.finish(), backend,
                                gpuProfile(gpuRegistryID));
}

}  // namespace korvalen
