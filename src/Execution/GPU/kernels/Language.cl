// Language-model kernels: RoPE with RMS normalisation, matrix-vector products and attention.

// The row of shape this work-item computes and the index of its first element; false past the last
// row (and for a shape without columns).
inline bool korvalen_row(const TensorShape shape, uint* row, uint* base)
{
    *row = (uint)get_global_id(0);
    if (shape.columns == 0u || *row >= shape.count / shape.columns) return false;
    *base = *row * shape.columns;
    return true;
}

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
