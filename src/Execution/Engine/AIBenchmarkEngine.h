#pragma once

#include "Execution/Engine/AIBenchmarkRunners.h"
#include "Execution/Engine/AIExecutionItem.h"
#include "Model/AIRecords.h"
#include "Model/KernelMeasurement.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalen {

class BenchmarkCancellationToken;

// The engine of one run: made by the store with its cancellation token, the machine profile the run
// is planned and scored against, and the GPU the user selected (absent: the system default). The
// runners are this machine's unless a test hands in its own.
//
// The run operations never throw: every failure becomes an invalid result carrying the error's
// text, and a stop yields "Benchmark cancelled." results or an empty array.
struct AIBenchmarkEngine {
    std::shared_ptr<BenchmarkCancellationToken> cancellation;
    AISystemProfile system;
    std::optional<std::uint64_t> selectedGPURegistryID;
    AIBenchmarkRunners runners = defaultRunners();

    // --- Plan and backend choice (pure: never touch the token or the runners) ---

    // The ordered items of a run: per workload of the mode, either one item for the requested
    // backend (or one `automatic` item), or with compareAllBackends the CPU item, the GPU items
    // and the Neural Engine item the machine can run.
    std::vector<AIExecutionItem> executionPlan(AIRunMode mode, AIBackend requestedBackend, bool compareAllBackends,
                                               bool compareAllGPUs) const;
    // The supported backends the machine can use, in the order cpu, gpu, neuralEnginePreferred.
    std::vector<AIBackend> availableBackends(const AIWorkloadDefinition& workload) const;
    // The backend feeding the Universal score here: the declared one when usable, else a fallback.
    AIBackend canonicalBackend(const AIWorkloadDefinition& workload) const;
    // With no identifier the first profile; with one, the first profile carrying it.
    std::optional<AIGPUProfile> gpuProfile(std::optional<std::uint64_t> registryID) const;

    bool gpuUsable() const;
    bool neuralEngineUsable() const;
    // The selected GPU, else the system's, else the first profile's.
    std::optional<std::uint64_t> resolvedGPURegistryID() const;

    // How long a measured run of the workload lasts in the mode, as a factor of its base duration.
    static double durationScale(AIRunMode mode, const AIWorkloadDefinition& workload);
    // Seconds for runners that take a target: the scaled base duration, at least 0.35 s.
    static double targetDuration(double durationScale, const AIWorkloadDefinition& workload);
    // The scale of the brief runs that pick a backend.
    static double calibrationDurationFactor(AIRunMode mode);

    // --- Runs ---

    // Measures one workload on one fixed backend: exactly one result, scored or invalid.
    AIBenchmarkResult runExplicit(const AIWorkloadDefinition& workload, AIBackend backend, AIRunMode mode,
                                  AIScoreRole role, std::optional<std::uint64_t> gpuRegistryID) const;
    // Measures briefly on every available backend, then measures the canonical backend (Universal)
    // and, when another backend wins by the guard band, that one too (Platform). Empty after a stop.
    std::vector<AIBenchmarkResult> runCalibrated(const AIWorkloadDefinition& workload, AIRunMode mode,
                                                 std::optional<std::uint64_t> gpuRegistryID) const;
    // The mixed sustained workload: whole rounds of six short member measurements until the total
    // time has passed. Throws AIBenchmarkError; the explicit run scores or reports it.
    KernelMeasurement runSustained(AIBackend backend, double durationScale,
                                   std::optional<std::uint64_t> gpuRegistryID) const;

    // The runner selection shared by the explicit run, the brief calibration runs and the parts of
    // the sustained run: one measurement of the workload on the backend, with runners that take a
    // target duration getting targetDuration(durationScale). Throws what the runner throws.
    KernelMeasurement measure(const AIWorkloadDefinition& workload, AIBackend backend,
                              std::optional<std::uint64_t> gpuRegistryID, double durationScale) const;
    // The thermal-state text, read fresh; "Unknown" when it cannot be read.
    std::string thermalStateText() const;

    // --- Calibration tests ---

    struct CalibrationStability {
        bool stable = false;
        std::string detail;
        bool operator==(const CalibrationStability&) const = default;
    };

    // Whether a brief measurement's latency samples are steady enough to let it compete.
    static CalibrationStability calibrationStability(const KernelMeasurement& measurement, AIWorkloadID workload);
    // Whether a brief measurement is well formed.
    static bool calibrationMeasurementIsValid(const KernelMeasurement& measurement);

    // A winner must reach this multiple of the canonical backend's brief throughput to displace it.
    static constexpr double calibrationGuardBand = 1.03;

    // One brief calibration measurement: its backend, throughput and whether it may compete.
    struct CalibrationEntry {
        AIBackend backend{};
        double throughput = 0;
        bool valid = false;
    };
    struct CalibrationChoice {
        AIBackend backend{};
        bool guardBandKeptCanonical = false;  // a faster backend fell short of the guard band
    };
    // The fastest valid entry (the first of equals), unless it is not the canonical backend, the
    // canonical backend is valid too and the winner falls short of the guard band over it; absent
    // when no entry is valid.
    static std::optional<CalibrationChoice> calibrationChoice(const std::vector<CalibrationEntry>& entries,
                                                              AIBackend canonical);
};

}  // namespace korvalen
