// Matrix multiplication in single, half and 8-bit integer precision.
//
// Each product has three forms that give the same bits: one work-item per element (the reference
// form), register blocks for CPU-type devices and local-memory tiles for GPUs. Every element of C
// sums its k products in order with the same operation as the reference form; the blocked forms
// only change which work-item does it and where the operands wait. A partial sum may be stored to C
// between depth blocks and loaded again: the store is exact.

__kernel void matrix_fp32(__global const float* a, __global const float* b, __global float* c,
                          const MatrixShape shape)
{
    uint x, y;
    if (!korvalen_cell(shape.n, shape.m, &x, &y)) return;
    c[y * shape.n + x] = korvalen_dot(a + y * shape.k, 1u, b + x, shape.n, shape.k);
}

// Half products and partial sums, rounded to half at every step.
__kernel void matrix_fp16(__global const half* a, __global const half* b, __global half* c,
                          const MatrixShape shape)
{
    uint x, y;
    if (!korvalen_cell(shape.n, shape.m, &x, &y)) return;
#ifdef KORVALEN_NATIVE_HALF
    half sum = (half)0.0f;
    for (uint p = 0; p < shape.k; ++p) {
        sum = fma(a[y * shape.k + p], b[p * shape.n + x], sum);
    }
    c[y * shape.n + x] = sum;
#else
    float sum = 0.0f;
    for (uint p = 0; p < shape.k; ++p) {
        sum = korvalen_half_fma(vload_half(y * shape.k + p, a), vload_half(p * shape.n + x, b), sum);
    }
    vstore_half(sum, y * shape.n + x, c);
#endif
}

// The sum wraps like the host's 32-bit integers instead of overflowing.
__kernel void matrix_int8(__global const char* a, __global const char* b, __global int* c,
                          const MatrixShape shape)
{
    uint x, y;
    if (!korvalen_cell(shape.n, shape.m, &x, &y)) return;
    uint sum = 0u;
    for (uint p = 0; p < shape.k; ++p) {
        sum += (uint)((int)a[y * shape.k + p] * (int)b[p * shape.n + x]);
    }
    c[y * shape.n + x] = (int)sum;
}

// ---------------------------------------------------------------------------------------------
// Register blocks, for CPU-type devices. A work-item owns 6 rows by 64 columns of C and walks k in
// blocks of 128, so that the 64 columns of B for one block stay in the first-level cache while the
// 24 sixteen-wide accumulators, named one by one, stay in registers. No barriers: they would make
// the compiler keep the accumulators in memory. Rows past m repeat row m - 1, so every load stays
// inside A and C, and are never stored. Columns past the last whole 64 go sixteen at a time, then
// one element at a time in the reference form's code.
// Dispatch: grid (ceil(n / 64), ceil(m / 6)), any group.
//
// Each instantiation first defines the operations on its element type:
//   KB_ACC, KB_OPERAND   accumulator and operand vectors (sixteen lanes), KB_ZERO a zero KB_ACC
//   KB_LOAD_C(offset)    sixteen partial sums stored at c + offset; KB_STORE_C(value, offset)
//   KB_LOAD_B(offset)    sixteen operands of B at b + offset
//   KB_LEFT(offset)      one element of A, broadcast
//   KB_FMA(l, r, sum)    one step of the reference form's sum, in every lane
//   KB_ELEMENT(y, x)     one element of C by the reference form, stored

