#include "Execution/CPU/CPUInt8Product.h"

#include <immintrin.h>

#include <cstring>
#include <memory>

namespace korvalen::CPUInt8Product {

// The dot-product instruction multiplies unsigned bytes by signed ones, four pairs into each 32-bit
// lane. B's bytes are made unsigned by adding 128 (flipping the top bit), which adds 128 x (sum of
// A's row) to every element of C's row: each row's accumulators start from minus that. B is packed
// so that the 32-bit lane of column j holds B[4q..4q+3][j]; A's four bytes A[i][4q..4q+3] are
// broadcast to every lane. Blocks of four rows by four vectors of columns stay in registers over
// the whole k range.
namespace {

constexpr int rowsPerBlock = 4;
constexpr int vectorsPerBlock = 4;

[[gnu::target("avx2")]] inline __m256i load256(const std::int8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

inline std::int32_t fourBytes(const std::int8_t* p)
{
    std::int32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

}  // namespace

[[gnu::target("avx512f,avx512bw,avx512vl,avx512vnni")]] void multiplyAvx512Vnni(const std::int8_t* a,
                                                                                const std::int8_t* b, std::int32_t* c,
                                                                                int n)
{
    const int quads = n / 4;
    const auto packed = std::make_unique_for_overwrite<std::int32_t[]>(static_cast<std::size_t>(quads) * n);
    const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
    for (int q = 0; q < quads; ++q) {
        const std::int8_t* rows = b + static_cast<std::size_t>(4 * q) * n;
        std::int32_t* out = packed.get() + static_cast<std::size_t>(q) * n;
        for (int j = 0; j < n; j += 64) {
            const __m512i r0 = _mm512_xor_si512(_mm512_loadu_si512(rows + j), flip);
            const __m512i r1 = _mm512_xor_si512(_mm512_loadu_si512(rows + n + j), flip);
            const __m512i r2 = _mm512_xor_si512(_mm512_loadu_si512(rows + 2 * n + j), flip);
            const __m512i r3 = _mm512_xor_si512(_mm512_loadu_si512(rows + 3 * n + j), flip);
            const __m512i t0 = _mm512_unpacklo_epi8(r0, r1), t1 = _mm512_unpackhi_epi8(r0, r1);
            const __m512i t2 = _mm512_unpacklo_epi8(r2, r3), t3 = _mm512_unpackhi_epi8(r2, r3);
            // In 128-bit lane L, q_m holds columns 16L + 4m ... 16L + 4m + 3: transpose the lanes
            // so that each vector holds sixteen consecutive columns (the zero-masked shuffles: GCC 12
            // warns about the undefined pass-through of the plain ones).
            const __m512i q0 = _mm512_unpacklo_epi16(t0, t2), q1 = _mm512_unpackhi_epi16(t0, t2);
            const __m512i q2 = _mm512_unpacklo_epi16(t1, t3), q3 = _mm512_unpackhi_epi16(t1, t3);
            const __m512i u0 = _mm512_maskz_shuffle_i32x4(0xFFFF, q0, q1, 0x44),
                          u1 = _mm512_maskz_shuffle_i32x4(0xFFFF, q0, q1, 0xEE);
            const __m512i u2 = _mm512_maskz_shuffle_i32x4(0xFFFF, q2, q3, 0x44),
                          u3 = _mm512_maskz_shuffle_i32x4(0xFFFF, q2, q3, 0xEE);
            _mm512_storeu_si512(out + j, _mm512_maskz_shuffle_i32x4(0xFFFF, u0, u2, 0x88));
            _mm512_storeu_si512(out + j + 16, _mm512_maskz_shuffle_i32x4(0xFFFF, u0, u2, 0xDD));
            _mm512_storeu_si512(out + j + 32, _mm512_maskz_shuffle_i32x4(0xFFFF, u1, u3, 0x88));
            _mm512_storeu_si512(out + j + 48, _mm512_maskz_shuffle_i32x4(0xFFFF, u1, u3, 0xDD));
        }
    }

    const __m512i ones = _mm512_set1_epi8(1);
    for (int i0 = 0; i0 < n; i0 += rowsPerBlock) {
        __m512i start[rowsPerBlock];
        for (int r = 0; r < rowsPerBlock; ++r) {
            const std::int8_t* row = a + static_cast<std::size_t>(i0 + r) * n;
            __m512i sums = _mm512_setzero_si512();
            for (int k = 0; k < n; k += 64) sums = _mm512_dpbusd_epi32(sums, ones, _mm512_loadu_si512(row + k));
            alignas(64) std::int32_t lanes[16];
            _mm512_store_si512(lanes, sums);
            std::int32_t total = 0;
            for (std::int32_t lane : lanes) total += lane;
            start[r] = _mm512_set1_epi32(-128 * total);
        }
        for (int j = 0; j < n; j += 16 * vectorsPerBlock) {
            __m512i acc[rowsPerBlock][vectorsPerBlock];
            for (int r = 0; r < rowsPerBlock; ++r)
                for (int v = 0; v < vectorsPerBlock; ++v) acc[r][v] = start[r];
            for (int q = 0; q < quads; ++q) {
                const std::int32_t* column = packed.get() + static_cast<std::size_t>(q) * n + j;
                __m512i bv[vectorsPerBlock];
                for (int v = 0; v < vectorsPerBlock; ++v) bv[v] = _mm512_loadu_si512(column + 16 * v);
                for (int r = 0; r < rowsPerBlock; ++r) {
                    const __m512i av = _mm512_set1_epi32(fourBytes(a + static_cast<std::size_t>(i0 + r) * n + 4 * q));
                    for (int v = 0; v < vectorsPerBlock; ++v) acc[r][v] = _mm512_dpbusd_epi32(acc[r][v], bv[v], av);
                }
            }
            for (int r = 0; r < rowsPerBlock; ++r)
                for (int v = 0; v < vectorsPerBlock; ++v)
                    _mm512_storeu_si512(c + static_cast<std::size_t>(i0 + r) * n + j + 16 * v, acc[r][v]);
        }
    }
}

// The same with 256-bit vectors: sixteen registers hold four rows by two vectors of columns.
[[gnu::target("avx2,avxvnni")]] void multiplyAvxVnni(const std::int8_t* a, const std::int8_t* b, std::int32_t* c, int n)
{
    constexpr int vectors = 2;
    const int quads = n / 4;
    const auto packed = std::make_unique_for_overwrite<std::int32_t[]>(static_cast<std::size_t>(quads) * n);
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    for (int q = 0; q < quads; ++q) {
        const std::int8_t* rows = b + static_cast<std::size_t>(4 * q) * n;
        std::int32_t* out = packed.get() + static_cast<std::size_t>(q) * n;
        for (int j = 0; j < n; j += 32) {
            const __m256i r0 = _mm256_xor_si256(load256(rows + j), flip);
            const __m256i r1 = _mm256_xor_si256(load256(rows + n + j), flip);
            const __m256i r2 = _mm256_xor_si256(load256(rows + 2 * n + j), flip);
            const __m256i r3 = _mm256_xor_si256(load256(rows + 3 * n + j), flip);
            const __m256i t0 = _mm256_unpacklo_epi8(r0, r1), t1 = _mm256_unpackhi_epi8(r0, r1);
            const __m256i t2 = _mm256_unpacklo_epi8(r2, r3), t3 = _mm256_unpackhi_epi8(r2, r3);
            const __m256i q0 = _mm256_unpacklo_epi16(t0, t2), q1 = _mm256_unpackhi_epi16(t0, t2);
            const __m256i q2 = _mm256_unpacklo_epi16(t1, t3), q3 = _mm256_unpackhi_epi16(t1, t3);
            auto* dst = reinterpret_cast<__m256i*>(out + j);
            _mm256_storeu_si256(dst, _mm256_permute2x128_si256(q0, q1, 0x20));
            _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
            _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
            _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
        }
    }

    const __m256i ones = _mm256_set1_epi8(1);
    for (int i0 = 0; i0 < n; i0 += rowsPerBlock) {
        __m256i start[rowsPerBlock];
        for (int r = 0; r < rowsPerBlock; ++r) {
            const std::int8_t* row = a + static_cast<std::size_t>(i0 + r) * n;
            __m256i sums = _mm256_setzero_si256();
            for (int k = 0; k < n; k += 32) sums = _mm256_dpbusd_avx_epi32(sums, ones, load256(row + k));
            alignas(32) std::int32_t lanes[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
            std::int32_t total = 0;
            for (std::int32_t lane : lanes) total += lane;
            start[r] = _mm256_set1_epi32(-128 * total);
        }
        for (int j = 0; j < n; j += 8 * vectors) {
            __m256i acc[rowsPerBlock][vectors];
            for (int r = 0; r < rowsPerBlock; ++r)
                for (int v = 0; v < vectors; ++v) acc[r][v] = start[r];
            for (int q = 0; q < quads; ++q) {
                const std::int32_t* column = packed.get() + static_cast<std::size_t>(q) * n + j;
                __m256i bv[vectors];
                for (int v = 0; v < vectors; ++v)
                    bv[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + 8 * v));
                for (int r = 0; r < rowsPerBlock; ++r) {
                    const __m256i av = _mm256_set1_epi32(fourBytes(a + static_cast<std::size_t>(i0 + r) * n + 4 * q));
                    for (int v = 0; v < vectors; ++v) acc[r][v] = _mm256_dpbusd_avx_epi32(acc[r][v], bv[v], av);
                }
            }
            for (int r = 0; r < rowsPerBlock; ++r)
                for (int v = 0; v < vectors; ++v)
                    _mm256_storeu_si256(
                        reinterpret_cast<__m256i*>(c + static_cast<std::size_t>(i0 + r) * n + j + 8 * v), acc[r][v]);
        }
    }
}

}  // namespace korvalen::CPUInt8Product
