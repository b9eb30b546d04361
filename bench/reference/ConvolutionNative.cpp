// The convolution iteration with its stencil built for this very processor (-march=native): the
// reference the kernel's instruction-set builds are compared with. Same inputs, same arithmetic in
// the same order, same checksum.

#include "Execution/Shared/DeterministicInputs.h"

#include <vector>

namespace korvalen::bench {

double convolutionIterationNative()
{
    constexpr int rows = 288, cols = 512;
    constexpr float w[9] = {0.0625f, 0.125f, 0.0625f, 0.125f, 0.25f, 0.125f, 0.0625f, 0.125f, 0.0625f};
    const std::vector<float> in = deterministicFloats(rows * cols, 49'319);
    std::vector<float> out(in.size());
    for (int y = 1; y < rows - 1; ++y) {
        const float* __restrict up = in.data() + static_cast<std::size_t>(y - 1) * cols;
        const float* __restrict mid = up + cols;
        const float* __restrict down = mid + cols;
        float* __restrict dst = out.data() + static_cast<std::size_t>(y) * cols;
        for (int x = 1; x < cols - 1; ++x) {
            float sum = 0.0f;
            sum += w[0] * up[x - 1];
            sum += w[1] * up[x];
            sum += w[2] * up[x + 1];
            sum += w[3] * mid[x - 1];
            sum += w[4] * mid[x];
            sum += w[5] * mid[x + 1];
            sum += w[6] * down[x - 1];
            sum += w[7] * down[x];
            sum += w[8] * down[x + 1];
            dst[x] = sum;
        }
    }
    return sampledChecksum<float>(out, 1003);
}

}  // namespace korvalen::bench
