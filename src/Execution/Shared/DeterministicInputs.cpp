#include "Execution/Shared/DeterministicInputs.h"

#include <cstring>

#include <immintrin.h>

namespace korvalen {

namespace {

// Element i of the stream is the mix of seed + (i + 1) x gamma alone, so the elements are
// independent and the fills below run them in SIMD lanes, each lane's counter advancing by an
// addition. The remainder of a lane width goes through the sequential generator from its state.
void fillSequential(float* out, std::size_t count, std::uint64_t seed)
{
    SplitMix64 stream(seed);
    for (std::size_t i = 0; i < count; ++i) out[i] = stream.nextFloat();
}

// SplitMix64's mixing step, on every lane of a vector; for the AVX2 and AVX-512 fills only. The
// byte fill with IFMA merges the last xor-shift into its own next steps.
template <typename Lanes>
[[gnu::target("avx2"), gnu::always_inline]] inline void mixMultiplies(Lanes& z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
}

template <typename Lanes>
[[gnu::target("avx2"), gnu::always_inline]] inline void mix(Lanes& z)
{
    mixMultiplies(z);
    z = z ^ (z >> 31);
}

// AVX2 has no 64-bit integer to double conversion, so u = (z >> 11) x 2^-53 is rebuilt from its top
// 52 bits as the mantissa of 1 + hi x 2^-52, minus 1, plus the low bit as 2^-53. Every step is
// exact, so u and the float rounded from it are the same bits as the scalar generator's.
[[gnu::target("avx2")]] void fillAvx2(float* out, std::size_t count, std::uint64_t seed)
{
    using Lanes = std::uint64_t __attribute__((vector_size(32)));
    using Doubles = double __attribute__((vector_size(32)));
    using Floats = float __attribute__((vector_size(16)));
    constexpr std::uint64_t g = SplitMix64::gamma;
    constexpr std::uint64_t one = 0x3FF0000000000000ull;      // 1.0
    constexpr std::uint64_t halfUlp = 0x3CA0000000000000ull;  // 2^-53
    Lanes state = Lanes{1, 2, 3, 4} * g + seed;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Lanes z = state;
        mix(z);
        const Doubles high = reinterpret_cast<Doubles>((z >> 12) | one) - 1.0;
        const Doubles low = reinterpret_cast<Doubles>((0 - ((z >> 11) & 1)) & halfUlp);
        Floats f = __builtin_convertvector(high + low, Floats);
        f = (f + f) - 1.0f;
        std::memcpy(out + i, &f, sizeof f);
        state += 4 * g;
    }
    fillSequential(out + i, count - i, seed + g * i);
}

// AVX-512DQ converts 64-bit integers to float. z with its low 11 bits cleared converts with one
// rounding, as the scalar double-to-float rounding of (z >> 11) x 2^-53 does, and the scalings by
// powers of two around it are exact, so the bits are the same: (f + f) - 1 is z' x 2^-63 - 1, exact
// up to the subtraction. Clearing the bits rather than shifting them out keeps the work off the one
// port that shifts 512-bit lanes (a third faster).
[[gnu::target("avx512f,avx512dq,avx512vl")]] void fillAvx512(float* out, std::size_t count, std::uint64_t seed)
{
    using Lanes = std::uint64_t __attribute__((vector_size(64)));
    using Floats = float __attribute__((vector_size(32)));
    constexpr std::uint64_t g = SplitMix64::gamma;
    Lanes state = Lanes{1, 2, 3, 4, 5, 6, 7, 8} * g + seed;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        Lanes z = state;
        mix(z);
        const Floats f = __builtin_convertvector(z & ~std::uint64_t{0x7FF}, Floats) * 0x1p-63f - 1.0f;
        std::memcpy(out + i, &f, sizeof f);
        state += 8 * g;
    }
    fillSequential(out + i, count - i, seed + g * i);
}

// The 8-bit inputs: (next() mod 31) - 15.
std::int8_t signedByte(std::uint64_t z)
{
    return static_cast<std::int8_t>(static_cast<int>(z % 31) - 15);
}

void fillBytesSequential(std::int8_t* out, std::size_t count, std::uint64_t seed)
{
    SplitMix64 stream(seed);
    for (std::size_t i = 0; i < count; ++i) out[i] = signedByte(stream.next());
}

