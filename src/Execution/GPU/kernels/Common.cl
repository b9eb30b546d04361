// Shared by every GPU kernel file, which follow this one in the compiled program.
//
// Every kernel is one thread per output element (or per row), guarded against the grid rounded up
// to whole work-groups, without local memory, barriers or atomics, so its result is reproducible on
// the CPU; the matrix products also have blocked and tiled forms that sum every element the same
// way (Matrix.cl). Contraction of a*b+c is off: a fused multiply-add appears only where fma() is written,
// on every driver alike. Every float literal carries its f: a bare literal is a double where the
// device has fp64 and drags the arithmetic along.

#pragma OPENCL FP_CONTRACT OFF

// Clang warns that passing float16 and int16 values changes the calling convention on processors
// without 512-bit vectors, once per call of a 16-wide built-in. The whole program and the driver's
// built-ins are compiled for the same processor, so the convention is moot, and the warnings' count
// would go to the application's standard error.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wpsabi"
#endif

#ifdef cl_khr_fp16
#pragma OPENCL EXTENSION cl_khr_fp16 : enable
#define KORVALEN_NATIVE_HALF 1
#endif

typedef struct { uint m; uint n; uint k; } MatrixShape;
typedef struct { uint width; uint height; uint channels; } ImageShape;
typedef struct { uint count; uint columns; } TensorShape;
typedef struct { uint sourceCount; uint outputCount; uint reads; uint stride; } CacheShape;
typedef struct { uint sequence; uint dimension; } AttentionShape;
typedef struct { uint heads; uint context; uint dimension; } AttentionDecodeShape;

#ifndef KORVALEN_NATIVE_HALF
// Without native half arithmetic: x rounded to the nearest binary16 value (ties to even).
inline float korvalen_round_half(float x)
{
    ushort bits;
    vstore_half(x, 0, (__private half*)&bits);
    return vload_half(0, (__private const half*)&bits);
}

// fma(a, b, c) of three half values, rounded once to half exactly as a native half fma rounds.
// a * b is exact in float; s = a * b + c rounded to float carries a known error err (two-sum).
// Rounding s to half gives the right answer unless s sits exactly halfway between two halves,
// where only the sign of err tells which way the exact sum lies.
inline float korvalen_half_fma(float a, float b, float c)
{
    float p = a * b;
    float s = p + c;
    float back = s - p;
    float err = (p - (s - back)) + (c - back);
    float r = korvalen_round_half(s);
    if (err == 0.0f || r == s) return r;
    if (isinf(r)) {
        if (fabs(s) == 65520.0f && ((err < 0.0f) == (s > 0.0f))) return copysign(65504.0f, s);
        return r;
    }
    float d = s - r;
    float other = r + 2.0f * d;
    bool midpoint = fabs(other) == 65536.0f || korvalen_round_half(other) == other;
    if (!midpoint || ((err > 0.0f) != (d > 0.0f))) return r;
    return fabs(other) == 65536.0f ? copysign(INFINITY, other) : other;
}

inline float16 korvalen_round_half16(float16 x)
{
    ushort16 bits;
    vstore_half16(x, 0, (__private half*)&bits);
    return vload_half16(0, (__private const half*)&bits);
}

// korvalen_half_fma in sixteen lanes at once: every branch is computed and the lane keeps the one
// the scalar form would have taken.
inline float16 korvalen_half_fma16(float16 a, float16 b, float16 c)
{
    float16 p = a * b;
    float16 s = p + c;
    float16 back = s - p;
    float16 err = (p - (s - back)) + (c - back);
    float16 r = korvalen_round_half16(s);
    float16 d = s - r;
    float16 other = r + 2.0f * d;
    int16 beyond = fabs(other) == 65536.0f;
    int16 midpoint = beyond | (korvalen_round_half16(other) == other);
    float16 general = select(r, select(other, copysign((float16)INFINITY, other), beyond),
                             midpoint & ((err > 0.0f) == (d > 0.0f)));
    int16 toMax = (fabs(s) == 65520.0f) & ((err < 0.0f) == (s > 0.0f));
    float16 overflow = select(r, copysign((float16)65504.0f, s), toMax);
    float16 result = select(general, overflow, isinf(r));
    return select(result, r, (err == 0.0f) | (r == s));
}
#endif

inline float korvalen_mix(float p, float q, float t)
{
    return p + (q - p) * t;
}

// The row of shape this work-item computes and the index of its first element; false past the last
// row (and for a shape without columns).
inline bool korvalen_row(const TensorShape shape, uint* row, uint* base)
{
    *row = (uint)get_global_id(0);
    if (shape.columns == 0u || *row >= shape.count / shape.columns) return false;
    *base = *row * shape.columns;
    return true;
}

// The cell of this work-item in a two-dimensional grid of width x height; false outside it.
inline bool korvalen_cell(uint width, uint height, uint* x, uint* y)
{
    *x = (uint)get_global_id(0);
    *y = (uint)get_global_id(1);
    return *x < width && *y < height;
}

// Dot products of count elements, a[i * strideA] times b[i * strideB], accumulated by fma in order;
// half elements are read as float.
inline float korvalen_dot(__global const float* a, uint strideA, __global const float* b, uint strideB, uint count)
{
    float sum = 0.0f;
    for (uint i = 0; i < count; ++i) sum = fma(a[i * strideA], b[i * strideB], sum);
    return sum;
}

inline float korvalen_dot_half(__global const half* a, uint strideA, __global const half* b, uint strideB,
                               uint count)
{
    float sum = 0.0f;
    for (uint i = 0; i < count; ++i) sum = fma(vload_half(i * strideA, a), vload_half(i * strideB, b), sum);
    return sum;
}

inline float korvalen_dot_float_half(__global const float* a, uint strideA, __global const half* b, uint strideB,
                                     uint count)
{
    float sum = 0.0f;
    for (uint i = 0; i < count; ++i) sum = fma(a[i * strideA], vload_half(i * strideB, b), sum);
    return sum;
}