#define KB_ROW(i) min(y0 + (i), shape.m - 1u)
#define KB_LOAD(i, j) s##i##j = p0 == 0u ? KB_ZERO : KB_LOAD_C(KB_ROW(i##u) * shape.n + x0 + 16u * (j))
#define KB_STORE(i, j) \
    if (y0 + i##u < shape.m) KB_STORE_C(s##i##j, (y0 + i##u) * shape.n + x0 + 16u * (j))
#define KB_STEP4(i, unused)                                          \
    {                                                                \
        const KB_OPERAND left = KB_LEFT(KB_ROW(i##u) * shape.k + p); \
        s##i##0 = KB_FMA(left, b0, s##i##0);                         \
        s##i##1 = KB_FMA(left, b1, s##i##1);                         \
        s##i##2 = KB_FMA(left, b2, s##i##2);                         \
        s##i##3 = KB_FMA(left, b3, s##i##3);                         \
    }
#define KB_STEP1(i, unused) s##i##0 = KB_FMA(KB_LEFT(KB_ROW(i##u) * shape.k + p), b0, s##i##0)
#define KB_ROWS(OP, j) \
    OP(0, j);          \
    OP(1, j);          \
    OP(2, j);          \
    OP(3, j);          \
    OP(4, j);          \
    OP(5, j)

#define KORVALEN_BLOCKED(NAME, AT, CT)                                                                             \
    inline void NAME##_block4(__global const AT* a, __global const AT* b, __global CT* c, const MatrixShape shape, \
                              uint y0, uint x0)                                                                    \
    {                                                                                                              \
        KB_ACC s00, s01, s02, s03, s10, s11, s12, s13, s20, s21, s22, s23;                                         \
        KB_ACC s30, s31, s32, s33, s40, s41, s42, s43, s50, s51, s52, s53;                                         \
        for (uint p0 = 0; p0 < shape.k; p0 += 128u) {                                                              \
            KB_ROWS(KB_LOAD, 0);                                                                                   \
            KB_ROWS(KB_LOAD, 1);                                                                                   \
            KB_ROWS(KB_LOAD, 2);                                                                                   \
            KB_ROWS(KB_LOAD, 3);                                                                                   \
            const uint p1 = min(p0 + 128u, shape.k);                                                               \
            for (uint p = p0; p < p1; ++p) {                                                                       \
                const uint row = p * shape.n + x0;                                                                 \
                const KB_OPERAND b0 = KB_LOAD_B(row), b1 = KB_LOAD_B(row + 16u);                                   \
                const KB_OPERAND b2 = KB_LOAD_B(row + 32u), b3 = KB_LOAD_B(row + 48u);                             \
                KB_ROWS(KB_STEP4, 0);                                                                              \
            }                                                                                                      \
            KB_ROWS(KB_STORE, 0);                                                                                  \
            KB_ROWS(KB_STORE, 1);                                                                                  \
            KB_ROWS(KB_STORE, 2);                                                                                  \
            KB_ROWS(KB_STORE, 3);                                                                                  \
        }                                                                                                          \
    }                                                                                                              \
    inline void NAME##_block1(__global const AT* a, __global const AT* b, __global CT* c, const MatrixShape shape, \
                              uint y0, uint x0)                                                                    \
    {                                                                                                              \
        KB_ACC s00, s10, s20, s30, s40, s50;                                                                       \
        for (uint p0 = 0; p0 < shape.k; p0 += 128u) {                                                              \
            KB_ROWS(KB_LOAD, 0);                                                                                   \
            const uint p1 = min(p0 + 128u, shape.k);                                                               \
            for (uint p = p0; p < p1; ++p) {                                                                       \
                const KB_OPERAND b0 = KB_LOAD_B(p * shape.n + x0);                                                 \
                KB_ROWS(KB_STEP1, 0);                                                                              \
            }                                                                                                      \
            KB_ROWS(KB_STORE, 0);                                                                                  \
        }                                                                                                          \
    }                                                                                                              \
    __kernel void NAME##_blocked(__global const AT* a, __global const AT* b, __global CT* c,                       \
                                 const MatrixShape shape)                                                          \
    {                                                                                                              \
        const uint x0 = (uint)get_global_id(0) * 64u;                                                              \
        const uint y0 = (uint)get_global_id(1) * 6u;                                                               \
        if (x0 >= shape.n || y0 >= shape.m) return;                                                                \
        uint x = x0;                                                                                               \
        if (shape.k > 0u) {                                                                                        \
            if (x0 + 64u <= shape.n) {                                                                             \
                NAME##_block4(a, b, c, shape, y0, x0);                                                             \
                return;                                                                                            \
            }                                                                                                      \
            for (; x + 16u <= shape.n; x += 16u) NAME##_block1(a, b, c, shape, y0, x);                             \
        }                                                                                                          \
        for (uint y = y0; y < min(y0 + 6u, shape.m); ++y) {                                                        \
            for (uint column = x; column < min(x0 + 64u, shape.n); ++column) KB_ELEMENT(y, column);                \
        }                                                                                                          \
    }

#define KB_ACC float16
#define KB_OPERAND float16
#define KB_ZERO ((float16)0.0f)
#define KB_LOAD_C(offset) vload16(0, c + (offset))
#define KB_STORE_C(value, offset) vstore16(value, 0, c + (offset))
#define KB_LOAD_B(offset) vload16(0, b + (offset))
#define KB_LEFT(offset) ((float16)a[offset])
#define KB_FMA(l, r, sum) fma(l, r, sum)
#define KB_ELEMENT(y, x) c[(y) * shape.n + (x)] = korvalen_dot(a + (y) * shape.k, 1u, b + (x), shape.n, shape.k)
KORVALEN_BLOCKED(matrix_fp32, float, float)
#undef KB_ACC
#undef KB_OPERAND
#undef KB_ZERO
#undef KB_LOAD_C
#undef KB_STORE_C
#undef KB_LOAD_B
#undef KB_LEFT
#undef KB_FMA
#undef KB_ELEMENT

