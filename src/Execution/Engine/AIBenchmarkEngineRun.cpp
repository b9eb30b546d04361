#include "Execution/Engine/AIBenchmarkEngine.h"

#include "Model/AIBenchmarkError.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/ScoreCalculator.h"
#include "Platform/Foundation/NumberFormat.h"

#include <exception>

namespace korvalen {
namespace {

// A store always hands in its token; an engine made without one still runs, as if never stopped.
AIBenchmarkEngine withOwnToken(const AIBenchmarkEngine& engine)
{
    AIBenchmarkEngine copy = engine;
    copy.cancellation = std::make_shared<BenchmarkCancellationToken>();
    return copy;
}

std::string errorText(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const AIBenchmarkError& e) {
        return e.errorDescription();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "The operation couldn’t be completed.";
    }
}

std::string label(AIBackend backend)
{
    return std::string(rawValue(backend));
}

std::optional<std::uint64_t> gpuIDFor(AIBackend backend, std::optional<std::uint64_t> gpuRegistryID)
{
    return backend == AIBackend::gpu ? gpuRegistryID : std::nullopt;
}

bool isCancellationResult(const AIBenchmarkResult& result)
{
    return result.error == AIBenchmarkError::cancelledDescription();
}

void appendLines(AIBenchmarkResult& result, const std::vector<std::string>& lines)
{
    result.details.insert(result.details.end(), lines.begin(), lines.end());
}

// The mixed sustained workload's two lanes: the fixed canonical backend for the Universal score,
// per-member calibration inside the sustained run for the Platform score.
std::vector<AIBenchmarkResult> calibratedSustained(const AIBenchmarkEngine& engine,
                                                   const AIWorkloadDefinition& workload, AIRunMode mode,
                                                   std::optional<std::uint64_t> gpuRegistryID)
{
    const BenchmarkCancellationToken& token = *engine.cancellation;
    if (token.isCancelled()) return {};
    const AIBackend canonical = engine.canonicalBackend(workload);
    AIBenchmarkResult universal =
        engine.runExplicit(workload, canonical, mode, AIScoreRole::universal, gpuIDFor(canonical, gpuRegistryID));
    if (token.isCancelled()) {
        if (isCancellationResult(universal)) return {};
        return {universal};
    }
    AIBenchmarkResult platform =
        engine.runExplicit(workload, AIBackend::automatic, mode, AIScoreRole::platform, gpuRegistryID);
    universal.details.push_back("Universal sustained path: fixed " + label(canonical) + " backend");
    platform.details.push_back("Platform sustained path: calibrated backend per AI workload");
    return {universal, platform};
}

}  // namespace

std::string AIBenchmarkEngine::thermalStateText() const
{
    if (!runners.thermalState) return "Unknown";
    try {
        return runners.thermalState();
    } catch (...) {
        return "Unknown";
    }
}

KernelMeasurement AIBenchmarkEngine::measure(const AIWorkloadDefinition& workload, AIBackend backend,
                                             std::optional<std::uint64_t> gpuRegistryID, double durationScale) const
{
    if (!cancellation) return withOwnToken(*this).measure(workload, backend, gpuRegistryID, durationScale);
    BenchmarkCancellationToken& token = *cancellation;
    auto require = [](const auto& runner, const char* name) {
        if (!runner) throw AIBenchmarkError::unsupportedBackend(std::string(name) + " is not available");
    };

    if (workload.id == AIWorkloadID::mixedSustained) return runSustained(backend, durationScale, gpuRegistryID);
    // A workload with a model always runs its model: the backend only picks the compute units.
    if (workload.modelFamily) {
        require(runners.coreML, "The Core ML runner");
        return runners.coreML(workload, backend, gpuRegistryID, durationScale, token);
    }
    switch (backend) {
    case AIBackend::cpu:
        if (hasCPUTimedKernel(workload.id)) {
            require(runners.cpuTimed, "The CPU runner");
            return runners.cpuTimed(workload, targetDuration(durationScale, workload), token);
        }
        if (workload.id == AIWorkloadID::threadScaling) {
            require(runners.cpuThreadScaling, "The CPU thread-scaling runner");
            return runners.cpuThreadScaling(workload, durationScale, token);
        }
        if (workload.id == AIWorkloadID::memoryPressure) {
            require(runners.cpuMemoryPressure, "The CPU memory-pressure runner");
            return runners.cpuMemoryPressure(workload, token);
        }
        throw AIBenchmarkError::unsupportedBackend(workload.title + " uses the Core ML runner on CPU.");
    case AIBackend::automatic:
        throw AIBenchmarkError::unsupportedBackend(
            "Automatic execution is valid only for calibrated or mixed sustained runs");
    case AIBackend::gpu:
        require(runners.metal, "The Metal runner");
        return runners.metal(workload, gpuRegistryID, targetDuration(durationScale, workload), token);
    case AIBackend::neuralEnginePreferred:
        throw AIBenchmarkError::unsupportedBackend("This workload has no Core ML graph for Neural Engine Preferred");
    }
    throw AIBenchmarkError::unsupportedBackend(label(backend));
}