// Every lane's z mod 31 in two steps. First, 2^20 = 32^4 is 1 modulo 31, so z and the sum x of its
// top 24 and two lower 20-bit parts have the same remainder, and x < 2^25. Then the quotient of x
// by 31 is (x x 0x84210843) >> 36 exactly: the multiplier is 2^36 / 31 rounded up by 29 / 31, and
// 29 x 2^25 < 2^36 keeps the error below 1 / 31. Between the two steps the caller multiplies each
// lane's low 32 bits by the multiplier with its own set's instruction.
template <typename Lanes>
[[gnu::target("avx2"), gnu::always_inline]] inline void foldModulo31(Lanes& z)
{
    z = (z >> 40) + ((z >> 20) & 0xFFFFF) + (z & 0xFFFFF);
}

template <typename Lanes>
[[gnu::target("avx2"), gnu::always_inline]] inline void remainderModulo31(Lanes& x, const Lanes& product)
{
    const Lanes quotient = product >> 36;
    x -= (quotient << 5) - quotient;
}

[[gnu::target("avx2")]] void fillBytesAvx2(std::int8_t* out, std::size_t count, std::uint64_t seed)
{
    using Lanes = std::uint64_t __attribute__((vector_size(32)));
    constexpr std::uint64_t g = SplitMix64::gamma;
    const __m256i magic = _mm256_set1_epi64x(0x84210843);
    // AVX2 has no 64-to-8-bit narrowing (GCC extracts each lane through a general register): each
    // 128-bit lane's two low bytes are gathered with a byte shuffle and the two lanes interleaved.
    const __m256i lowBytes = _mm256_setr_epi8(0, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 8, -1,
                                              -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i fifteen = _mm_set1_epi8(15);
    Lanes state = Lanes{1, 2, 3, 4} * g + seed;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Lanes z = state;
        mix(z);
        foldModulo31(z);
        remainderModulo31(z, reinterpret_cast<Lanes>(_mm256_mul_epu32(reinterpret_cast<__m256i>(z), magic)));
        const __m256i picked = _mm256_shuffle_epi8(reinterpret_cast<__m256i>(z), lowBytes);
        const __m128i bytes = _mm_sub_epi8(
            _mm_unpacklo_epi16(_mm256_castsi256_si128(picked), _mm256_extracti128_si256(picked, 1)), fifteen);
        const std::int32_t four = _mm_cvtsi128_si32(bytes);
        std::memcpy(out + i, &four, sizeof four);
        state += 4 * g;
    }
    fillBytesSequential(out + i, count - i, seed + g * i);
}

[[gnu::target("avx512f,avx512dq,avx512vl")]] void fillBytesAvx512(std::int8_t* out, std::size_t count,
                                                                  std::uint64_t seed)
{
    using Lanes = std::uint64_t __attribute__((vector_size(64)));
    using Bytes = std::int8_t __attribute__((vector_size(8)));
    constexpr std::uint64_t g = SplitMix64::gamma;
    const __m512i magic = _mm512_set1_epi64(0x84210843);
    Lanes state = Lanes{1, 2, 3, 4, 5, 6, 7, 8} * g + seed;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        Lanes z = state;
        mix(z);
        foldModulo31(z);
        // The zero-masked form: GCC 12 warns about the undefined pass-through of the plain one.
        remainderModulo31(z,
                          reinterpret_cast<Lanes>(_mm512_maskz_mul_epu32(0xFF, reinterpret_cast<__m512i>(z), magic)));
        const Bytes bytes = __builtin_convertvector(z, Bytes) - 15;
        std::memcpy(out + i, &bytes, sizeof bytes);
        state += 8 * g;
    }
    fillBytesSequential(out + i, count - i, seed + g * i);
}

