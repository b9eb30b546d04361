#include "Execution/Shared/OlvaneHalfPrecision.h"

#include <immintrin.h>

#include <stdexcept>

namespace korvalen::OlvaneHalfPrecision {

namespace {

// The processor's own conversions round to nearest even and are exact the other way, like the
// scalar pair above, but they keep NaN payloads (and quiet signalling NaNs) where the scalar pair
// gives 0x7E00 or keeps the signalling bit: a block of eight holding any NaN or infinity exponent
// goes through the scalar pair, so every value converts to the same bits either way.
[[gnu::target("avx,f16c")]] void encodeF16C(const float* in, std::uint16_t* out, std::size_t count)
{
    const __m256 exponentMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7F800000));
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 values = _mm256_loadu_ps(in + i);
        const __m256 special = _mm256_cmp_ps(_mm256_and_ps(values, exponentMask), exponentMask, _CMP_EQ_OQ);
        if (_mm256_movemask_ps(special) != 0) {
            for (std::size_t j = i; j < i + 8; ++j) out[j] = encode(in[j]);
            continue;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_cvtps_ph(values, _MM_FROUND_TO_NEAREST_INT));
    }
    for (; i < count; ++i) out[i] = encode(in[i]);
}

[[gnu::target("avx,f16c")]] void decodeF16C(const std::uint16_t* in, float* out, std::size_t count)
{
    const __m128i exponentMask = _mm_set1_epi16(0x7C00);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(halves, exponentMask), exponentMask)) != 0) {
            for (std::size_t j = i; j < i + 8; ++j) out[j] = decode(in[j]);
            continue;
        }
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(halves));
    }
    for (; i < count; ++i) out[i] = decode(in[i]);
}

bool hasF16C()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c");
    }();
    return supported && !forceScalarArrays;
}

}  // namespace

bool forceScalarArrays = false;

void encode(std::span<const float> in, std::span<std::uint16_t> out)
{
    if (out.size() < in.size()) throw std::length_error("half-precision output shorter than its input");
    if (hasF16C()) return encodeF16C(in.data(), out.data(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = encode(in[i]);
}

void decode(std::span<const std::uint16_t> in, std::span<float> out)
{
    if (out.size() < in.size()) throw std::length_error("single-precision output shorter than its input");
    if (hasF16C()) return decodeF16C(in.data(), out.data(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = decode(in[i]);
}

}  // namespace korvalen::OlvaneHalfPrecision
