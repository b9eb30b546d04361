// Matrix multiplication in single, half and 8-bit integer precision.

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