#ifdef KORVALEN_NATIVE_HALF
#define KB_ACC half16
#define KB_OPERAND half16
#define KB_ZERO ((half16)0.0f)
#define KB_LOAD_C(offset) vload16(0, c + (offset))
#define KB_STORE_C(value, offset) vstore16(value, 0, c + (offset))
#define KB_LOAD_B(offset) vload16(0, b + (offset))
#define KB_LEFT(offset) ((half16)a[offset])
#define KB_FMA(l, r, sum) fma(l, r, sum)
#define KB_ELEMENT(y, x) c[(y) * shape.n + (x)] = korvalen_half_dot(a + (y) * shape.k, b + (x), shape.n, shape.k)
inline half korvalen_half_dot(__global const half* a, __global const half* b, uint strideB, uint count)
{
    half sum = (half)0.0f;
    for (uint p = 0; p < count; ++p) sum = fma(a[p], b[p * strideB], sum);
    return sum;
}
#else
#define KB_ACC float16
#define KB_OPERAND float16
#define KB_ZERO ((float16)0.0f)
#define KB_LOAD_C(offset) vload_half16(0, c + (offset))
#define KB_STORE_C(value, offset) vstore_half16(value, 0, c + (offset))
#define KB_LOAD_B(offset) vload_half16(0, b + (offset))
#define KB_LEFT(offset) ((float16)vload_half(offset, a))
#define KB_FMA(l, r, sum) korvalen_half_fma16(l, r, sum)
#define KB_ELEMENT(y, x) \
    vstore_half(korvalen_half_dot(a + (y) * shape.k, b + (x), shape.n, shape.k), (y) * shape.n + (x), c)
inline float korvalen_half_dot(__global const half* a, __global const half* b, uint strideB, uint count)
{
    float sum = 0.0f;
    for (uint p = 0; p < count; ++p) sum = korvalen_half_fma(vload_half(p, a), vload_half(p * strideB, b), sum);
    return sum;
}
#endif
KORVALEN_BLOCKED(matrix_fp16, half, half)
#undef KB_ACC
#undef KB_OPERAND
#undef KB_ZERO
#undef KB_LOAD_C
#undef KB_STORE_C
#undef KB_LOAD_B
#undef KB_LEFT
#undef KB_FMA
#undef KB_ELEMENT

#define KB_ACC uint16
#define KB_OPERAND short16
#define KB_ZERO ((uint16)0u)
#define KB_LOAD_C(offset) as_uint16(vload16(0, c + (offset)))
#define KB_STORE_C(value, offset) vstore16(as_int16(value), 0, c + (offset))
#define KB_LOAD_B(offset) convert_short16(vload16(0, b + (offset)))
#define KB_LEFT(offset) ((short16)(short)a[offset])
#define KB_FMA(l, r, sum) ((sum) + as_uint16(convert_int16((l) * (r))))
#define KB_ELEMENT(y, x) c[(y) * shape.n + (x)] = korvalen_int8_dot(a + (y) * shape.k, b + (x), shape.n, shape.k)
inline int korvalen_int8_dot(__global const char* a, __global const char* b, uint strideB, uint count)
{
    uint sum = 0u;
    for (uint p = 0; p < count; ++p) sum += (uint)((int)a[p] * (int)b[p * strideB]);
    return (int)sum;
}
KORVALEN_BLOCKED(matrix_int8, char, int)
#undef KB_ACC
#undef KB_OPERAND
#undef KB_ZERO
#undef KB_LOAD_C
#undef KB_STORE_C
#undef KB_LOAD_B
#undef KB_LEFT
#undef KB_FMA
#undef KB_ELEMENT

// ---------------------------------------------------------------------------------------------
// Local-memory tiles, for GPUs. A group of 16 x 16 work-items owns a 64 x 64 tile of C; each
// work-item holds 4 x 4 of its elements (rows ly + 16i, columns lx + 16j) and the group stages 16
// steps of k of A and B in local memory at a time. Operands outside the matrices are staged as
// zero but never summed: the step loop stops at k.
// Dispatch: grid (16 ceil(n / 64), 16 ceil(m / 64)) in groups of exactly 16 x 16.
//
// Each instantiation first defines:
//   KT_OPERAND, KT_SUM     the staged operand and the sum; KT_NONE a zero operand, KT_ZERO a zero sum
//   KT_LOAD(pointer, i)    element i of A or B as KT_OPERAND
//   KT_FMA(l, r, sum)      one step of the reference form's sum
//   KT_STORE(value, i)     the sum stored as element i of C

