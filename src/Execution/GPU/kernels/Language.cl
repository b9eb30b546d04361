// Language-model kernels: RoPE with RMS normalisation, matrix-vector products and attention.

// Row r is token position r: normalised by its RMS, then each even/odd column pair rotated.
__kernel void rope_rmsnorm(__global const float* input, __global float* output, const TensorShape shape)
{
    uint row, base;
    if (!korvalen_row(shape, &row, &base)) return;
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

__kernel void gemv_fp16(__global const half* matrix, __global const half* vector, __global float* output,
                        const TensorShape shape)
{
    uint row, base;
    if (!korvalen_row(shape, &row, &base)) return;
    output[row] = korvalen_dot_half(matrix + base, 1u, vector, 1u, shape.columns);
}

// Two 4-bit weights per byte, the even-indexed one in the low nibble; weight = (nibble - 8) / 8.
__kernel void q4_gemv(__global const uchar* packedWeights, __global const half* vector, __global float* output,
                      const TensorShape shape)
{
    uint row, base;
    if (!korvalen_row(shape, &row, &base)) return;
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
    uint key, query;
    if (!korvalen_cell(shape.sequence, shape.sequence, &key, &query)) return;
    float sum = korvalen_dot_half(q + query * shape.dimension, 1u, k + key * shape.dimension, 1u, shape.dimension);
    scores[query * shape.sequence + key] = sum * rsqrt((float)shape.dimension);
}

__kernel void attention_prefill_values(__global const float* probabilities, __global const half* v,
                                       __global float* output, const AttentionShape shape)
{
    uint feature, query;
    if (!korvalen_cell(shape.dimension, shape.sequence, &feature, &query)) return;
    output[query * shape.dimension + feature] = korvalen_dot_float_half(
        probabilities + query * shape.sequence, 1u, v + feature, shape.dimension, shape.sequence);
}

__kernel void attention_decode_scores(__global const float* q, __global const float* k, __global float* scores,
                                      const AttentionDecodeShape shape)
{
    uint position, head;
    if (!korvalen_cell(shape.context, shape.heads, &position, &head)) return;
    uint keyBase = (head * shape.context + position) * shape.dimension;
    float sum = korvalen_dot(q + head * shape.dimension, 1u, k + keyBase, 1u, shape.dimension);
    scores[head * shape.context + position] = sum * rsqrt((float)shape.dimension);
}

__kernel void attention_decode_values(__global const float* probabilities, __global const float* v,
                                      __global float* output, const AttentionDecodeShape shape)
{
    uint feature, head;
    if (!korvalen_cell(shape.dimension, shape.heads, &feature, &head)) return;
    uint first = head * shape.context;  // the head's first position
    output[head * shape.dimension + feature] = korvalen_dot(probabilities + first, 1u,
                                                            v + first * shape.dimension + feature, shape.dimension,
                                                            shape.context);
}
