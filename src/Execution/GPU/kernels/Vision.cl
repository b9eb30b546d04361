// Image kernels: convolution, diffusion denoising and 2x upscaling, one plane per channel.

// The pixel of this work-item: its coordinates, its place among the planes and whether it lies
// inside the image's one-pixel border.
typedef struct {
    uint x, y, z, index;
    bool interior;
} KorvalenPixel;

// False outside the image.
inline bool korvalen_pixel(const ImageShape shape, KorvalenPixel* p)
{
    p->x = (uint)get_global_id(0);
    p->y = (uint)get_global_id(1);
    p->z = (uint)get_global_id(2);
    if (p->x >= shape.width || p->y >= shape.height || p->z >= shape.channels) return false;
    p->index = p->z * (shape.width * shape.height) + p->y * shape.width + p->x;
    p->interior = p->x > 0u && p->y > 0u && p->x + 1u < shape.width && p->y + 1u < shape.height;
    return true;
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
    KorvalenPixel p;
    if (!korvalen_pixel(shape, &p)) return;
    if (!p.interior) {
        output[p.index] = 0.0f;
        return;
    }
    const float weights[9] = {0.0625f, 0.125f, 0.0625f, 0.125f, 0.25f, 0.125f, 0.0625f, 0.125f, 0.0625f};
    output[p.index] = korvalen_stencil_3x3(input, shape, p.x, p.y, p.z, weights);
}

__kernel void diffusion_denoise(__global const float* input, __global float* output, const ImageShape shape)
{
    KorvalenPixel p;
    if (!korvalen_pixel(shape, &p)) return;
    if (!p.interior) {
        output[p.index] = input[p.index];
        return;
    }
    const float weights[9] = {0.04f, 0.08f, 0.04f, 0.08f, 0.52f, 0.08f, 0.04f, 0.08f, 0.04f};
    float v = (korvalen_stencil_3x3(input, shape, p.x, p.y, p.z, weights) - 0.05f) * 0.96f;
    output[p.index] = v / (1.0f + exp(-1.702f * v));
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
