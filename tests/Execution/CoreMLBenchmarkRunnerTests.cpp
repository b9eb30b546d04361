#include "Execution/CoreMLBenchmarkRunner.h"
#include "Platform/Inference/InferenceError.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvalen {
namespace {

using CoreMLBenchmarkRunner::makeInput;
using CoreMLBenchmarkRunner::validate;

CoreMLModelEntry entry(std::int64_t seed, std::int64_t inputSize)
{
    CoreMLModelEntry e;
    e.resource = "OlvaneVisionNet";
    e.inputSize = inputSize;
    e.outputSize = 4;
    e.seed = seed;
    return e;
}

TEST(CoreMLModelInput, FollowsTheSeededFormula)
{
    const auto zero = makeInput(entry(0, 3));
    EXPECT_EQ(zero.shape(), std::vector<std::size_t>{3});
    EXPECT_EQ(zero[0], 0.5f);  // sin(0) + 0.5 cos(0)
    EXPECT_EQ(zero[2], std::sin(2.0f * 0.017f) + 0.5f * std::cos(2.0f * 0.007f));

    // The seed enters only through its remainders by 97 and 53, with the seed's sign.
    const auto big = makeInput(entry(97 * 53 + 5, 16));
    const auto small = makeInput(entry(5, 16));
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(big[i], small[i]);
    }
    const auto negative = makeInput(entry(-5, 1));
    EXPECT_EQ(negative[0], std::sin(-5.0f * 0.013f) + 0.5f * std::cos(-5.0f * 0.019f));

    // Sizes the manifest rules refuse, or a corrupt huge one, fail as allocation errors.
    EXPECT_THROW(makeInput(entry(0, 0)), nn::Error);
    EXPECT_THROW(makeInput(entry(0, std::int64_t(1) << 40)), nn::Error);

    // A longer input starts with the shorter one.
    const auto longer = makeInput(entry(7, 64));
    const auto shorter = makeInput(entry(7, 10));
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(longer[i], shorter[i]);
    }
}

TEST(CoreMLModelOutput, ValidationAgainstTheReference)
{
    CoreMLModelEntry e = entry(0, 8);
    e.outputSize = 3;
    e.checksum = 1.015;
    e.l2Norm = std::sqrt(0.015 * 0.015 + 0.5 * 0.5 + 0.5 * 0.5);
    e.sample = {0.01, 0.5};

    // 0.015 against 0.01 is judged with the 0.05 floor: 0.1 < 0.12.
    const auto good = validate(nn::MultiArray({3}, {0.015f, 0.5f, 0.5f}), e);
    EXPECT_TRUE(good.valid);
    EXPECT_NEAR(good.actualChecksum, 1.015, 1e-6);

    const auto shortOutput = validate(nn::MultiArray({2}, {0.015f, 0.5f}), e);
    EXPECT_FALSE(shortOutput.valid);
    EXPECT_EQ(shortOutput.checksumError, 1.0);
    EXPECT_EQ(shortOutput.l2Error, 1.0);
    EXPECT_EQ(shortOutput.actualChecksum, 0.0);

    EXPECT_FALSE(validate(nn::MultiArray({3}, {0.015f, 0.6f, 0.4f}), e).valid);  // sample 1 off by 20 %
    EXPECT_FALSE(validate(nn::MultiArray({3}, {0.015f, 0.5f, 0.7f}), e).valid);  // checksum off by 20 %
    EXPECT_FALSE(validate(nn::MultiArray({3}, {0.015f, 0.5f, NAN}), e).valid);
}

TEST(CoreMLModelOutput, ComputeUnitLabels)
{
    using CoreMLBenchmarkRunner::computeUnitsLabel;
    EXPECT_EQ(computeUnitsLabel(nn::ComputeUnits::cpuOnly), "CPU Only");
    EXPECT_EQ(computeUnitsLabel(nn::ComputeUnits::cpuAndGPU), "CPU + GPU");
    EXPECT_EQ(computeUnitsLabel(nn::ComputeUnits::all), "All Available");
    EXPECT_EQ(computeUnitsLabel(nn::ComputeUnits::cpuAndNeuralEngine), "CPU + Neural Engine");
    EXPECT_EQ(computeUnitsLabel(nn::ComputeUnits(9)), "Unknown");
}

}  // namespace
}  // namespace korvalen
