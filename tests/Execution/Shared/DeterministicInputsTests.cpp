#include "Execution/Shared/DeterministicInputs.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

using namespace korvalen;

namespace {

std::uint32_t bits(float value)
{
    return std::bit_cast<std::uint32_t>(value);
}

}  // namespace

// Golden values checked by hand from the generator's arithmetic: the first mixed value of seed 0 is
// 0xE220A8397B1DCDAF, u = 0.88331080821..., Float(u) + Float(u) - 1 = 0.76662159.
TEST(DeterministicFloats, FirstValuesOfSeedZeroAreFixed)
{
    const std::vector<float> values = deterministicFloats(6, 0);
    ASSERT_EQ(values.size(), 6u);
    EXPECT_EQ(bits(values[0]), 0x3F444150u);  // 0.76662159
    EXPECT_EQ(bits(values[1]), 0xBE0C3B0Cu);  // -0.13694400
    EXPECT_EQ(bits(values[2]), 0xBF727746u);  // -0.94713247
    EXPECT_EQ(bits(values[3]), 0x3F711772u);  // 0.94176400
    EXPECT_EQ(bits(values[4]), 0xBF498CEDu);  // -0.78730661
    EXPECT_EQ(bits(values[5]), 0xBEB0D184u);  // -0.34534848

    const std::vector<float> seeded = deterministicFloats(3, 42);
    EXPECT_FLOAT_EQ(seeded[0], 0.48312974f);
    EXPECT_FLOAT_EQ(seeded[1], -0.68017924f);
    EXPECT_FLOAT_EQ(seeded[2], -0.44279772f);
}

TEST(DeterministicFloats, PrefixStableBoundedAndEmptyForNoCount)
{
    const std::vector<float> longer = deterministicFloats(10'000, 658'704);
    const std::vector<float> shorter = deterministicFloats(777, 658'704);
    ASSERT_EQ(longer.size(), 10'000u);
    for (std::size_t i = 0; i < shorter.size(); ++i) ASSERT_EQ(bits(shorter[i]), bits(longer[i])) << i;
    for (float value : longer) {
        ASSERT_GE(value, -1.0f);
        ASSERT_LE(value, 1.0f);
    }
    std::vector<float> filled(longer.size());
    fillDeterministicFloats(filled, 658'704);
    EXPECT_EQ(filled, longer);

    EXPECT_TRUE(deterministicFloats(0, 5).empty());
    EXPECT_TRUE(deterministicFloats(-3, 5).empty());
}

// Element k depends only on seed + (k + 1) * gamma, so a stream started one gamma later is the same
// stream shifted by one element; seeds wrap modulo 2^64.
TEST(DeterministicFloats, ElementDependsOnlyOnSeedPlusMultipleOfGamma)
{
    const std::vector<float> base = deterministicFloats(50, 123);
    const std::vector<float> shifted = deterministicFloats(49, 123 + SplitMix64::gamma);
    for (std::size_t i = 0; i < shifted.size(); ++i) EXPECT_EQ(bits(shifted[i]), bits(base[i + 1]));

    const std::vector<float> wrapped = deterministicFloats(4, ~std::uint64_t{0});
    const std::vector<float> next = deterministicFloats(3, SplitMix64::gamma - 1);
    for (std::size_t i = 0; i < next.size(); ++i) EXPECT_EQ(bits(next[i]), bits(wrapped[i + 1]));
}

// Every instruction set the processor has, forced in turn, against the sequential generator: odd
// lengths and unaligned starts exercise the vector loops' tails and heads, and seeds near the wrap
// and with large high bits exercise the bit-built float conversion.
TEST(DeterministicFloats, EveryInstructionSetMatchesTheSequentialGenerator)
{
    const std::uint64_t seeds[] = {0, 61'490, 0xFFFFFFFFFFFFFFF0ull, 0x8000000000000001ull};
    const std::size_t lengths[] = {1, 7, 15, 17, 33, 1'000, 4'099};
    for (InstructionSet set : allInstructionSets) {
        if (!processorSupports(set)) continue;
        for (std::uint64_t seed : seeds) {
            for (std::size_t length : lengths) {
                for (std::size_t offset : {0u, 1u, 3u}) {
                    SplitMix64 stream(seed);
                    std::vector<float> buffer(length + offset + 1, 9.0f);
                    fillDeterministicFloats(std::span<float>(buffer).subspan(offset, length), seed, set);
                    for (std::size_t i = 0; i < offset; ++i) ASSERT_EQ(buffer[i], 9.0f);
                    for (std::size_t i = 0; i < length; ++i)
                        ASSERT_EQ(bits(buffer[offset + i]), bits(stream.nextFloat()))
                            << rawValue(set) << " " << seed << " " << i;
                    ASSERT_EQ(buffer[offset + length], 9.0f);
                }
            }
        }
    }
}

// The last seed's first value, 2^64 - 17, folds to about the largest sum the vector loops divide by
// 31, with remainder 30: the case their quotients' error bounds are tightest for.
TEST(DeterministicBytes, EveryInstructionSetMatchesTheSequentialGenerator)
{
    ASSERT_EQ(SplitMix64(0x7786FCF6F2461DB8ull).next(), 0xFFFFFFFFFFFFFFEFull);
    for (InstructionSet set : allInstructionSets) {
        if (!processorSupports(set)) continue;
        for (std::uint64_t seed :
             {std::uint64_t{6'776}, std::uint64_t{0xFFFFFFFFFFFFFFF0ull}, std::uint64_t{0x7786FCF6F2461DB8ull}}) {
            for (std::size_t length : {std::size_t{1}, std::size_t{9}, std::size_t{40'003}}) {
                SplitMix64 stream(seed);
                std::vector<std::int8_t> bytes(length);
                fillDeterministicBytes(bytes, seed, set);
                for (std::size_t i = 0; i < length; ++i)
                    ASSERT_EQ(bytes[i], static_cast<int>(stream.next() % 31) - 15)
                        << rawValue(set) << " " << seed << " " << i;
            }
        }
    }
}

TEST(Checksums, SampledAndWeightedSampledSums)
{
    const std::vector<float> x{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f};
    EXPECT_EQ(sampledChecksum<float>(x, 3), 1.0 + 4.0 + 7.0);
    EXPECT_EQ(sampledChecksum<float>(x, 7), 1.0);
    EXPECT_EQ(sampledChecksum<float>(std::span<const float>{}, 3), 0.0);

    std::vector<float> y(40, 1.0f);
    // Indices 0, 18, 36 weigh 1, 2, 3 (i mod 17 + 1).
    EXPECT_EQ(weightedSampledChecksum<float>(y, 18), 1.0 + 2.0 + 3.0);
}
