// Row-wise normalisation, element-wise tensor operations, training update and buffer fills.

// The end of a stable softmax over a row whose largest value is known: each value becomes
// exp(value - largest), then the row is scaled to sum to 1.
inline void korvalen_softmax_tail(__global float* row, uint columns, float largest)
{
    float sum = 0.0f;
    for (uint c = 0; c < columns; ++c) {
        float value = exp(row[c] - largest);
        row[c] = value;
        sum += value;
    }
    float inverse = 1.0f / max(sum, 1.0e-20f);
    for (uint c = 0; c < columns; ++c) row[c] *= inverse;
}

// Stable softmax of one row in place; rows without columns do nothing.
__kernel void softmax_rows(__global float* tensor, const TensorShape shape)
{
    uint row, base;
    if (!korvalen_row(shape, &row, &base)) return;
    float largest = -3.402823466e+38f;
    for (uint c = 0; c < shape.columns; ++c) largest = max(largest, tensor[base + c]);
    korvalen_softmax_tail(tensor + base, shape.columns, largest);
}

__kernel void layernorm_softmax(__global const float* input, __global float* output, const TensorShape shape)
{
    uint row, base;
    if (!korvalen_row(shape, &row, &base)) return;
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
    korvalen_softmax_tail(output + base, shape.columns, largest);
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