AIBenchmarkResult AIBenchmarkEngine::runExplicit(const AIWorkloadDefinition& workload, AIBackend backend,
                                                 AIRunMode mode, AIScoreRole role,
                                                 std::optional<std::uint64_t> gpuRegistryID) const
{
    if (!cancellation) return withOwnToken(*this).runExplicit(workload, backend, mode, role, gpuRegistryID);

    const std::string thermalStart = thermalStateText();
    // Only a GPU run is attributed to a GPU, and only to one the profile knows.
    std::optional<std::uint64_t> attributedID;
    std::optional<std::string> attributedName;
    if (backend == AIBackend::gpu) {
        if (const auto profile = gpuProfile(gpuRegistryID)) {
            attributedID = profile->registryID;
            attributedName = profile->name;
        }
    }

    std::string failure;
    try {
        const KernelMeasurement measurement = measure(workload, backend, gpuRegistryID, durationScale(mode, workload));
        const std::string thermalEnd = thermalStateText();
        return ScoreCalculator::result(measurement, workload, backend, thermalStart, thermalEnd, system, role,
                                       attributedID, attributedName);
    } catch (...) {
        failure = errorText(std::current_exception());
    }

    const auto& catalog = AIWorkloadCatalog::definitions();
    const auto entry = catalog.find(workload.id);
    const AIWorkloadDefinition& reference = entry != catalog.end() ? entry->second : workload;

    AIBenchmarkResult r;
    r.id = Uuid::random();
    r.workloadID = workload.id;
    r.backend = backend;
    r.precision = reference.precision;
    r.startedAt = now();
    r.throughputUnit = reference.throughputUnit;
    r.latency.p90MS = 0;
    r.latency.p99MS = 0;
    r.latency.standardDeviationMS = 0;
    r.latency.coefficientOfVariation = 0;
    r.latency.confidence95HalfWidthMS = 0;
    r.latency.outlierCount = 0;
    r.valid = false;
    r.thermalStart = thermalStateText();
    r.thermalEnd = thermalStateText();
    r.error = failure;
    r.scoreRole = role;
    r.gpuRegistryID = attributedID;
    r.gpuName = attributedName;
    r.certifiedForComparison = false;
    r.certificationNotes = std::vector<std::string>{failure};
    return r;
}

std::vector<AIBenchmarkResult> AIBenchmarkEngine::runCalibrated(const AIWorkloadDefinition& workload, AIRunMode mode,
                                                                std::optional<std::uint64_t> gpuRegistryID) const
{
    if (!cancellation) return withOwnToken(*this).runCalibrated(workload, mode, gpuRegistryID);
    const BenchmarkCancellationToken& token = *cancellation;

    if (workload.id == AIWorkloadID::mixedSustained) return calibratedSustained(*this, workload, mode, gpuRegistryID);

    const std::vector<AIBackend> available = availableBackends(workload);
    if (available.size() == 1) {
        const AIBackend only = available.front();
        AIBenchmarkResult r =
            runExplicit(workload, only, mode, AIScoreRole::universalAndPlatform, gpuIDFor(only, gpuRegistryID));
        r.details.push_back("Automatic calibration skipped because this workload has one available backend: " +
                            label(only));
        return {r};
    }

    std::vector<CalibrationEntry> entries;
    std::vector<std::string> notes{"Automatic backend calibration:"};
    const double briefScale = calibrationDurationFactor(mode);
    for (AIBackend b : available) {
        if (token.isCancelled()) return {};
        try {
            const KernelMeasurement m = measure(workload, b, gpuIDFor(b, gpuRegistryID), briefScale);
            const auto stability = calibrationStability(m, workload.id);
            const bool ok = calibrationMeasurementIsValid(m) && stability.stable;
            entries.push_back({b, m.throughput, ok});
            notes.push_back("• " + label(b) + ": " + formatFixed(m.throughput, 4) + " " + workload.throughputUnit +
                            ", " + stability.detail + (ok ? "" : " (unstable/invalid)"));
        } catch (...) {
            if (token.isCancelled()) return {};
            entries.push_back({b, 0, false});
            notes.push_back("• " + label(b) + ": unavailable — " + errorText(std::current_exception()));
        }
    }
    if (token.isCancelled()) return {};

    const AIBackend canonical = canonicalBackend(workload);
    const std::optional<CalibrationChoice> choice = calibrationChoice(entries, canonical);
    if (!choice) {
        AIBenchmarkResult r = runExplicit(workload, canonical, mode, AIScoreRole::universalAndPlatform,
                                          gpuIDFor(canonical, gpuRegistryID));
        appendLines(r, notes);
        r.details.push_back(
            "Automatic calibration had no stable winner; Platform AI fell back to the fixed Universal backend.");
        return {r};
    }

    const AIBackend chosen = choice->backend;
    if (choice->guardBandKeptCanonical)
        notes.push_back("Winner was within the 3% calibration guard band; the fixed Universal backend was retained.");

    AIBenchmarkResult universal = runExplicit(
        workload, canonical, mode, chosen == canonical ? AIScoreRole::universalAndPlatform : AIScoreRole::universal,
        gpuIDFor(canonical, gpuRegistryID));
    if (token.isCancelled()) {
        if (isCancellationResult(universal)) return {};
        return {universal};
    }
    appendLines(universal, notes);
    if (chosen == canonical) {
        universal.details.push_back("Calibrated winner matches the fixed Universal AI backend");
        return {universal};
    }
    AIBenchmarkResult platform =
        runExplicit(workload, chosen, mode, AIScoreRole::platform, gpuIDFor(chosen, gpuRegistryID));
    appendLines(platform, notes);
    platform.details.push_back("Calibrated platform winner: " + label(chosen));
    return {universal, platform};
}

}  // namespace korvalen
