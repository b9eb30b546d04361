#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace korvalen {

// IEEE 754 binary16 <-> binary32 conversion for half-precision tensors held as bit patterns. The CPU
// kernels, the GPU invocations and the half-buffer checksums all go through this pair, so CPU and
// GPU see bit-identical half inputs. Pure, allocation-free, safe from any thread; inline because the
// key/value cache converts millions of values per iteration.
namespace OlvaneHalfPrecision {

// The nearest binary16 pattern (round to nearest, ties to even). Overflow gives infinity; every
// NaN becomes the quiet NaN 0x7E00 with the argument's sign.
inline std::uint16_t encode(float value)
{
    const std::uint32_t b = std::bit_cast<std::uint32_t>(value);
    const auto s = static_cast<std::uint16_t>((b >> 16) & 0x8000u);
    const std::uint32_t e = (b >> 23) & 0xFFu;
    const std::uint32_t m = b & 0x7FFFFFu;

    if (e == 255) return static_cast<std::uint16_t>(s | (m != 0 ? 0x7E00u : 0x7C00u));
    if (e >= 143) return static_cast<std::uint16_t>(s | 0x7C00u);
    if (e >= 113) {
        std::uint32_t exponent = e - 112;
        std::uint32_t fraction = m >> 13;
        const std::uint32_t rest = b & 0x1FFFu;
        if (rest > 0x1000u || (rest == 0x1000u && (fraction & 1u) != 0)) ++fraction;
        if (fraction == 0x400u) {
            fraction = 0;
            ++exponent;
            if (exponent == 31) return static_cast<std::uint16_t>(s | 0x7C00u);
        }
        return static_cast<std::uint16_t>(s | (exponent << 10) | fraction);
    }
    if (e >= 102) {
        const std::uint32_t mantissa = m | 0x800000u;
        const std::uint32_t shift = 126 - e;  // 14...24
        std::uint32_t q = mantissa >> shift;
        const std::uint32_t rest = mantissa & ((1u << shift) - 1u);
        const std::uint32_t half = 1u << (shift - 1);
        if (rest > half || (rest == half && (q & 1u) != 0)) ++q;
        return static_cast<std::uint16_t>(s | q);  // 0x400 is the smallest normal, carried up
    }
    return s;
}

// The exact binary32 value of a binary16 pattern; NaN payloads are kept.
inline float decode(std::uint16_t h)
{
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
    const std::uint32_t exponent = (h >> 10) & 31u;
    std::uint32_t fraction = h & 0x3FFu;

    if (exponent == 31) return std::bit_cast<float>(sign | (fraction << 13) | 0x7F800000u);
    if (exponent != 0) return std::bit_cast<float>(sign + ((exponent + 112) << 23) + (fraction << 13));
    if (fraction == 0) return std::bit_cast<float>(sign);
    int unbiased = -15;
    while ((fraction & 0x200u) == 0) {
        fraction <<= 1;
        --unbiased;
    }
    return std::bit_cast<float>(sign | (static_cast<std::uint32_t>(unbiased + 127) << 23) |
                                ((fraction & 0x1FFu) << 14));
}

// Element-wise conversions of whole arrays; `out` must be at least as long as `in`. They use the
// processor's half conversions where it has them (chosen at run time), with the same bits.
void encode(std::span<const float> in, std::span<std::uint16_t> out);
void decode(std::span<const std::uint16_t> in, std::span<float> out);

// Makes the array conversions take the scalar pair: tests compare both paths; nothing else sets it.
extern bool forceScalarArrays;

}  // namespace OlvaneHalfPrecision

}  // namespace korvalen
