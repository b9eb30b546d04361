#include "Platform/Foundation/NumberFormat.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

namespace korvalen {
namespace {

// printf in the C locale is the reference the texts must match.
std::string printfText(const char* format, double value, int decimals)
{
    std::vector<char> buffer(static_cast<std::size_t>(decimals) + 400);
    std::snprintf(buffer.data(), buffer.size(), format, decimals, value);
    return buffer.data();
}

std::vector<double> sampleValues()
{
    std::vector<double> values{
        0.0,
        -0.0,
        0.5,
        1.5,
        2.5,
        -2.5,
        0.125,
        0.375,
        -0.125,
        1.005,
        2.675,
        0.045,
        1e-7,
        -1e-7,
        0.9999999,
        9.99995,
        99.995,
        99.9999,
        123456.5,
        1e15 + 0.5,
        4503599627370497.0,
        1e22,
        1e23,
        1.7976931348623157e308,
        std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::min(),
        0.1,
        0.2,
        0.3,
        1.0 / 3.0,
        2.0 / 3.0,
        5e-324,
        0.000244140625,
        1234.5678,
        -98765.4321,
    };
    // Exact binary ties at several decimal positions: k/2^n with few enough bits to be representable.
    for (int k = -40; k <= 40; ++k) {
        values.push_back(k / 8.0);
        values.push_back(k / 32.0 + 100);
        values.push_back(k * 0.5);
    }
    std::mt19937_64 generator(20240917);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-12, 12);
    for (int i = 0; i < 4000; ++i) {
        values.push_back(mantissa(generator) * std::pow(10.0, exponent(generator)));
    }
    return values;
}

TEST(NumberFormat, FixedMatchesPrintfInTheCLocale)
{
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    int compared = 0;
    for (double value : sampleValues()) {
        for (int decimals : {0, 1, 2, 3, 4, 6, 10, 17, 25}) {
            ASSERT_EQ(formatFixed(value, decimals), printfText("%.*f", value, decimals))
                << "value " << printfText("%.*e", value, 20) << " decimals " << decimals;
            ASSERT_EQ(formatSignedFixed(value, decimals), printfText("%+.*f", value, decimals))
                << "value " << printfText("%.*e", value, 20) << " decimals " << decimals;
            ++compared;
        }
    }
    EXPECT_GT(compared, 30000);
}

TEST(NumberFormat, TiesRoundToEvenOnTheBinaryValue)
{
    EXPECT_EQ(formatFixed(2.5, 0), "2");
    EXPECT_EQ(formatFixed(3.5, 0), "4");
    EXPECT_EQ(formatFixed(0.125, 2), "0.12");
    EXPECT_EQ(formatFixed(0.375, 2), "0.38");
    // 2.675 is stored just below the tie, so it rounds down.
    EXPECT_EQ(formatFixed(2.675, 2), "2.67");
    EXPECT_EQ(formatFixed(-0.001, 2), "-0.00");
    EXPECT_EQ(formatSignedFixed(0.0, 1), "+0.0");
    EXPECT_EQ(formatSignedFixed(-0.0, 1), "-0.0");
    EXPECT_EQ(formatSignedFixed(1.25, 1), "+1.2");
}

TEST(NumberFormat, NonFiniteFixedPrintsLikePrintf)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double value : {inf, -inf, nan, -nan}) {
        EXPECT_EQ(formatFixed(value, 2), printfText("%.*f", value, 2));
        EXPECT_EQ(formatSignedFixed(value, 2), printfText("%+.*f", value, 2));
    }
    EXPECT_EQ(formatFixed(-1.0, -1), printfText("%.*f", -1.0, -1));
}

TEST(NumberFormat, ResultNumbers)
{
    EXPECT_EQ(formatResultNumber(std::numeric_limits<double>::quiet_NaN()), "0");
    EXPECT_EQ(formatResultNumber(std::numeric_limits<double>::infinity()), "0");
    EXPECT_EQ(formatResultNumber(-std::numeric_limits<double>::infinity()), "0");
    EXPECT_EQ(formatResultNumber(100), "100");
    EXPECT_EQ(formatResultNumber(1234.5), "1234");
    EXPECT_EQ(formatResultNumber(-150.5), "-150");
    EXPECT_EQ(formatResultNumber(99.999), "100.00");
    EXPECT_EQ(formatResultNumber(10), "10.00");
    EXPECT_EQ(formatResultNumber(-10.125), "-10.12");
    EXPECT_EQ(formatResultNumber(9.99999), "10.0000");
    EXPECT_EQ(formatResultNumber(0.5), "0.5000");
    EXPECT_EQ(formatResultNumber(0), "0.0000");
    EXPECT_EQ(formatResultNumber(1.1), "1.1000");
}

}  // namespace
}  // namespace korvalen