// With IFMA (products of lanes' low 52 bits, added to a third lane), z mod 31 - 15 lands in each
// lane's low byte in three steps, each exact:
//   x = (z mod 2^40) + (z >> 40) keeps z's remainder, as 2^40 = 32^8 is 1 modulo 31; x < 2^41;
//   q = high52(x M) + 17 with M = ceil(2^52 / 31) = (2^52 + 27) / 31: x M / 2^52 exceeds x / 31 by
//     27 x / (31 x 2^52), below 1 / 31 as 27 x < 2^52, so high52(x M) = floor(x / 31);
//   x + low52(q (2^52 - 31)) = x - 31 q + 2^52 (as 0 < 31 q < 2^52) = r - 527 + 2^52, whose low
//     byte is r - 15 as 527 = 2 x 256 + 15: the 17 added to q does the subtraction.
// (Also checked for every x < 2^41.) As z = w ^ (w >> 31), z mod 2^40 takes one ternary logic
// instruction and z >> 40 = w >> 40 a byte shuffle, off the one port that shifts 512-bit lanes. A
// byte permute (VBMI: every processor with IFMA has it, but it is checked) gathers the low bytes.
[[gnu::target("avx512f,avx512dq,avx512vl,avx512bw,avx512ifma,avx512vbmi")]] void fillBytesIfma(std::int8_t* out,
                                                                                               std::size_t count,
                                                                                               std::uint64_t seed)
{
    using Lanes = std::uint64_t __attribute__((vector_size(64)));
    constexpr std::uint64_t g = SplitMix64::gamma;
    constexpr std::uint64_t two52 = std::uint64_t{1} << 52;
    const __m512i low40 = _mm512_set1_epi64((std::uint64_t{1} << 40) - 1);
    // Bytes 5, 6 and 7 of each lane to 0, 1 and 2, zeros above (indices with the top bit set).
    const auto high24 = reinterpret_cast<__m512i>(Lanes{0x8080808080070605, 0x80808080800F0E0D, 0x8080808080070605,
                                                        0x80808080800F0E0D, 0x8080808080070605, 0x80808080800F0E0D,
                                                        0x8080808080070605, 0x80808080800F0E0D});
    const __m512i seventeen = _mm512_set1_epi64(17);
    const __m512i inverse = _mm512_set1_epi64((two52 + 27) / 31);
    const __m512i minus31 = _mm512_set1_epi64(two52 - 31);
    const __m512i lowBytes = _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, 0x3830282018100800);
    Lanes state = Lanes{1, 2, 3, 4, 5, 6, 7, 8} * g + seed;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        Lanes w = state;
        mixMultiplies(w);
        const __m512i wide = reinterpret_cast<__m512i>(w);
        const __m512i x = _mm512_add_epi64(
            _mm512_ternarylogic_epi64(wide, reinterpret_cast<__m512i>(w >> 31), low40, 0x28),  // (a ^ b) & c
            _mm512_shuffle_epi8(wide, high24));
        const __m512i q = _mm512_madd52hi_epu64(seventeen, x, inverse);
        const __m512i r = _mm512_madd52lo_epu64(x, q, minus31);
        // The zero-masked form: GCC 12 warns about the undefined pass-through of the plain one.
        const std::uint64_t eight = reinterpret_cast<Lanes>(_mm512_maskz_permutexvar_epi8(0xFF, lowBytes, r))[0];
        std::memcpy(out + i, &eight, sizeof eight);
        state += 8 * g;
    }
    fillBytesSequential(out + i, count - i, seed + g * i);
}

bool hasIfmaAndVbmi()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("avx512vbmi");
    }();
    return has;
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

void fillDeterministicFloats(std::span<float> out, std::uint64_t seed)
{
    fillDeterministicFloats(out, seed, activeInstructionSet());
}

void fillDeterministicBytes(std::span<std::int8_t> out, std::uint64_t seed)
{
    fillDeterministicBytes(out, seed, activeInstructionSet());
}

void fillDeterministicBytes(std::span<std::int8_t> out, std::uint64_t seed, InstructionSet set)
{
    switch (set) {
    // IFMA is on some AVX-512 processors only. It is taken under the widest set, and the avx512
    // set keeps the plain loop, so that forcing each set tests both where IFMA is.
    case InstructionSet::avx512Vnni:
        if (hasIfmaAndVbmi()) {
            fillBytesIfma(out.data(), out.size(), seed);
            break;
        }
        [[fallthrough]];
    case InstructionSet::avx512: fillBytesAvx512(out.data(), out.size(), seed); break;
    case InstructionSet::avxVnni:
    case InstructionSet::avx2: fillBytesAvx2(out.data(), out.size(), seed); break;
    case InstructionSet::baseline: fillBytesSequential(out.data(), out.size(), seed); break;
    }
}

void fillDeterministicFloats(std::span<float> out, std::uint64_t seed, InstructionSet set)
{
    switch (set) {
    case InstructionSet::avx512Vnni:
    case InstructionSet::avx512: fillAvx512(out.data(), out.size(), seed); break;
    case InstructionSet::avxVnni:
    case InstructionSet::avx2: fillAvx2(out.data(), out.size(), seed); break;
    // Without AVX2 the 64-bit multiplies cost more in SSE2 lanes than in the scalar unit (twice as
    // slow, measured), so the baseline keeps the sequential generator.
    case InstructionSet::baseline: fillSequential(out.data(), out.size(), seed); break;
    }
}

}  // namespace korvalen
