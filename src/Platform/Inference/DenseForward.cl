// y[j] = activation(b[j] + sum over i of W[j][i] * x[i]), one work-item per output unit walking its row of W.
// Contraction stays off so that the products and sums round as the CPU's do (the order of the
// sums still differs, well within the tolerances the models are checked against).
#pragma OPENCL FP_CONTRACT OFF

__kernel void nn_dense_forward(__global const float* x, __global const float* w, __global const float* b,
                               __global float* y, uint inputs, uint outputs, uint activation)
{
    const uint j = get_global_id(0);
    if (j >= outputs) {
        return;
    }
    __global const float* row = w + (size_t)j * inputs;
    float4 partial = (float4)(0.0f);
    uint i = 0;
    for (; i + 4u <= inputs; i += 4u) {
        partial += vload4(0, row + i) * vload4(0, x + i);
    }
    float sum = (partial.x + partial.y) + (partial.z + partial.w);
    for (; i < inputs; ++i) {
        sum += row[i] * x[i];
    }
    float v = sum + b[j];
    if (activation == 1u) {
        v = v > 0.0f ? v : 0.0f;
    } else if (activation == 2u) {
        v = tanh(v);
    } else if (activation == 3u) {
        v = 1.0f / (1.0f + exp(-v));
    }
    y[j] = v;
}
