#pragma once

#include "Model/AIRecords.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvalen {

struct KernelMeasurement;

// Validation, scoring and certification of measurements, and the session's score summary. Pure
// functions; none throws: every defect becomes an invalid or uncertified result.
namespace ScoreCalculator {

// The only producer of results. `thermalStart`/`thermalEnd` are thermal-state texts ("Nominal",
// "Fair", "Serious", "Critical", "Unknown"); of `system` only Rosetta, power and memory are read.
AIBenchmarkResult result(const KernelMeasurement& measurement, const AIWorkloadDefinition& workload, AIBackend backend,
                         const std::string& thermalStart, const std::string& thermalEnd, const AISystemProfile& system,
                         AIScoreRole role, std::optional<std::uint64_t> gpuRegistryID,
                         std::optional<std::string> gpuName);

AIScoreSummary summarize(const std::vector<AIBenchmarkResult>& results);

// Notes on what changed between the snapshots taken before and after a run.
std::vector<std::string> runtimeConditionChangeNotes(const AISystemProfile& start, const AISystemProfile& end);

// Notes on why a whole run may not be comparable with others.
std::vector<std::string> sessionCertificationNotes(const AISystemProfile& system,
                                                   const std::vector<AIBenchmarkResult>& results);

// Workloads whose latency samples are heterogeneous by design (one per rung, stage or phase): they
// need a single sample and are not judged on latency stability.
bool isReducedSampleWorkload(AIWorkloadID workload);

}  // namespace ScoreCalculator
}  // namespace korvalen
