#include "Execution/GPU/MetalKernelLibrary.h"

namespace korvalen::MetalKernelLibrary {

namespace {

// Every kernel is one thread per output element (or per row), guarded against the grid rounded up
// to whole work-groups, without local memory, barriers or atomics, so its result is reproducible on
// the CPU. Contraction of a*b+c is off: a fused multiply-add appears only where fma() is written,
// on every driver alike. Every float literal carries its f: a bare literal is a double where the
// device has fp64 and drags the arithmetic along.
const char* const kernelSource = R"KORVALEN(
#pragma OPENCL FP_CONTRACT OFF

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
#endif

inline float korvalen_mix(float p, float q, float t)
{
    return p + (q - p) * t;
}

__kernel void matrix_fp32(__global const float* a, __global const float* b, __global float* c,
                          const MatrixShape shape)
{
    uint x = (uint)get_global_id(0);
    uint y = (uint)get_global_id(1);
    if (x >= shape.n || y >= shape.m) return;
    float sum = 0.0f;
    for (uint p = 0; p < shape.k; ++p) {
        sum = fma(a[y * shape.k + p], b[p * shape.n + x], sum);
    }
    c[y * shape.n + x] = sum;
}

// Half products and partial sums, rounded to half at every step.
__kernel void matrix_fp16(__global const half* a, __global const half* b, __global half* c,
                          const MatrixShape shape)
{
    uint x = (uint)get_global_id(0);
    uint y = (uint)get_global_id(1);
    if (x >= shape.n || y >= shape.m) return;
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
    uint x = (uint)get_global_id(0);
    uint y = (uint)get_global_id(1);
    if (x >= shape.n || y >= shape.m) return;
    uint sum = 0u;
    for (uint p = 0; p < shape.k; ++p) {
        sum += (uint)((int)a[y * shape.k + p] * (int)b[p * shape.n + x]);
    }
    c[y * shape.n + x] = (int)sum;
}

// The 3x3 neighbourhood of interior pixel (x, y) in plane z against nine weights, accumulated by
// fma row by row.
inline float korvalen_stencil_3x3(__global const float* input, const ImageShape shape, uint x, uint y, uint z,
                                  const float* weights)
{
    uint plane = shape.width * shape.height;
    float sum = 0.0f;
    uint w = 0;
    for (int ky = -1; ky <= 1; ++ky) {
        for (int kx = -1; kx <= 1; ++kx) {
            uint at = z * plane + (uint)((int)y + ky) * shape.width + (uint)((int)x + kx);
            sum = fma(input[at], weights[w], sum);
            ++w;
        }
    }
    return sum;
}

__kernel void convolution_3x3(__global const float* input, __global float* output, const ImageShape shape)
{
    uint x = (uint)get_global_id(0);
    uint y = (uint)get_global_id(1);
    uint z = (uint)get_global_id(2);
    if (x >= shape.width || y >= shape.height || z >= shape.channels) return;
    uint plane = shape.width * shape.height;
    uint index = z * plane + y * shape.width + x;
    if (x == 0u || y == 0u || x + 1u >= shape.width || y + 1u >= shape.height) {
        output[index] = 0.0f;
        return;
    }
    const float weights[9] = {0.0625f, 0.125f, 0.0625f, 0.125f, 0.25f, 0.125f, 0.0625f, 0.125f, 0.0625f};
    output[index] = korvalen_stencil_3x3(input, shape, x, y, z, weights);
}

__kernel void diffusion_denoise(__global const float* input, __global float* output, const ImageShape shape)
{
    uint x = (uint)get_global_id(0);
    uint y = (uint)get_global_id(1);
    uint z = (uint)get_global_id(2);
    if (x >= shape.width || y >= shape.height || z >= shape.channels) return;
    uint plane = shape.width * shape.height;
    uint index = z * plane + y * shape.width + x;
    if (x == 0u || y == 0u || x + 1u >= shape.width || y + 1u >= shape.height) {
        output[index] = input[index];
        return;
    }
    const float weights[9] = {0.04f, 0.08f, 0.04f, 0.08f, 0.52f, 0.08f, 0.04f, 0.08f, 0.04f};
    float v = (korvalen_stencil_3x3(input, shape, x, y, z, weights) - 0.05f) * 0.96f;
    output[index] = v / (1.0f + exp(-1.702f * v));
}

__kernel void upscale_2x(__global const float* input, __global float* output, const ImageShape shape)
{
    uint x = (uint)get_global_id(0);
    uint y = (uint)get_global_id(1);
    uint outWidth = 2u * shape.width;
    if (x >= outWidth || y >= 2u * shape.height) return;
    float fx = (float)x * 0.5f;
    float fy = (float)y * 0.5f;
    uint x0 = min((uint)fx, shape.width - 1u);
    uint y0 = min((uint)fy, shape.height - 1u);
    uint x1 = min(x0 + 1u, shape.width - 1u);
    uint y1 = min(y0 + 1u, shape.height - 1u);
    float tx = fx - (float)x0;
    float ty = fy - (float)y0;
    float a = input[y0 * shape.width + x0];
    float b = input[y0 * shape.width + x1];
    float c = input[y1 * shape.width + x0];
    float d = input[y1 * shape.width + x1];
    output[y * outWidth + x] = korvalen_mix(korvalen_mix(a, b, tx), korvalen_mix(c, d, tx), ty);
}

// Stable softmax of one row in place; rows without columns do nothing.
__kernel void softmax_rows(__global float* tensor, const TensorShape shape)
{
    uint row = (uint)get_global_id(0);
    if (shape.columns == 0u || row >= shape.count / shape.columns) return;
    uint base = row * shape.columns;
    float largest = -3.402823466e+38f;
    for (uint c = 0; c < shape.columns; ++c) largest = max(largest, tensor[base + c]);
    float sum = 0.0f;
    for (uint c = 0; c < shape.columns; ++c) {
        float value = exp(tensor[base + c] - largest);
        tensor[base + c] = value;
        sum += value;
    }
    float inverse = 1.0f / max(sum, 1.0e-20f);
    for (uint c = 0; c < shape.columns; ++c) tensor[base + c] *= inverse;
}

__kernel void layernorm_softmax(__global const float* input, __global float* output, const TensorShape shape)
{
    uint row = (uint)get_global_id(0);
    if (shape.columns == 0u || row >= shape.count / shape.columns) return;
    uint base = row * shape.columns;
    float columns = (float)shape.columns;
    float total = 0.0f;
    for (uint c = 0; c < shape.columns; ++c) total += input[base + c];
    float mean = total / columns;
    float squares = 0.0f;
    for (uint c = 0; c < shape.columns; ++c) {
        float centred = input[base + c] - mean;
        squares += centred * centred;
    }
    float invStd = rsqrt(squares / columns + 1.0e-5f);
    float largest = -3.402823466e+38f;
    for (uint c = 0; c < shape.columns; ++c) {
        float value = (input[base + c] - mean) * invStd;
        output[base + c] = value;
        largest = max(largest, value);
    }
    float sum = 0.0f;
    for (uint c = 0; c < shape.columns; ++c) {
        float value = exp(output[base + c] - largest);
        output[base + c] = value;
        sum += value;
    }
    float inverse = 1.0f / max(sum, 1.0e-20f);
    for (uint c = 0; c < shape.columns; ++c) output[base + c] *= inverse;
}

// GELU, tanh form, of a*b + (a*0.125 + b).
__kernel void tensor_fused(__global const float* a, __global const float* b, __global float* output,
                           const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    float av = a[gid];
    float bv = b[gid];
    float x = fma(av, bv, fma(av, 0.125f, bv));
    float cube = x * x * x;
    output[gid] = 0.5f * x * (1.0f + tanh(0.7978846f * (x + 0.044715f * cube)));
}

__kernel void noise_suppress(__global const float* input, __global float* output, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    float previous = gid == 0u ? input[0] : input[gid - 1u];
    float current = input[gid];
    float next = input[min(gid + 1u, count - 1u)];
    float filtered = previous * 0.18f + current * 0.64f + next * 0.18f;
    float envelope = max(fabs(previous), max(fabs(current), fabs(next)));
    float gate = clamp((envelope - 0.08f) * 3.5f, 0.0f, 1.0f);
    output[gid] = filtered * gate;
}

__kernel void training_update(__global const float* weights, __global const float* gradient,
                              __global float* updated, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    updated[gid] = weights[gid] - 0.002f * gradient[gid];
}

__kernel void fill_tensor(__global float* tensor, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    tensor[gid] = (float)(gid & 255u) * (1.0f / 256.0f);
}

__kernel void kv_cache_update(__global half* cache, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    float value = (float)((int)(gid % 257u) - 128) / 128.0f;
    vstore_half(value, gid, cache);
}

// Row r is token position r: normalised by its RMS, then each even/odd column pair rotated.
__kernel void rope_rmsnorm(__global const float* input, __global float* output, const TensorShape shape)
{
    uint row = (uint)get_global_id(0);
    if (shape.columns == 0u || row >= shape.count / shape.columns) return;
    uint base = row * shape.columns;
    float columns = (float)shape.columns;
    float meanSquare = 0.0f;
    for (uint c = 0; c < shape.columns; ++c) {
        float v = input[base + c];
        meanSquare = fma(v, v, meanSquare);
    }
    float inverseRMS = rsqrt(meanSquare / columns + 1.0e-5f);
    for (uint c = 0; c + 1u < shape.columns; c += 2u) {
        float x0 = input[base + c] * inverseRMS;
        float x1 = input[base + c + 1u] * inverseRMS;
        float frequency = pow(10000.0f, -(float)c / columns);
        float angle = (float)row * frequency;
        float cosine = cos(angle);
        float sine = sin(angle);
        output[base + c] = x0 * cosine - x1 * sine;
        output[base + c + 1u] = x0 * sine + x1 * cosine;
    }
}

__kernel void metal_memory_copy(__global const uint4* source, __global uint4* destination, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    destination[gid] = source[gid];
}

__kernel void metal_cache_probe(__global const float* source, __global float* output, const CacheShape shape)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= shape.outputCount || shape.sourceCount == 0u) return;
    uint mask = shape.sourceCount - 1u;
    uint index = (gid * 131u + (gid >> 3)) & mask;
    float sum = 0.0f;
    for (uint read = 0; read < shape.reads; ++read) {
        sum += source[index];
        index = (index + shape.stride + read * 17u) & mask;
    }
    output[gid] = sum;
}

