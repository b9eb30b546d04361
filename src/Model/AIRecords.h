#pragma once

#include "Model/AIVocabulary.h"
#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Uuid.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvalen {

// Catalog entry of one workload; constant data.
struct AIWorkloadDefinition {
    AIWorkloadID id;
    std::string title;
    std::string subtitle;
    AICategory category;
    AIPrecision precision;
    std::vector<AIBackend> supportedBackends;  // a set, kept in case order; never `automatic`
    AIBackend canonicalBackend;
    double baseDuration;        // seconds
    double baselineThroughput;  // in throughputUnit, scores exactly 1000
    std::string throughputUnit;
    std::optional<CoreMLModelFamily> modelFamily;
    std::string notes;

    bool supports(AIBackend backend) const;
};

struct AILatencyStats {
    double minimumMS = 0;
    double medianMS = 0;
    double p95MS = 0;
    double maximumMS = 0;
    double averageMS = 0;
    std::optional<double> p90MS;
    std::optional<double> p99MS;
    std::optional<double> standardDeviationMS;
    std::optional<double> coefficientOfVariation;
    std::optional<double> confidence95HalfWidthMS;
    std::optional<std::int64_t> outlierCount;
    bool operator==(const AILatencyStats&) const = default;
};

struct AIMemoryStats {
    double startMB = 0;
    double peakMB = 0;
    double endMB = 0;
    bool operator==(const AIMemoryStats&) const = default;
};

struct AIBenchmarkResult {
    Uuid id;
    AIWorkloadID workloadID = AIWorkloadID::imageClassification;
    AIBackend backend = AIBackend::cpu;
    AIPrecision precision = AIPrecision::fp32;
    Date startedAt{};
    double durationSeconds = 0;
    std::int64_t iterations = 0;
    double throughput = 0;
    std::string throughputUnit;
    AILatencyStats latency;
    AIMemoryStats memory;
    double accuracy = 0;
    double score = 0;
    bool valid = false;
    double checksum = 0;
    std::string thermalStart;
    std::string thermalEnd;
    std::optional<double> performanceRetention;
    std::vector<std::string> details;
    std::optional<std::string> error;
    std::optional<AIScoreRole> scoreRole;
    std::optional<std::uint64_t> gpuRegistryID;
    std::optional<std::string> gpuName;
    std::optional<bool> certifiedForComparison;
    std::optional<std::vector<std::string>> certificationNotes;
    std::optional<double> measuredWorkUnits;
    std::optional<std::vector<double>> latencySamplesMS;
    std::optional<std::vector<std::string>> thermalStateSamples;
    bool operator==(const AIBenchmarkResult&) const = default;
};

struct AIScoreSummary {
    double overall = 0;
    double cpu = 0;
    double gpu = 0;
    double neuralEnginePreferred = 0;
    double vision = 0, language = 0, generative = 0, audio = 0, compute = 0, training = 0, memory = 0, sustained = 0;
    double fp32 = 0, fp16 = 0, int8 = 0;
    std::int64_t validResults = 0;
    std::int64_t invalidResults = 0;
    std::optional<double> universal;
    std::optional<double> platform;
    std::optional<std::int64_t> certifiedResults;
    std::optional<std::int64_t> diagnosticResults;

    double universalScore() const { return universal.value_or(overall); }
    double platformScore() const { return platform.value_or(overall); }
    bool operator==(const AIScoreSummary&) const = default;
};

struct AIGPUProfile {
    std::string name;
    std::uint64_t registryID = 0;
    bool lowPower = false;
    bool removable = false;
    bool headless = false;
    bool unifiedMemory = false;
    double recommendedWorkingSetMB = 0;
    double currentAllocatedMB = 0;
    double maxBufferMB = 0;
    std::uint64_t id() const { return registryID; }
    bool operator==(const AIGPUProfile&) const = default;
};

// Combines all nine fields in declaration order; both zeros of a Double hash alike, as they compare equal.
std::size_t hashValue(const AIGPUProfile& profile);

struct AICPUCapabilities {
    std::string featureString;
    std::optional<std::int64_t> cacheLineBytes;
    std::optional<std::int64_t> l1DataKB;
    std::optional<std::int64_t> l2KB;
    std::optional<std::int64_t> l3KB;
    bool operator==(const AICPUCapabilities&) const = default;
};

struct AIPowerProfile {
    std::string source;  // "AC Power", "Battery" or "Unknown"
    std::optional<std::int64_t> batteryPercent;
    bool lowPowerMode = false;
    bool operator==(const AIPowerProfile&) const = default;
};

struct AISystemProfile {
    std::string computerName;
    std::string modelIdentifier;
    std::string cpuName;
    std::string architecture;
    std::int64_t logicalCores = 0;
    std::int64_t physicalCores = 0;
    double memoryGB = 0;
    std::string osVersion;
    std::string gpuName;
    std::optional<std::uint64_t> gpuRegistryID;
    bool neuralEngineAvailable = false;
    std::string appVersion;
    std::optional<bool> runningUnderRosetta;
    std::optional<std::vector<AIGPUProfile>> gpuProfiles;
    std::optional<AICPUCapabilities> cpuCapabilities;
    std::optional<AIPowerProfile> power;
    std::optional<double> availableMemoryGB;
    std::optional<double> swapUsedGB;
    std::optional<std::string> neuralEngineProbe;
    bool operator==(const AISystemProfile&) const = default;
};

struct AIBenchmarkSession {
    Uuid id;
    Date startedAt{};
    std::optional<Date> completedAt;
    AIRunMode mode = AIRunMode::quick;
    AIBackend requestedBackend = AIBackend::automatic;
    bool compareAllBackends = false;
    AISystemProfile system;
    std::vector<AIBenchmarkResult> results;
    AIScoreSummary scores;
    bool cancelled = false;
    std::optional<std::uint64_t> selectedGPURegistryID;
    std::optional<bool> compareAllGPUs;
    std::optional<std::vector<std::string>> certificationNotes;
    std::optional<std::int64_t> methodologyVersion;
    bool operator==(const AIBenchmarkSession&) const = default;
};

}  // namespace korvalen

template <>
struct std::hash<korvalen::AIGPUProfile> {
    std::size_t operator()(const korvalen::AIGPUProfile& profile) const noexcept
    {
        return korvalen::hashValue(profile);
    }
};
