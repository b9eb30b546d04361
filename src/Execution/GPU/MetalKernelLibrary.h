#pragma once

// The GPU kernels of every GPU workload: OpenCL C 1.2 in kernels/*.cl, embedded at build time and
// compiled at run time, once per GPU, by MetalKernelContext. The structures below are the kernels' constant parameters
// exactly as the host passes them (ComputeEncoder::setValue): 32-bit fields, no padding.

#include <cstdint>
#include <string>
#include <vector>

namespace korvalen {

// C (m x n) = A (m x k) * B (k x n), all row-major.
struct MatrixShape {
    std::uint32_t m = 0;
    std::uint32_t n = 0;
    std::uint32_t k = 0;
};

// A planar image: one plane of width x height per channel.
struct ImageShape {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t channels = 0;
};

// count elements in rows of columns; rows = count / columns.
struct TensorShape {
    std::uint32_t count = 0;
    std::uint32_t columns = 0;
};

struct CacheShape {
    std::uint32_t sourceCount = 0;  // a power of two
    std::uint32_t outputCount = 0;
    std::uint32_t reads = 0;
    std::uint32_t stride = 0;
};

struct AttentionShape {
    std::uint32_t sequence = 0;
    std::uint32_t dimension = 0;
};

struct AttentionDecodeShape {
    std::uint32_t heads = 0;
    std::uint32_t context = 0;
    std::uint32_t dimension = 0;
};

static_assert(sizeof(MatrixShape) == 12 && sizeof(ImageShape) == 12 && sizeof(TensorShape) == 8 &&
              sizeof(CacheShape) == 16 && sizeof(AttentionShape) == 8 && sizeof(AttentionDecodeShape) == 12);

namespace MetalKernelLibrary {

// The whole kernel source text.
const std::string& source();

// The names of the 23 kernels the source defines.
const std::vector<std::string>& kernelNames();

}  // namespace MetalKernelLibrary

}  // namespace korvalen
