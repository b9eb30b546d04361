#include "Execution/Shared/DeterministicInputs.h"

#include <bit>

namespace korvalen {

namespace {

// Element i of the stream is the mix of seed + (i + 1) x gamma alone, so the elements are
// independent and the loop below runs in SIMD lanes. Each step is exactly SplitMix64::nextFloat,
// written so the compiler can vectorise it without a 64-bit integer to double instruction: u =
// (z >> 11) x 2^-53 is rebuilt from its top 52 bits as the mantissa of 1 + hi x 2^-52, minus 1,
// plus the low bit as 2^-53. Every step is exact, so u and the float rounded from it are the same
// bits as the scalar generator's.
[[gnu::always_inline]] inline void fillRange(float* __restrict out, std::size_t count, std::uint64_t seed)
{
    constexpr std::uint64_t one = 0x3FF0000000000000ull;      // 1.0
    constexpr std::uint64_t halfUlp = 0x3CA0000000000000ull;  // 2^-53
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t z = seed + SplitMix64::gamma * (i + 1);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z = z ^ (z >> 31);
        const double high = std::bit_cast<double>((z >> 12) | one) - 1.0;
        const double low = std::bit_cast<double>((0 - ((z >> 11) & 1)) & halfUlp);
        const float f = static_cast<float>(high + low);
        out[i] = (f + f) - 1.0f;
    }
}

// Without AVX2 the 64-bit multiplies cost more in SSE2 lanes than in the scalar unit: twice as slow
// measured, so the baseline keeps the sequential generator.
void fillBaseline(float* out, std::size_t count, std::uint64_t seed)
{
    SplitMix64 stream(seed);
    for (std::size_t i = 0; i < count; ++i) out[i] = stream.nextFloat();
}

[[gnu::target("avx2")]] void fillAvx2(float* out, std::size_t count, std::uint64_t seed)
{
    fillRange(out, count, seed);
}

[[gnu::target("avx512f,avx512dq,avx512vl")]] void fillAvx512(float* out, std::size_t count, std::uint64_t seed)
{
    fillRange(out, count, seed);
}

FillInstructionSet detectWidest()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return FillInstructionSet::avx512;
    if (__builtin_cpu_supports("avx2")) return FillInstructionSet::avx2;
    return FillInstructionSet::baseline;
}

}  // namespace

std::vector<float> deterministicFloats(std::int64_t count, std::uint64_t seed)
{
    std::vector<float> values;
    if (count <= 0) return values;
    // Sized up front and filled in place: a push_back loop costs twice as much as the generation.
    values.resize(static_cast<std::size_t>(count));
    fillDeterministicFloats(values, seed);
    return values;
}

FillInstructionSet widestFillInstructionSet()
{
    static const FillInstructionSet widest = detectWidest();
    return widest;
}

void fillDeterministicFloats(std::span<float> out, std::uint64_t seed)
{
    fillDeterministicFloats(out, seed, widestFillInstructionSet());
}

void fillDeterministicFloats(std::span<float> out, std::uint64_t seed, FillInstructionSet set)
{
    switch (set) {
    case FillInstructionSet::avx512: fillAvx512(out.data(), out.size(), seed); break;
    case FillInstructionSet::avx2: fillAvx2(out.data(), out.size(), seed); break;
    case FillInstructionSet::baseline: fillBaseline(out.data(), out.size(), seed); break;
    }
}

}  // namespace korvalen
