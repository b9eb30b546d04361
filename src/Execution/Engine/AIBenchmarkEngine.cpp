#include "Execution/Engine/AIBenchmarkEngine.h"

#include "Model/LatencyCalculator.h"
#include "Model/ScoreCalculator.h"
#include "Platform/Foundation/NumberFormat.h"

#include <algorithm>
#include <cmath>

namespace korvalen {
namespace {

std::string percentText(double fraction)
{
    return formatFixed(fraction * 100, 2) + "%";
}
std::string millisecondsText(double ms)
{
    return formatFixed(ms, 4) + " ms";
}

}  // namespace

AIBenchmarkEngine::CalibrationStability AIBenchmarkEngine::calibrationStability(const KernelMeasurement& measurement,
                                                                                AIWorkloadID workload)
{
    const auto& samples = measurement.latencySamplesMS;
    // Samples of these workloads differ by design (one per rung, stage or phase): judge only their sanity.
    if (ScoreCalculator::isReducedSampleWorkload(workload)) {
        const bool sane = !samples.empty() && std::all_of(samples.begin(), samples.end(),
                                                          [](double v) { return std::isfinite(v) && v > 0; });
        return sane ? CalibrationStability{true, "heterogeneous latency samples"}
                    : CalibrationStability{false, "invalid latency samples"};
    }
    const auto s = LatencyCalculator::comparisonStability(samples);
    if (!s) return {false, "invalid or insufficient latency samples"};
    return {s->stable, "robust CV " + percentText(s->robustCV) + " / " + percentText(s->robustCVLimit) + "; outliers " +
                           percentText(s->outlierFraction) + " / " + percentText(s->outlierLimit) + "; P95 " +
                           millisecondsText(s->p95MS) + " / sub-ms tail " + millisecondsText(s->tailLimitMS)};
}

bool AIBenchmarkEngine::calibrationMeasurementIsValid(const KernelMeasurement& measurement)
{
    return isWellFormed(measurement);
}

std::optional<AIBenchmarkEngine::CalibrationChoice> AIBenchmarkEngine::calibrationChoice(
    const std::vector<CalibrationEntry>& entries, AIBackend canonical)
{
    const CalibrationEntry* winner = nullptr;
    const CalibrationEntry* canonicalEntry = nullptr;
    for (const CalibrationEntry& e : entries) {
        if (!e.valid) continue;
        if (!winner || e.throughput > winner->throughput) winner = &e;
        if (!canonicalEntry && e.backend == canonical) canonicalEntry = &e;
    }
    if (!winner) return std::nullopt;
    if (winner->backend != canonical && canonicalEntry &&
        winner->throughput < calibrationGuardBand * canonicalEntry->throughput) {
        return CalibrationChoice{canonical, true};
    }
    return CalibrationChoice{winner->backend, false};
}

}  // namespace korvalen