__kernel void gemv_fp16(__global const half* matrix, __global const half* vector, __global float* output,
                        const TensorShape shape)
{
    uint row = (uint)get_global_id(0);
    if (shape.columns == 0u || row >= shape.count / shape.columns) return;
    uint base = row * shape.columns;
    float sum = 0.0f;
    for (uint c = 0; c < shape.columns; ++c) {
        sum = fma(vload_half(base + c, matrix), vload_half(c, vector), sum);
    }
    output[row] = sum;
}

// Two 4-bit weights per byte, the even-indexed one in the low nibble; weight = (nibble - 8) / 8.
__kernel void q4_gemv(__global const uchar* packedWeights, __global const half* vector, __global float* output,
                      const TensorShape shape)
{
    uint row = (uint)get_global_id(0);
    if (shape.columns == 0u || row >= shape.count / shape.columns) return;
    uint base = row * shape.columns;
    float sum = 0.0f;
    for (uint c = 0; c < shape.columns; ++c) {
        uint flat = base + c;
        uint packed = (uint)packedWeights[flat >> 1];
        uint nibble = (flat & 1u) ? (packed >> 4) : (packed & 15u);
        float weight = (float)((int)nibble - 8) * 0.125f;
        sum = fma(weight, vload_half(c, vector), sum);
    }
    output[row] = sum;
}

