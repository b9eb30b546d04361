#pragma once

#include "Model/AIRecords.h"

#include <optional>
#include <span>

namespace korvalen {

// Latency statistics over per-iteration samples in milliseconds. A usable sample is finite and
// greater than 0. Quartile fences (1.5 x IQR) keep a few slow iterations from dominating.
namespace LatencyCalculator {

// Verdict on whether a latency list is steady enough to compare, with the figures that decided it.
struct Stability {
    bool stable = false;
    double robustCV = 0;
    double robustCVLimit = 0;
    double outlierFraction = 0;
    double outlierLimit = 0;
    double p95MS = 0;
    double tailLimitMS = 0;
    bool submillisecondTailGuardPassed = false;
};

// Unusable samples are dropped; an empty list gives all zeros. Every optional field is present.
AILatencyStats statistics(std::span<const double> samples);

// No value for fewer than 3 samples or any unusable one.
std::optional<double> robustCoefficientOfVariation(std::span<const double> samples);

// 1.0 when any sample is unusable; 0 for fewer than 4 samples.
double outlierFraction(std::span<const double> samples);

// No value when the robust coefficient of variation has none.
std::optional<Stability> comparisonStability(std::span<const double> samples);

}  // namespace LatencyCalculator
}  // namespace korvalen
