#include "Execution/Shared/OlvaneHalfPrecision.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

using namespace korvalen;

namespace {

std::uint16_t compilerEncode(float value)
{
    return std::bit_cast<std::uint16_t>(static_cast<_Float16>(value));
}
float compilerDecode(std::uint16_t h)
{
    return static_cast<float>(std::bit_cast<_Float16>(h));
}
bool isNaNPattern(std::uint16_t h)
{
    return (h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0;
}

// Compares one float against the compiler's conversion; NaNs only need to agree on the sign, since
// every NaN is deliberately encoded as the quiet NaN 0x7E00.
void expectEncodeMatches(float value)
{
    const std::uint16_t ours = OlvaneHalfPrecision::encode(value);
    if (std::isnan(value)) {
        ASSERT_EQ(ours, std::signbit(value) ? 0xFE00u : 0x7E00u) << std::hex << std::bit_cast<std::uint32_t>(value);
        return;
    }
    ASSERT_EQ(ours, compilerEncode(value)) << std::hex << "float bits " << std::bit_cast<std::uint32_t>(value);
}

}  // namespace

TEST(OlvaneHalfPrecision, EveryPatternDecodesLikeTheCompilerAndRoundTrips)
{
    for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
        const auto half = static_cast<std::uint16_t>(h);
        const float ours = OlvaneHalfPrecision::decode(half);
        if (isNaNPattern(half)) {
            ASSERT_TRUE(std::isnan(ours)) << std::hex << h;
            // The payload moves into place unchanged, sign included.
            ASSERT_EQ(std::bit_cast<std::uint32_t>(ours),
                      (static_cast<std::uint32_t>(h & 0x8000u) << 16) | ((h & 0x3FFu) << 13) | 0x7F800000u);
            ASSERT_EQ(OlvaneHalfPrecision::encode(ours), (h & 0x8000u) | 0x7E00u) << std::hex << h;
            continue;
        }
        ASSERT_EQ(std::bit_cast<std::uint32_t>(ours), std::bit_cast<std::uint32_t>(compilerDecode(half)))
            << std::hex << h;
        ASSERT_EQ(OlvaneHalfPrecision::encode(ours), half) << std::hex << h;
    }
}

// Exact ties, one float step either side of every tie and of every half value, across the whole
// half range including subnormals and the overflow boundary.
TEST(OlvaneHalfPrecision, EncodeRoundsTiesToEvenLikeTheCompiler)
{
    for (std::uint32_t h = 0; h < 0x7C00; ++h) {
        const float low = OlvaneHalfPrecision::decode(static_cast<std::uint16_t>(h));
        const float high = h + 1 < 0x7C00 ? OlvaneHalfPrecision::decode(static_cast<std::uint16_t>(h + 1)) : 65536.0f;
        const float tie = low + (high - low) * 0.5f;  // exact: both are representable with room to spare
        for (float sign : {1.0f, -1.0f}) {
            for (float value :
                 {low, tie, std::nextafter(tie, 0.0f), std::nextafter(tie, 1e9f), std::nextafter(low, 1e9f)}) {
                expectEncodeMatches(sign * value);
            }
        }
    }
}