__kernel void attention_prefill_scores(__global const half* q, __global const half* k, __global float* scores,
                                       const AttentionShape shape)
{
    uint key = (uint)get_global_id(0);
    uint query = (uint)get_global_id(1);
    if (key >= shape.sequence || query >= shape.sequence) return;
    float sum = 0.0f;
    for (uint d = 0; d < shape.dimension; ++d) {
        sum = fma(vload_half(query * shape.dimension + d, q), vload_half(key * shape.dimension + d, k), sum);
    }
    scores[query * shape.sequence + key] = sum * rsqrt((float)shape.dimension);
}

__kernel void attention_prefill_values(__global const float* probabilities, __global const half* v,
                                       __global float* output, const AttentionShape shape)
{
    uint feature = (uint)get_global_id(0);
    uint query = (uint)get_global_id(1);
    if (feature >= shape.dimension || query >= shape.sequence) return;
    float sum = 0.0f;
    for (uint key = 0; key < shape.sequence; ++key) {
        sum = fma(probabilities[query * shape.sequence + key], vload_half(key * shape.dimension + feature, v), sum);
    }
    output[query * shape.dimension + feature] = sum;
}

__kernel void attention_decode_scores(__global const float* q, __global const float* k, __global float* scores,
                                      const AttentionDecodeShape shape)
{
    uint position = (uint)get_global_id(0);
    uint head = (uint)get_global_id(1);
    if (position >= shape.context || head >= shape.heads) return;
    uint queryBase = head * shape.dimension;
    uint keyBase = (head * shape.context + position) * shape.dimension;
    float sum = 0.0f;
    for (uint d = 0; d < shape.dimension; ++d) {
        sum = fma(q[queryBase + d], k[keyBase + d], sum);
    }
    scores[head * shape.context + position] = sum * rsqrt((float)shape.dimension);
}

