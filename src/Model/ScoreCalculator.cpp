#include "Model/ScoreCalculator.h"

#include "Model/KernelMeasurement.h"
#include "Model/LatencyCalculator.h"
#include "Platform/Foundation/NumberFormat.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <string_view>

namespace korvalen::ScoreCalculator {
namespace {

constexpr std::string_view calibrationFailureText = "Automatic backend calibration produced no stable valid candidate";

bool finitePositive(double v)
{
    return std::isfinite(v) && v > 0;
}

// Non-finite numbers never reach a stored result.
double clean(double v)
{
    return std::isfinite(v) ? v : 0;
}
double cleanNotNegative(double v)
{
    return std::isfinite(v) && v >= 0 ? v : 0;
}
std::optional<double> cleanNotNegative(std::optional<double> v)
{
    if (!v) return std::nullopt;
    return cleanNotNegative(*v);
}

bool optionalFigureUsable(std::optional<double> v)
{
    return !v || (std::isfinite(*v) && *v >= 0);
}

bool statisticsUsable(const AILatencyStats& s)
{
    return finitePositive(s.minimumMS) && finitePositive(s.medianMS) && finitePositive(s.p95MS) &&
           finitePositive(s.maximumMS) && finitePositive(s.averageMS) && optionalFigureUsable(s.p90MS) &&
           optionalFigureUsable(s.p99MS) && optionalFigureUsable(s.standardDeviationMS) &&
           optionalFigureUsable(s.coefficientOfVariation) && optionalFigureUsable(s.confidence95HalfWidthMS);
}

// A machine whose total memory is unknown (non-finite) still gets the 1 GB floor.
bool availableMemoryBelowThreshold(double availableGB, double memoryGB)
{
    return availableGB < std::fmax(0.05 * memoryGB, 1.0);
}

bool availableMemoryVerifiable(const std::optional<double>& availableGB)
{
    return availableGB && std::isfinite(*availableGB) && *availableGB >= 0;
}

std::string percentText(double fraction)
{
    return formatFixed(fraction * 100, 2) + "%";
}
std::string millisecondsText(double ms)
{
    return formatFixed(ms, 4) + " ms";
}

bool inUniversalSet(const AIBenchmarkResult& r)
{
    return r.scoreRole == AIScoreRole::universal || r.scoreRole == AIScoreRole::universalAndPlatform;
}

bool inPlatformSet(const AIBenchmarkResult& r)
{
    return r.scoreRole == AIScoreRole::platform || r.scoreRole == AIScoreRole::universalAndPlatform;
}

bool isUsable(const AIBenchmarkResult& r)
{
    return r.valid && finitePositive(r.score);
}

// An automatic-backend platform result that found no stable calibration candidate, while the same
// workload has a usable universal result: it was replaced, not lost, so it does not count against
// the run. Only stored sessions carry that error text.
bool isSupersededCalibrationFailure(const AIBenchmarkResult& r, const std::vector<AIBenchmarkResult>& all)
{
    if (r.valid || r.backend != AIBackend::automatic || r.scoreRole != AIScoreRole::platform) return false;
    if (!r.error || r.error->find(calibrationFailureText) == std::string::npos) return false;
    return std::any_of(all.begin(), all.end(), [&](const AIBenchmarkResult& other) {
        return other.workloadID == r.workloadID && isUsable(other) && inUniversalSet(other);
    });
}

using Results = std::vector<AIBenchmarkResult>;

Results filtered(const Results& results, const std::function<bool(const AIBenchmarkResult&)>& keep)
{
    Results out;
    std::copy_if(results.begin(), results.end(), std::back_inserter(out), keep);
    return out;
}

// Best result per workload (first of equal scores wins), ordered by the workload's raw value.
Results bestByWorkload(const Results& results)
{
    std::map<AIWorkloadID, std::size_t> best;
    for (std::size_t i = 0; i < results.size(); ++i) {
        auto [it, inserted] = best.try_emplace(results[i].workloadID, i);
        if (!inserted && results[i].score > results[it->second].score) it->second = i;
    }
    Results out;
    out.reserve(best.size());
    for (const auto& [id, index] : best) out.push_back(results[index]);
    std::sort(out.begin(), out.end(), [](const AIBenchmarkResult& a, const AIBenchmarkResult& b) {
        return rawValue(a.workloadID) < rawValue(b.workloadID);
    });
    return out;
}

std::set<AIWorkloadID> workloadsOf(const Results& results)
{
    std::set<AIWorkloadID> ids;
    for (const auto& r : results) ids.insert(r.workloadID);
    return ids;
}

// An aggregate only counts when every expected workload has a candidate.
Results completeCandidates(const Results& expected, const Results& candidates)
{
    const auto expectedIDs = workloadsOf(expected);
    if (expectedIDs.empty()) return {};
    return workloadsOf(candidates) == expectedIDs ? candidates : Results{};
}

double geometricMean(const std::vector<double>& values)
{
    double logSum = 0;
    int count = 0;
    for (double v : values) {
        if (!finitePositive(v)) continue;
        logSum += std::log(v);
        ++count;
    }
    return count == 0 ? 0 : std::exp(logSum / count);
}

double meanScore(const Results& results)
{
    std::vector<double> scores;
    scores.reserve(results.size());
    for (const auto& r : results) scores.push_back(r.score);
    return geometricMean(scores);
}

double completeScore(const Results& expected, const Results& usable)
{
    return meanScore(completeCandidates(expected, bestByWorkload(usable)));
}

double completeAggregateScore(const Results& all, const Results& valid,
                              const std::function<bool(const AIBenchmarkResult&)>& predicate)
{
    const Results expected = filtered(all, predicate);
    if (expected.empty()) return 0;
    return completeScore(expected, filtered(valid, predicate));
}

// The result ran where the universal score expects it: on the canonical backend, or on the CPU for
// a GPU-canonical workload that cannot run on the GPU at all.
bool ranOnCanonicalPath(const AIBenchmarkResult& r)
{
    const AIWorkloadDefinition& d = definition(r.workloadID);
    if (r.backend == d.canonicalBackend) return true;
    return d.canonicalBackend == AIBackend::gpu && r.backend == AIBackend::cpu && !d.supports(AIBackend::gpu);
}

std::string joinedGPUFlags(const AIGPUProfile& gpu)
{
    std::string text = gpu.name;
    text += "|registry=" + std::to_string(gpu.registryID);
    text += gpu.lowPower ? "|low-power" : "|high-performance";
    text += gpu.removable ? "|removable" : "|internal";
    text += gpu.headless ? "|headless" : "|display-capable";
    text += gpu.unifiedMemory ? "|unified" : "|dedicated";
    return text;
}

// Order-independent description of the GPUs present, so reordering alone is no change.
std::vector<std::string> runtimeGPUTopologySignature(const AISystemProfile& profile)
{
    if (!profile.gpuProfiles || profile.gpuProfiles->empty()) return {profile.gpuName};
    std::vector<std::string> signature;
    for (const auto& gpu : *profile.gpuProfiles) signature.push_back(joinedGPUFlags(gpu));
    std::sort(signature.begin(), signature.end());
    return signature;
}

// Accuracy within [0.985, 1.000001].
bool accuracyIsInRange(double accuracy)
{
    return std::isfinite(accuracy) && accuracy >= 0.985 && accuracy <= 1.000001;
}

// Throughput agrees with work / wall time within 0.5 % of that rate (at least 1e-6); every figure
// finite and positive.
bool workAccountingIsConsistent(double throughput, double workUnits, double wallSeconds)
{
    if (!finitePositive(wallSeconds) || !finitePositive(workUnits) || !finitePositive(throughput)) return false;
    // The tolerance is relative to the rate recomputed from work and time, not to the reported one.
    const double rate = workUnits / wallSeconds;
    if (!finitePositive(rate)) return false;
    return std::fabs(throughput - rate) <= std::max(0.005 * rate, 0.000001);
}

// Start positive, peak at least start, end positive and at most peak; all finite.
bool memoryTelemetryIsValid(const AIMemoryStats& m)
{
    return finitePositive(m.startMB) && std::isfinite(m.peakMB) && m.peakMB >= m.startMB && finitePositive(m.endMB) &&
           m.endMB <= m.peakMB;
}

// Absent, or finite and positive.
bool retentionIsValid(std::optional<double> retention)
{
    return !retention || finitePositive(*retention);
}

// The texts of the run conditions that differ between a result's notes and the session's.
struct ConditionTexts {
    const char* rosetta;
    const char* lowPowerMode;
    const char* battery;
};

// The notes on translation, power and available memory, in that order.
std::vector<std::string> runConditionNotes(const AISystemProfile& system, const ConditionTexts& texts)
{
    std::vector<std::string> notes;
    if (system.runningUnderRosetta == true) notes.emplace_back(texts.rosetta);
    if (!system.power) {
        notes.emplace_back("Power source could not be verified");
    } else {
        if (system.power->lowPowerMode) notes.emplace_back(texts.lowPowerMode);
        if (system.power->source == "Battery")
            notes.emplace_back(texts.battery);
        else if (system.power->source == "Unknown")
            notes.emplace_back("Power source could not be verified");
    }
    if (!availableMemoryVerifiable(system.availableMemoryGB)) {
        notes.emplace_back("Available memory could not be verified");
    } else if (availableMemoryBelowThreshold(*system.availableMemoryGB, system.memoryGB)) {
        notes.emplace_back("Available memory was below the comparison threshold");
    }
    return notes;
}

}  // namespace

bool isReducedSampleWorkload(AIWorkloadID workload)
{
    switch (workload) {
    case AIWorkloadID::threadScaling:
    case AIWorkloadID::metalCacheLadder:
    case AIWorkloadID::metalSustained:
    case AIWorkloadID::modelLoading:
    case AIWorkloadID::memoryPressure:
    case AIWorkloadID::batchScaling:
    case AIWorkloadID::mixedSustained: return true;
    default: return false;
    }
}

AIBenchmarkResult result(const KernelMeasurement& measurement, const AIWorkloadDefinition& workload, AIBackend backend,
                         const std::string& thermalStart, const std::string& thermalEnd, const AISystemProfile& system,
                         AIScoreRole role, std::optional<std::uint64_t> gpuRegistryID,
                         std::optional<std::string> gpuName)
{
    const auto& samples = measurement.latencySamplesMS;
    const AILatencyStats stats = LatencyCalculator::statistics(samples);
    const bool reducedSamples = isReducedSampleWorkload(workload.id);
    const std::size_t requiredSamples = reducedSamples ? 1 : 3;

    const bool timingValid = statisticsUsable(stats) && finitePositive(measurement.wallSeconds) &&
                             measurement.iterations >= 1 && finitePositive(measurement.workUnits) &&
                             samples.size() >= requiredSamples &&
                             std::all_of(samples.begin(), samples.end(), finitePositive);
    const bool accountingValid =
        workAccountingIsConsistent(measurement.throughput, measurement.workUnits, measurement.wallSeconds);
    const bool numericalValid = accuracyIsInRange(measurement.accuracy) && finitePositive(measurement.throughput) &&
                                std::isfinite(measurement.checksum) && accountingValid;
    const bool memoryValid = memoryTelemetryIsValid(measurement.memory);
    const bool retentionValid = retentionIsValid(measurement.retention);

    const double rawScore = measurement.throughput * 1000 / std::max(workload.baselineThroughput, 0.000001);
    const bool scoreRepresentable = finitePositive(rawScore);
    const bool valid = timingValid && numericalValid && memoryValid && retentionValid && scoreRepresentable;

    std::vector<std::string> failures;
    if (!timingValid) failures.emplace_back("Timing validation failed");
    if (!numericalValid) failures.emplace_back("Numerical validation did not meet the required consistency checks");
    if (!accountingValid) failures.emplace_back("Throughput accounting was inconsistent with work units and wall time");
    if (!memoryValid) failures.emplace_back("Memory telemetry was invalid");
    if (!retentionValid) failures.emplace_back("Performance retention was invalid");
    if (!scoreRepresentable) failures.emplace_back("Normalized score was not representable");
    std::optional<std::string> error;
    if (!failures.empty()) {
        std::string text;
        for (const auto& f : failures) text += (text.empty() ? "" : "; ") + f;
        error = text + ".";
    }

    std::vector<std::string> notes = runConditionNotes(
        system, {"Running through Rosetta 2", "Low Power Mode is enabled", "Running on battery power"});
    if (thermalStart != "Nominal") notes.push_back("Thermal state at start was " + thermalStart);
    if (thermalEnd != "Nominal") notes.push_back("Thermal state at end was " + thermalEnd);
    for (const char* worst : {"Critical", "Serious", "Fair", "Unknown"}) {
        const auto& sampled = measurement.thermalStateSamples;
        if (std::find(sampled.begin(), sampled.end(), worst) == sampled.end()) continue;
        if (thermalEnd != worst)
            notes.push_back(std::string("Thermal state reached ") + worst + " during the measured workload");
        break;
    }
    if (!timingValid) {
        notes.emplace_back("Timing validation failed");
    } else if (!reducedSamples) {
        if (const auto s = LatencyCalculator::comparisonStability(samples); s && !s->stable) {
            notes.push_back("Latency stability was outside the comparison threshold (robust CV " +
                            percentText(s->robustCV) + ", limit " + percentText(s->robustCVLimit) + "; outliers " +
                            percentText(s->outlierFraction) + ", limit " + percentText(s->outlierLimit) + "; P95 " +
                            millisecondsText(s->p95MS) + ", sub-ms tail limit " + millisecondsText(s->tailLimitMS) +
                            ")");
        }
    }
    if (!numericalValid) notes.emplace_back("Numerical validation failed");
    if (!accountingValid) notes.emplace_back("Throughput accounting did not match measured work and wall time");
    if (!memoryValid) notes.emplace_back("Memory telemetry validation failed");
    if (!retentionValid) notes.emplace_back("Performance-retention validation failed");
    if (!scoreRepresentable) notes.emplace_back("Normalized score was not representable as a finite positive value");

    AIBenchmarkResult r;
    r.id = Uuid::random();
    r.workloadID = workload.id;
    r.backend = backend;
    r.precision = workload.precision;
    r.startedAt = measurement.startedAt;
    r.durationSeconds = clean(measurement.wallSeconds);
    r.iterations = std::max(measurement.iterations, 0);
    r.throughput = clean(measurement.throughput);
    r.throughputUnit = measurement.throughputUnit;
    r.latency = stats;
    r.latency.minimumMS = cleanNotNegative(stats.minimumMS);
    r.latency.medianMS = cleanNotNegative(stats.medianMS);
    r.latency.p95MS = cleanNotNegative(stats.p95MS);
    r.latency.maximumMS = cleanNotNegative(stats.maximumMS);
    r.latency.averageMS = cleanNotNegative(stats.averageMS);
    r.latency.p90MS = cleanNotNegative(stats.p90MS);
    r.latency.p99MS = cleanNotNegative(stats.p99MS);
    r.latency.standardDeviationMS = cleanNotNegative(stats.standardDeviationMS);
    r.latency.coefficientOfVariation = cleanNotNegative(stats.coefficientOfVariation);
    r.latency.confidence95HalfWidthMS = cleanNotNegative(stats.confidence95HalfWidthMS);
    if (r.latency.outlierCount) r.latency.outlierCount = std::max<std::int64_t>(*r.latency.outlierCount, 0);
    r.memory = {cleanNotNegative(measurement.memory.startMB), cleanNotNegative(measurement.memory.peakMB),
                cleanNotNegative(measurement.memory.endMB)};
    r.accuracy = clean(measurement.accuracy);
    r.score = valid ? rawScore : 0;
    r.valid = valid;
    r.checksum = clean(measurement.checksum);
    r.thermalStart = thermalStart;
    r.thermalEnd = thermalEnd;
    if (measurement.retention && finitePositive(*measurement.retention)) r.performanceRetention = measurement.retention;
    r.details = measurement.details;
    r.error = std::move(error);
    r.scoreRole = role;
    r.gpuRegistryID = gpuRegistryID;
    r.gpuName = std::move(gpuName);
    r.certifiedForComparison = notes.empty();
    r.certificationNotes = std::move(notes);
    r.measuredWorkUnits = clean(measurement.workUnits);
    std::vector<double> cleanedSamples;
    cleanedSamples.reserve(samples.size());
    for (double s : samples) cleanedSamples.push_back(clean(s));
    r.latencySamplesMS = std::move(cleanedSamples);
    r.thermalStateSamples = measurement.thermalStateSamples;
    return r;
}

AIScoreSummary summarize(const std::vector<AIBenchmarkResult>& all)
{
    const Results usable = filtered(all, isUsable);

    // Universal: the universal set when the session has one, else the canonical-path results
    // judged against every workload of the session.
    const Results universalSet = filtered(all, inUniversalSet);
    double universal = 0;
    if (!universalSet.empty()) {
        universal = completeScore(universalSet, filtered(universalSet, isUsable));
    } else {
        universal = completeScore(all, filtered(usable, ranOnCanonicalPath));
    }

    Results platformAll = filtered(all, inPlatformSet);
    Results platformUsable = filtered(platformAll, isUsable);
    if (platformAll.empty()) {
        platformAll = all;
        platformUsable = usable;
    }
    const double platform = completeScore(platformAll, platformUsable);
    const double bestOfSession = meanScore(bestByWorkload(usable));

    auto backendScore = [&](AIBackend b) {
        auto onBackend = [b](const AIBenchmarkResult& r) { return r.backend == b; };
        return completeScore(filtered(all, onBackend), filtered(usable, onBackend));
    };
    auto category = [&](AICategory c) {
        return completeAggregateScore(platformAll, platformUsable, [c](const AIBenchmarkResult& r) {
            return definition(r.workloadID).category == c;
        });
    };
    auto precision = [&](AIPrecision p) {
        return completeAggregateScore(platformAll, platformUsable,
                                      [p](const AIBenchmarkResult& r) { return r.precision == p; });
    };

    AIScoreSummary s;
    for (double candidate : {platform, universal, bestOfSession}) {
        if (finitePositive(candidate)) {
            s.overall = candidate;
            break;
        }
    }
    s.cpu = backendScore(AIBackend::cpu);
    s.gpu = backendScore(AIBackend::gpu);
    s.neuralEnginePreferred = backendScore(AIBackend::neuralEnginePreferred);
    s.vision = category(AICategory::vision);
    s.language = category(AICategory::language);
    s.generative = category(AICategory::generative);
    s.audio = category(AICategory::audio);
    s.compute = category(AICategory::compute);
    s.training = category(AICategory::training);
    s.memory = category(AICategory::memory);
    s.sustained = category(AICategory::sustained);
    s.fp32 = precision(AIPrecision::fp32);
    s.fp16 = precision(AIPrecision::fp16);
    s.int8 = precision(AIPrecision::int8);

    const int certified = static_cast<int>(std::count_if(
        usable.begin(), usable.end(), [](const AIBenchmarkResult& r) { return r.certifiedForComparison == true; }));
    s.validResults = static_cast<int>(usable.size());
    s.invalidResults = static_cast<int>(std::count_if(all.begin(), all.end(), [&](const AIBenchmarkResult& r) {
        return !r.valid && !isSupersededCalibrationFailure(r, all);
    }));
    s.certifiedResults = certified;
    s.diagnosticResults = s.validResults - certified;
    s.universal = universal;
    s.platform = platform;
    return s;
}

std::vector<std::string> runtimeConditionChangeNotes(const AISystemProfile& start, const AISystemProfile& end)
{
    std::vector<std::string> notes;
    if (!start.power || !end.power) {
        notes.emplace_back("Power conditions could not be verified for the complete run");
    } else {
        if (start.power->source != end.power->source) {
            notes.push_back("Power source changed during the run (" + start.power->source + " → " + end.power->source +
                            ")");
        }
        if (end.power->source == "Unknown")
            notes.emplace_back("Power source could not be verified at the end of the run");
        if (start.power->lowPowerMode != end.power->lowPowerMode)
            notes.emplace_back("Low Power Mode changed during the run");
    }
    if (!availableMemoryVerifiable(end.availableMemoryGB)) {
        notes.emplace_back("Available memory could not be verified at the end of the run");
    } else if (availableMemoryBelowThreshold(*end.availableMemoryGB, end.memoryGB)) {
        notes.emplace_back("Available memory was below the comparison threshold at the end of the run");
    }
    if (runtimeGPUTopologySignature(start) != runtimeGPUTopologySignature(end)) {
        notes.emplace_back("Metal GPU topology changed during the run");
    }
    return notes;
}

std::vector<std::string> sessionCertificationNotes(const AISystemProfile& system,
                                                   const std::vector<AIBenchmarkResult>& results)
{
    std::vector<std::string> notes = runConditionNotes(
        system, {"Run used Rosetta 2 translation", "Low Power Mode was enabled", "Run was performed on battery power"});
    if (std::any_of(results.begin(), results.end(),
                    [](const AIBenchmarkResult& r) { return r.valid && r.certifiedForComparison != true; })) {
        notes.emplace_back("One or more valid results are diagnostic-only due to run conditions or variation");
    }
    if (std::any_of(results.begin(), results.end(), [&](const AIBenchmarkResult& r) {
            return !r.valid && !isSupersededCalibrationFailure(r, results);
        })) {
        notes.emplace_back("One or more workloads were unavailable and were excluded from the usable result");
    }
    return notes;
}

}  // namespace korvalen::ScoreCalculator

namespace korvalen {

bool isWellFormed(const KernelMeasurement& m)
{
    using namespace ScoreCalculator;
    auto positiveSample = [](double v) { return std::isfinite(v) && v > 0; };
    // workAccountingIsConsistent also demands finite, positive throughput, wall time and work.
    return accuracyIsInRange(m.accuracy) && workAccountingIsConsistent(m.throughput, m.workUnits, m.wallSeconds) &&
           std::isfinite(m.checksum) && m.iterations >= 1 && memoryTelemetryIsValid(m.memory) &&
           retentionIsValid(m.retention) && !m.latencySamplesMS.empty() &&
           std::all_of(m.latencySamplesMS.begin(), m.latencySamplesMS.end(), positiveSample);
}

}  // namespace korvalen