#define KORVALEN_TILED(NAME, AT, CT)                                                                               \
    __kernel __attribute__((reqd_work_group_size(16, 16, 1))) void NAME##_tiled(                                   \
        __global const AT* a, __global const AT* b, __global CT* c, const MatrixShape shape)                       \
    {                                                                                                              \
        __local KT_OPERAND left[16][65];                                                                           \
        __local KT_OPERAND right[16][64];                                                                          \
        const uint lx = (uint)get_local_id(0), ly = (uint)get_local_id(1);                                         \
        const uint x0 = (uint)get_group_id(0) * 64u, y0 = (uint)get_group_id(1) * 64u;                             \
        KT_SUM sum[4][4];                                                                                          \
        for (uint i = 0; i < 4u; ++i) {                                                                            \
            for (uint j = 0; j < 4u; ++j) sum[i][j] = KT_ZERO;                                                     \
        }                                                                                                          \
        for (uint p0 = 0; p0 < shape.k; p0 += 16u) {                                                               \
            for (uint i = 0; i < 4u; ++i) {                                                                        \
                const uint row = y0 + ly + 16u * i, depth = p0 + lx;                                               \
                left[lx][ly + 16u * i] = row < shape.m && depth < shape.k ? KT_LOAD(a, row * shape.k + depth)      \
                                                                          : KT_NONE;                               \
                const uint column = x0 + lx + 16u * i, step = p0 + ly;                                             \
                right[ly][lx + 16u * i] = step < shape.k && column < shape.n ? KT_LOAD(b, step * shape.n + column) \
                                                                             : KT_NONE;                            \
            }                                                                                                      \
            barrier(CLK_LOCAL_MEM_FENCE);                                                                          \
            const uint steps = min(16u, shape.k - p0);                                                             \
            for (uint q = 0; q < steps; ++q) {                                                                     \
                for (uint i = 0; i < 4u; ++i) {                                                                    \
                    const KT_OPERAND l = left[q][ly + 16u * i];                                                    \
                    for (uint j = 0; j < 4u; ++j) sum[i][j] = KT_FMA(l, right[q][lx + 16u * j], sum[i][j]);        \
                }                                                                                                  \
            }                                                                                                      \
            barrier(CLK_LOCAL_MEM_FENCE);                                                                          \
        }                                                                                                          \
        for (uint i = 0; i < 4u; ++i) {                                                                            \
            for (uint j = 0; j < 4u; ++j) {                                                                        \
                const uint row = y0 + ly + 16u * i, column = x0 + lx + 16u * j;                                    \
                if (row < shape.m && column < shape.n) KT_STORE(sum[i][j], row * shape.n + column);                \
            }                                                                                                      \
        }                                                                                                          \
    }

#define KT_OPERAND float
#define KT_SUM float
#define KT_NONE 0.0f
#define KT_ZERO 0.0f
#define KT_LOAD(pointer, i) (pointer)[i]
#define KT_FMA(l, r, sum) fma(l, r, sum)
#define KT_STORE(value, i) c[i] = (value)
KORVALEN_TILED(matrix_fp32, float, float)
#undef KT_OPERAND
#undef KT_SUM
#undef KT_NONE
#undef KT_ZERO
#undef KT_LOAD
#undef KT_FMA
#undef KT_STORE

#ifdef KORVALEN_NATIVE_HALF
#define KT_OPERAND half
#define KT_SUM half
#define KT_NONE ((half)0.0f)
#define KT_ZERO ((half)0.0f)
#define KT_LOAD(pointer, i) (pointer)[i]
#define KT_FMA(l, r, sum) fma(l, r, sum)
#define KT_STORE(value, i) c[i] = (value)
#else
#define KT_OPERAND float
#define KT_SUM float
#define KT_NONE 0.0f
#define KT_ZERO 0.0f
#define KT_LOAD(pointer, i) vload_half(i, pointer)
#define KT_FMA(l, r, sum) korvalen_half_fma(l, r, sum)
#define KT_STORE(value, i) vstore_half(value, i, c)
#endif
KORVALEN_TILED(matrix_fp16, half, half)
#undef KT_OPERAND
#undef KT_SUM
#undef KT_NONE
#undef KT_ZERO
#undef KT_LOAD
#undef KT_FMA
#undef KT_STORE

#define KT_OPERAND int
#define KT_SUM uint
#define KT_NONE 0
#define KT_ZERO 0u
#define KT_LOAD(pointer, i) ((int)(pointer)[i])
#define KT_FMA(l, r, sum) ((sum) + (uint)((l) * (r)))
#define KT_STORE(value, i) c[i] = (int)(value)
KORVALEN_TILED(matrix_int8, char, int)
#undef KT_OPERAND
#undef KT_SUM
#undef KT_NONE
#undef KT_ZERO
#undef KT_LOAD
#undef KT_FMA
#undef KT_STORE