__kernel void attention_decode_values(__global const float* probabilities, __global const float* v,
                                      __global float* output, const AttentionDecodeShape shape)
{
    uint feature = (uint)get_global_id(0);
    uint head = (uint)get_global_id(1);
    if (feature >= shape.dimension || head >= shape.heads) return;
    float sum = 0.0f;
    for (uint position = 0; position < shape.context; ++position) {
        uint at = head * shape.context + position;
        sum = fma(probabilities[at], v[at * shape.dimension + feature], sum);
    }
    output[head * shape.dimension + feature] = sum;
}

__kernel void kv_cache_read_write(__global const half* source, __global half* destination, const uint count)
{
    uint gid = (uint)get_global_id(0);
    if (gid >= count) return;
    float value = vload_half(gid, source);
    float bias = (float)((int)(gid & 7u) - 3) * 0.0001f;
    vstore_half(value * 0.9990234375f + bias, gid, destination);
}
)KORVALEN";

}  // namespace

const std::string& source() {
    static const std::string text(kernelSource);
    return text;
}

const std::vector<std::string>& kernelNames() {
    static const std::vector<std::string> names = {
        "matrix_fp32",          "matrix_fp16",          "matrix_int8",
        "convolution_3x3",      "diffusion_denoise",    "upscale_2x",
        "softmax_rows",         "layernorm_softmax",    "tensor_fused",
        "noise_suppress",       "training_update",      "fill_tensor",
        "kv_cache_update",      "rope_rmsnorm",         "metal_memory_copy",
        "metal_cache_probe",    "gemv_fp16",            "q4_gemv",
        "attention_prefill_scores", "attention_prefill_values", "attention_decode_scores",
        "attention_decode_values",  "kv_cache_read_write",
    };
    return names;
}

}  // namespace korvalen::MetalKernelLibrary
