#include "Model/LatencyCalculator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace korvalen {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using Samples = std::vector<double>;

TEST(LatencyStatistics, ListsWithoutUsableSamplesGiveZerosWithEveryFigurePresent)
{
    for (const Samples& samples : {Samples{}, Samples{0, -1, nan}}) {
        const AILatencyStats s = LatencyCalculator::statistics(samples);
        AILatencyStats zeros;
        zeros.p90MS = zeros.p99MS = zeros.standardDeviationMS = zeros.coefficientOfVariation =
            zeros.confidence95HalfWidthMS = 0;
        zeros.outlierCount = 0;
        EXPECT_EQ(s, zeros);
    }
}

TEST(LatencyStatistics, SmallListsUseInterpolatedPercentilesAndDivisorOneBelowThreeSamples)
{
    const AILatencyStats one = LatencyCalculator::statistics(Samples{2.0});
    for (double v : {one.minimumMS, one.medianMS, *one.p90MS, one.p95MS, *one.p99MS, one.maximumMS, one.averageMS})
        EXPECT_EQ(v, 2.0);
    EXPECT_EQ(*one.standardDeviationMS, 0);
    EXPECT_EQ(*one.coefficientOfVariation, 0);
    EXPECT_EQ(*one.confidence95HalfWidthMS, 0);

    const AILatencyStats two = LatencyCalculator::statistics(Samples{2, 1});
    EXPECT_DOUBLE_EQ(two.medianMS, 1.5);
    EXPECT_DOUBLE_EQ(*two.standardDeviationMS, std::sqrt(0.5));
    EXPECT_DOUBLE_EQ(*two.confidence95HalfWidthMS, 1.96 * std::sqrt(0.5) / std::sqrt(2.0));

    // Unsorted input, with junk that must be dropped before ranking.
    const AILatencyStats four = LatencyCalculator::statistics(Samples{40, nan, 10, 30, 0, 20});
    EXPECT_DOUBLE_EQ(four.p95MS, 38.5);
    EXPECT_DOUBLE_EQ(four.minimumMS, 10);
    EXPECT_DOUBLE_EQ(four.maximumMS, 40);
    EXPECT_DOUBLE_EQ(four.averageMS, 25);
    EXPECT_DOUBLE_EQ(*four.standardDeviationMS, std::sqrt(500.0 / 3));  // divisor n - 1 from three samples on
}

TEST(LatencyStatistics, CountsOnlySamplesStrictlyOutsideTheFences)
{
    // Q1 = 2, Q3 = 3, fences 0.5 and 4.5: 4.5 sits on the fence, 100 is out.
    EXPECT_EQ(LatencyCalculator::statistics(Samples{2, 2, 3, 3, 4.5}).outlierCount, 0);
    EXPECT_EQ(LatencyCalculator::statistics(Samples{2, 2, 3, 3, 100}).outlierCount, 1);
}

TEST(LatencyStatistics, RobustCoefficientOfVariation)
{
    struct Case {
        Samples samples;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {{1, 1}, std::nullopt},
        {{1, 1, 1}, 0.0},
        {{1, 0, 1}, std::nullopt},
        {{1, -1, 2}, std::nullopt},
        {{1, nan, 1, 1}, std::nullopt},
        // The outlier 100 is fenced off; the CV comes from 1, 1, 2, 2.
        {{1, 1, 2, 2, 100}, std::sqrt(1.0 / 3) / 1.5},
    };
    for (const auto& c : cases) {
        const auto cv = LatencyCalculator::robustCoefficientOfVariation(c.samples);
        ASSERT_EQ(cv.has_value(), c.expected.has_value());
        if (cv) {
            EXPECT_DOUBLE_EQ(*cv, *c.expected);
        }
    }
}

TEST(LatencyStatistics, OutlierFraction)
{
    struct Case {
        Samples samples;
        double expected;
    };
    const Case cases[] = {
        {{1, 1, 1}, 0}, {{1, 1, 1, 100}, 0.25}, {{1, 1, 1, 1, 100}, 0.2}, {{1, nan}, 1.0}, {{1, 1, 0, 1, 1}, 1.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(LatencyCalculator::outlierFraction(c.samples), c.expected);
}

TEST(LatencyStability, LimitScalesInverselyWithTheMedianWithinItsClamps)
{
    struct Case {
        double median;
        double limit;
    };
    for (const Case c : {Case{4, 0.05}, Case{0.25, 0.2}, Case{1, 0.1}, Case{0.8, 0.125}}) {
        const auto s = LatencyCalculator::comparisonStability(Samples{c.median, c.median, c.median});
        ASSERT_TRUE(s);
        EXPECT_DOUBLE_EQ(s->robustCVLimit, c.limit) << c.median;
        EXPECT_TRUE(s->stable);
    }
    EXPECT_FALSE(LatencyCalculator::comparisonStability(Samples{1, 1}));
}

TEST(LatencyStability, SubMillisecondTailGuardExcusesOutliersOnlyBelowOneMillisecond)
{
    struct Case {
        Samples samples;
        bool stable;
        bool guard;
        double tailLimit;
    };
    auto eightPlusTwo = [](double base, double tail) {
        Samples s(8, base);
        s.push_back(tail);
        s.push_back(tail);
        return s;
    };
    const Case cases[] = {
        {eightPlusTwo(0.5, 0.55), true, true, 0.625},    // two outliers, P95 within the tail limit
        {eightPlusTwo(0.5, 0.65), false, false, 0.625},  // P95 beyond it
        {eightPlusTwo(2.0, 2.2), false, false, 2.5},     // no guard above 1 ms
    };
    for (const auto& c : cases) {
        const auto s = LatencyCalculator::comparisonStability(c.samples);
        ASSERT_TRUE(s);
        EXPECT_DOUBLE_EQ(s->outlierFraction, 0.2);
        EXPECT_DOUBLE_EQ(s->robustCV, 0);
        EXPECT_EQ(s->stable, c.stable);
        EXPECT_EQ(s->submillisecondTailGuardPassed, c.guard);
        EXPECT_DOUBLE_EQ(s->tailLimitMS, c.tailLimit);
        EXPECT_DOUBLE_EQ(s->outlierLimit, 0.1);
    }
}

}  // namespace
}  // namespace korvalen
