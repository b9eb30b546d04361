#include "Model/LatencyCalculator.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvalen::LatencyCalculator {
namespace {

bool usable(double sample)
{
    return std::isfinite(sample) && sample > 0;
}

bool allUsable(std::span<const double> samples)
{
    return std::all_of(samples.begin(), samples.end(), usable);
}

std::vector<double> sortedCopy(std::span<const double> samples)
{
    std::vector<double> sorted(samples.begin(), samples.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

// Linear interpolation between closest ranks of an ascending list.
double percentile(const std::vector<double>& sorted, double p)
{
    const auto n = sorted.size();
    if (n == 0) return 0;
    if (n == 1) return sorted.front();
    const double position = p * static_cast<double>(n - 1);
    const auto lo = static_cast<std::size_t>(std::floor(position));
    const auto hi = static_cast<std::size_t>(std::ceil(position));
    if (lo == hi) return sorted[lo];
    const double f = position - static_cast<double>(lo);
    return (1 - f) * sorted[lo] + f * sorted[hi];
}

struct Fences {
    double lower;
    double upper;
    // A sample lying on a fence is not an outlier.
    bool inside(double x) const { return x >= lower && x <= upper; }
};

Fences quartileFences(const std::vector<double>& sorted)
{
    const double q1 = percentile(sorted, 0.25);
    const double q3 = percentile(sorted, 0.75);
    const double iqr = q3 - q1;
    return {q1 - 1.5 * iqr, q3 + 1.5 * iqr};
}

int outlierCount(const std::vector<double>& sorted)
{
    const Fences fences = quartileFences(sorted);
    return static_cast<int>(std::count_if(sorted.begin(), sorted.end(), [&](double x) { return !fences.inside(x); }));
}

double mean(const std::vector<double>& values)
{
    double sum = 0;
    for (double x : values) sum += x;
    return sum / static_cast<double>(values.size());
}

double sumOfSquaredDeviations(const std::vector<double>& values, double centre)
{
    double sum = 0;
    for (double x : values) sum += (x - centre) * (x - centre);
    return sum;
}

}  // namespace

AILatencyStats statistics(std::span<const double> samples)
{
    std::vector<double> sorted;
    sorted.reserve(samples.size());
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(sorted), usable);
    std::sort(sorted.begin(), sorted.end());

    AILatencyStats stats;
    if (sorted.empty()) {
        stats.p90MS = 0;
        stats.p99MS = 0;
        stats.standardDeviationMS = 0;
        stats.coefficientOfVariation = 0;
        stats.confidence95HalfWidthMS = 0;
        stats.outlierCount = 0;
        return stats;
    }

    const auto n = static_cast<double>(sorted.size());
    const double average = mean(sorted);
    const double divisor = sorted.size() >= 3 ? n - 1 : 1;
    const double deviation = std::sqrt(std::max(sumOfSquaredDeviations(sorted, average) / divisor, 0.0));

    stats.minimumMS = sorted.front();
    stats.medianMS = percentile(sorted, 0.5);
    stats.p95MS = percentile(sorted, 0.95);
    stats.maximumMS = sorted.back();
    stats.averageMS = average;
    stats.p90MS = percentile(sorted, 0.9);
    stats.p99MS = percentile(sorted, 0.99);
    stats.standardDeviationMS = deviation;
    stats.coefficientOfVariation = average > 0 ? deviation / average : 0;
    stats.confidence95HalfWidthMS = sorted.size() > 1 ? 1.96 * deviation / std::sqrt(n) : 0;
    stats.outlierCount = outlierCount(sorted);
    return stats;
}

std::optional<double> robustCoefficientOfVariation(std::span<const double> samples)
{
    if (samples.size() < 3 || !allUsable(samples)) return std::nullopt;
    const std::vector<double> sorted = sortedCopy(samples);
    const Fences fences = quartileFences(sorted);
    std::vector<double> kept;
    std::copy_if(sorted.begin(), sorted.end(), std::back_inserter(kept), [&](double x) { return fences.inside(x); });
    const std::vector<double>& used = kept.size() >= 3 ? kept : sorted;

    const double average = mean(used);
    if (!(average > 0)) return 0.0;
    const double variance = sumOfSquaredDeviations(used, average) / static_cast<double>(used.size() - 1);
    return std::sqrt(std::max(variance, 0.0)) / average;
}

double outlierFraction(std::span<const double> samples)
{
    if (!allUsable(samples)) return 1.0;
    if (samples.size() < 4) return 0;
    return static_cast<double>(outlierCount(sortedCopy(samples))) / static_cast<double>(samples.size());
}

std::optional<Stability> comparisonStability(std::span<const double> samples)
{
    const std::optional<double> robustCV = robustCoefficientOfVariation(samples);
    if (!robustCV) return std::nullopt;

    const AILatencyStats stats = statistics(samples);
    const double median = stats.medianMS;

    Stability s;
    s.robustCV = *robustCV;
    s.robustCVLimit = (std::isfinite(median) && median > 0) ? std::min(std::max(0.1 / median, 0.05), 0.2) : 0.05;
    s.outlierFraction = outlierFraction(samples);
    s.outlierLimit = 0.1;
    s.p95MS = stats.p95MS;
    s.tailLimitMS = median + std::max(0.25 * median, 0.1);

    // A very steady sub-millisecond kernel may exceed the outlier limit as long as its P95 stays
    // within the tail limit: at that scale a few scheduler hiccups count as outliers.
    if (median < 1.0 && s.robustCV <= std::min(s.robustCVLimit, 0.03)) {
        s.submillisecondTailGuardPassed = s.p95MS <= s.tailLimitMS;
        s.stable =
            s.robustCV <= s.robustCVLimit && (s.outlierFraction <= s.outlierLimit || s.submillisecondTailGuardPassed);
    } else {
        s.submillisecondTailGuardPassed = false;
        s.stable = s.robustCV <= s.robustCVLimit && s.outlierFraction <= s.outlierLimit;
    }
    return s;
}

}  // namespace korvalen::LatencyCalculator