TEST(OlvaneHalfPrecision, EncodeMatchesTheCompilerAcrossAllFloatMagnitudes)
{
    // A prime stride visits every exponent and a spread of mantissas, both signs, NaNs and infinities.
    for (std::uint64_t b = 0; b <= 0xFFFFFFFFull; b += 4099)
        expectEncodeMatches(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
    // Every float whose result is a half subnormal or a zero near the subnormal boundary (exponents 100-113), sampled densely.
    for (std::uint32_t b = 100u << 23; b < 114u << 23; b += 97) expectEncodeMatches(std::bit_cast<float>(b));
}

TEST(OlvaneHalfPrecision, KnownValues)
{
    using OlvaneHalfPrecision::decode;
    using OlvaneHalfPrecision::encode;
    EXPECT_EQ(encode(1.0f), 0x3C00);
    EXPECT_EQ(encode(-2.0f), 0xC000);
    EXPECT_EQ(encode(0.5f), 0x3800);
    EXPECT_EQ(encode(0.1f), 0x2E66);
    EXPECT_EQ(encode(1.0f / 3.0f), 0x3555);
    EXPECT_EQ(encode(65504.0f), 0x7BFF);
    EXPECT_EQ(encode(65519.0f), 0x7BFF);
    EXPECT_EQ(encode(65520.0f), 0x7C00);
    EXPECT_EQ(encode(70000.0f), 0x7C00);
    EXPECT_EQ(encode(-std::numeric_limits<float>::infinity()), 0xFC00);
    EXPECT_EQ(encode(std::numeric_limits<float>::quiet_NaN()), 0x7E00);
    EXPECT_EQ(encode(std::bit_cast<float>(0xFFC00001u)), 0xFE00);
    EXPECT_EQ(encode(std::bit_cast<float>(0x7F800001u)), 0x7E00);  // a signalling NaN is quieted too
    EXPECT_EQ(encode(0x1p-14f), 0x0400);
    EXPECT_EQ(encode(0x1p-24f), 0x0001);
    EXPECT_EQ(encode(0x1p-25f), 0x0000);
    EXPECT_EQ(encode(std::nextafter(0x1p-25f, 1.0f)), 0x0001);
    EXPECT_EQ(encode(-0.0f), 0x8000);
    EXPECT_EQ(encode(1e-10f), 0x0000);
    EXPECT_EQ(encode(0x1.ffcp-15f), 0x0400);  // the largest subnormal's upper tie carries into the smallest normal

    EXPECT_EQ(decode(0x0001), 0x1p-24f);
    EXPECT_EQ(decode(0x03FF), 1023.0f * 0x1p-24f);
    EXPECT_EQ(decode(0x0400), 0x1p-14f);
    EXPECT_EQ(decode(0x7BFF), 65504.0f);
    EXPECT_TRUE(std::signbit(decode(0x8000)) && decode(0x8000) == 0.0f);
    EXPECT_EQ(decode(0x7C00), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(decode(0x7E00)));
}

TEST(OlvaneHalfPrecision, ArrayConversionsMatchElementwiseAndRefuseShortOutputs)
{
    const std::vector<float> in{0.1f, -3.5f, 1e-6f, 7e4f};
    std::vector<std::uint16_t> halves(in.size());
    OlvaneHalfPrecision::encode(in, halves);
    for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(halves[i], OlvaneHalfPrecision::encode(in[i]));
    std::vector<float> back(in.size());
    OlvaneHalfPrecision::decode(halves, back);
    for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(back[i], OlvaneHalfPrecision::decode(halves[i]));

    std::vector<std::uint16_t> shortHalves(2);
    EXPECT_THROW(OlvaneHalfPrecision::encode(in, shortHalves), std::length_error);
    std::vector<float> shortFloats(1);
    EXPECT_THROW(OlvaneHalfPrecision::decode(halves, shortFloats), std::length_error);
}

// The array conversions' hardware path against the scalar pair, bit for bit: every half pattern
// (NaN payloads and signalling NaNs included) and floats sampled across every bit pattern, in an
// odd length so the tail is covered, with NaNs and infinities scattered into otherwise fast blocks.
TEST(OlvaneHalfPrecision, ArrayConversionsGiveTheScalarBitsOnEveryPath)
{
    std::vector<std::uint16_t> halves(65'536 + 3);
    for (std::size_t i = 0; i < halves.size(); ++i) halves[i] = static_cast<std::uint16_t>(i * 7919u);
    std::vector<float> floats;
    for (std::uint64_t b = 0; b < (1ull << 32); b += 4'099)
        floats.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
    for (float special : {65'519.0f, 65'520.0f, 0x1p-25f, 0x1.8p-24f, -0.0f, std::bit_cast<float>(0x7F800001u)})
        floats.push_back(special);

    for (bool scalar : {false, true}) {
        OlvaneHalfPrecision::forceScalarArrays = scalar;
        std::vector<float> decoded(halves.size());
        OlvaneHalfPrecision::decode(halves, decoded);
        for (std::size_t i = 0; i < halves.size(); ++i)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(decoded[i]),
                      std::bit_cast<std::uint32_t>(OlvaneHalfPrecision::decode(halves[i])))
                << scalar << " " << halves[i];
        std::vector<std::uint16_t> encoded(floats.size());
        OlvaneHalfPrecision::encode(floats, encoded);
        for (std::size_t i = 0; i < floats.size(); ++i)
            ASSERT_EQ(encoded[i], OlvaneHalfPrecision::encode(floats[i])) << scalar << " " << floats[i];
    }
    OlvaneHalfPrecision::forceScalarArrays = false;
}
