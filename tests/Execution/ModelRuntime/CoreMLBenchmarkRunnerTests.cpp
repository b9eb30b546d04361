#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"
#include "Platform/Inference/InferenceError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

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

TEST(CoreMLPostProcessing, NonMaximumSuppression)
{
    using CoreMLBenchmarkRunner::deterministicNMS;
    using CoreMLBenchmarkRunner::Proposal;
    using CoreMLBenchmarkRunner::suppressedScoreSum;

    const std::vector<float> one{3.0f};
    EXPECT_EQ(deterministicNMS(one), 0.0);  // fewer than two elements: no proposal
    const std::vector<float> three{2.0f, -7.0f, 9.0f};
    EXPECT_DOUBLE_EQ(deterministicNMS(three), 1.0 / (1.0 + std::exp(-2.0)));  // one proposal, from element 0

    // 64 equal scores of length 0.08 spaced 1/64 apart: walking in index order, each proposal
    // overlaps its predecessor by IoU 0.67 (dropped) and the one before that by 0.44 (kept), so
    // every even index survives: 32 × 0.5.
    const std::vector<float> zeros(128, 0.0f);
    EXPECT_DOUBLE_EQ(deterministicNMS(zeros), 16.0);
    // Only the first 64 elements make proposals.
    std::vector<float> longer(200, 0.0f);
    longer[150] = 5.0f;
    EXPECT_DOUBLE_EQ(deterministicNMS(longer), 16.0);
    longer[63] = 5.0f;
    EXPECT_NE(deterministicNMS(longer), 16.0);

    // IoU 1/3: both kept. IoU 0.75: the lower score goes, whichever order they come in.
    EXPECT_DOUBLE_EQ(suppressedScoreSum({{0.9, 0.0, 0.2}, {0.8, 0.1, 0.3}}), 1.7);
    EXPECT_DOUBLE_EQ(suppressedScoreSum({{0.6, 0.05, 0.2}, {0.9, 0.0, 0.2}}), 0.9);
    // Equal scores keep index order: the first of two identical segments survives.
    EXPECT_DOUBLE_EQ(suppressedScoreSum({{0.5, 0.0, 0.2}, {0.5, 0.0, 0.2}}), 0.5);
    // Empty segments have no positive union and never suppress.
    EXPECT_DOUBLE_EQ(suppressedScoreSum({{0.5, 1.0, 1.0}, {0.25, 1.0, 1.0}}), 0.75);
}

TEST(CoreMLPostProcessing, MaskProjectionNormalizationAndTokenSelection)
{
    using namespace CoreMLBenchmarkRunner;
    // A one-element output fills all 4096 cells with its class; the cell weights sum to 24588.
    EXPECT_EQ(maskClassProjection(std::vector<float>{0.5f}), 2 * 24588.0);
    EXPECT_EQ(maskClassProjection(std::vector<float>{0.1f}), 24588.0);
    // Elements are compared as doubles: 0.2f lies just above 0.2 and -0.2f just below -0.2.
    EXPECT_EQ(maskClassProjection(std::vector<float>{0.2f}), 2 * 24588.0);
    EXPECT_EQ(maskClassProjection(std::vector<float>{0.19999999f}), 24588.0);
    EXPECT_EQ(maskClassProjection(std::vector<float>{-0.2f}), 0.0);
    EXPECT_EQ(maskClassProjection(std::vector<float>{-0.19999999f}), 24588.0);
    EXPECT_EQ(maskClassProjection(std::vector<float>{}), 0.0);
    // Two elements: cell (r, k) reads element (r + k) mod 2.
    EXPECT_LT(maskClassProjection(std::vector<float>{1.0f, -1.0f}), 2 * 24588.0);
    EXPECT_GT(maskClassProjection(std::vector<float>{1.0f, -1.0f}), 0.0);

    EXPECT_NEAR(normalizedEmbeddingSum(std::vector<float>{3.0f, 4.0f}), 0.6 * 1 + 0.8 * 2, 1e-12);
    EXPECT_EQ(normalizedEmbeddingSum(std::vector<float>(5, 0.0f)), 0.0);  // no division by zero

    // Equal values at 0 and 1: the sine term lifts index 1.
    EXPECT_DOUBLE_EQ(tokenSelection(std::vector<float>{1.0f, 1.0f}), 1.0 + 0.001 * std::sin(0.031) + 1.0);
    // Equal values at 0 and 120, where the sine is negative: the earlier index stays.
    std::vector<float> tie(150, -1.0f);
    tie[0] = 5.0f;
    tie[120] = 5.0f;
    EXPECT_DOUBLE_EQ(tokenSelection(tie), 5.0);
}

TEST(CoreMLPostProcessing, QuantizedOutputHash)
{
    using namespace CoreMLBenchmarkRunner;
    EXPECT_EQ(quantizeMilli(0.0025), 3);  // halves away from zero
    EXPECT_EQ(quantizeMilli(-0.0025), -3);
    EXPECT_EQ(quantizeMilli(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(quantizeMilli(-1e300), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(quantizeMilli(INFINITY), std::nullopt);
    EXPECT_EQ(quantizeMilli(1e306), std::nullopt);  // × 1000 overflows

    // Reference values of 64-bit FNV-1a over the quantized integers.
    EXPECT_EQ(quantizedOutputHash(std::vector<float>{}), 2216829733.0);  // low half of the offset basis
    EXPECT_EQ(quantizedOutputHash(std::vector<float>{0.001f}), 2248259116.0);
    EXPECT_EQ(quantizedOutputHash(std::vector<float>{0.001f, -0.003f, 0.002f}), 2563777043.0);
    EXPECT_EQ(quantizedOutputHash(std::vector<float>{0.001f, NAN, 0.002f}), 0.0);

    // Routing: workloads without post-processing contribute nothing.
    const std::vector<float> output{0.5f, -0.25f, 1.5f};
    EXPECT_EQ(postProcess(AIWorkloadID::imageClassification, output), 0.0);
    EXPECT_EQ(postProcess(AIWorkloadID::speechRecognition, output), quantizedOutputHash(output));
    EXPECT_EQ(postProcess(AIWorkloadID::llmTokenGeneration, output), tokenSelection(output));
}

TEST(CoreMLBatchScaling, RepeatsAndEfficiency)
{
    using namespace CoreMLBenchmarkRunner;
    EXPECT_EQ(batchRepeats(0.6), 1);
    EXPECT_EQ(batchRepeats(1.0), 2);
    EXPECT_EQ(batchRepeats(2.2), 4);
    EXPECT_EQ(batchRepeats(0.2), 1);
    EXPECT_EQ(batchRepeats(0.75), 2);  // 1.5 rounds away from zero
    EXPECT_EQ(batchRepeats(0.0), 1);
    EXPECT_EQ(batchRepeats(-3.0), 1);
    EXPECT_EQ(batchRepeats(NAN), 1);
    EXPECT_EQ(batchRepeats(1e300), 1'000'000);

    EXPECT_DOUBLE_EQ(batchScalingEfficiency({{1, 100.0}, {16, 1200.0}}), 75.0);
    EXPECT_EQ(batchScalingEfficiency({{1, 0.0}, {16, 1200.0}}), 0.0);
    EXPECT_EQ(batchScalingEfficiency({{16, 1200.0}}), 0.0);
    EXPECT_EQ(batchScalingEfficiency({{1, 100.0}}), 0.0);
}

}  // namespace
}  // namespace korvalen
