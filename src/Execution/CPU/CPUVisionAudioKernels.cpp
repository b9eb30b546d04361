// Super resolution, mel spectrogram, noise suppression, diffusion denoising and 2-D convolution.
// Arithmetic is single precision in the order the comments give; loops are arranged so the
// compiler can vectorise across independent outputs without reordering any one output's sum.

#include "Execution/CPU/CPUKernelSupport.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#ifndef KORVALEN_KERNEL_TARGET
#define KORVALEN_KERNEL_SOURCE "Execution/CPU/CPUVisionAudioKernels.cpp"
#include "Execution/CPU/CPUKernelTargets.h"
#else

namespace korvalen::CPUKernels::KORVALEN_KERNEL_TARGET {

using CPUKernelSupport::allFinite;
using CPUKernelSupport::outcome;
using CPUKernelSupport::tamperFloats;

IterationOutcome superResolutionIteration(const KernelOutputTamper* tamper)
{
    constexpr int inRows = 216, inCols = 384, outRows = 432, outCols = 768;
    const std::vector<float> in = deterministicFloats(inRows * inCols, 20'736);
    std::vector<float> out(static_cast<std::size_t>(outRows) * outCols);

    // The column taps are the same for every output row.
    std::array<int, outCols> x0s{}, x1s{};
    std::array<float, outCols> wxs{};
    for (int ox = 0; ox < outCols; ++ox) {
        const float fx = static_cast<float>(ox) / 2.0f;
        x0s[ox] = std::min(static_cast<int>(fx), inCols - 1);
        x1s[ox] = std::min(static_cast<int>(fx), inCols - 2) + 1;
        wxs[ox] = fx - static_cast<float>(x0s[ox]);
    }
    for (int oy = 0; oy < outRows; ++oy) {
        const float fy = static_cast<float>(oy) / 2.0f;
        const int y0 = std::min(static_cast<int>(fy), inRows - 1);
        const int y1 = std::min(static_cast<int>(fy), inRows - 2) + 1;
        const float wy = fy - static_cast<float>(y0);
        const float keep = 1.0f - wy;
        const float* __restrict r0 = in.data() + static_cast<std::size_t>(y0) * inCols;
        const float* __restrict r1 = in.data() + static_cast<std::size_t>(y1) * inCols;
        float* __restrict row = out.data() + static_cast<std::size_t>(oy) * outCols;
        for (int ox = 0; ox < outCols; ++ox) {
            const int x0 = x0s[ox], x1 = x1s[ox];
            const float wx = wxs[ox];
            const float top = r0[x0] + wx * (r0[x1] - r0[x0]);
            const float bottom = r1[x0] + wx * (r1[x1] - r1[x0]);
            row[ox] = keep * top + wy * bottom;
        }
    }
    tamperFloats(tamper, out);

    const float a0 = in[88 * inCols + 61], a1 = in[88 * inCols + 62];
    const float b0 = in[89 * inCols + 61], b1 = in[89 * inCols + 62];
    const float ref = (a0 + (a1 - a0) * 0.5f) * 0.5f + (b0 + (b1 - b0) * 0.5f) * 0.5f;
    const bool passed = std::fabs(out[177 * outCols + 123] - ref) < 0.0001f;
    return outcome(0.331776, sampledChecksum<float>(out, 1003), passed, "Input: 384×216; output: 768×432",
                   "Validation: bilinear sample reference");
}

IterationOutcome melSpectrogramIteration(const KernelOutputTamper* tamper)
{
    constexpr int samples = 32'000, frames = 198, bands = 64, window = 400, hop = 160;
    std::vector<float> signal(samples);
    for (int n = 0; n < samples; ++n) {
        const float t = static_cast<float>(n) / 16000.0f;
        signal[n] =
            (std::sin(t * 1382.3007f) * 0.55f + std::sin(t * 2764.6013f) * 0.3f) + std::sin(t * 5529.2026f) * 0.15f;
    }

    // The window and the band rotations depend on (band, k) alone: compute each value once and lay
    // the rotations out band-minor, so one frame's 64 bands accumulate side by side, each in k order.
    std::vector<float> windowWeights(window);
    for (int k = 0; k < window; ++k)
        windowWeights[k] = 0.5f - std::cos(static_cast<float>(k) * 6.283185f / 399.0f) * 0.5f;
    std::vector<float> cosines(static_cast<std::size_t>(window) * bands), sines(cosines.size());
    for (int b = 0; b < bands; ++b) {
        const float step = static_cast<float>(b + 1) * 3.1415925f / 65.0f;
        for (int k = 0; k < window; ++k) {
            const float angle = step * static_cast<float>(k);
            cosines[static_cast<std::size_t>(k) * bands + b] = std::cos(angle);
            sines[static_cast<std::size_t>(k) * bands + b] = std::sin(angle);
        }
    }

    std::vector<float> out(static_cast<std::size_t>(frames) * bands);
    for (int f = 0; f < frames; ++f) {
        alignas(64) std::array<float, bands> re{}, im{};
        const float* frame = signal.data() + static_cast<std::size_t>(f) * hop;
        for (int k = 0; k < window; ++k) {
            const float v = windowWeights[k] * frame[k];
            const float* __restrict c = cosines.data() + static_cast<std::size_t>(k) * bands;
            const float* __restrict s = sines.data() + static_cast<std::size_t>(k) * bands;
            for (int b = 0; b < bands; ++b) {
                re[b] += c[b] * v;
                im[b] -= s[b] * v;
            }
        }
        for (int b = 0; b < bands; ++b)
            out[static_cast<std::size_t>(f) * bands + b] = std::log1p(re[b] * re[b] + im[b] * im[b]);
    }
    tamperFloats(tamper, out);

    float largest = -std::numeric_limits<float>::infinity();
    for (float value : out) largest = std::max(largest, value);
    const bool passed = allFinite(out) && largest > 0.0f;
    return outcome(2.0, weightedSampledChecksum<float>(out, 257), passed, "Audio: 2 s at 16000 Hz",
                   "198 frames, 64 deterministic spectral bands");
}

IterationOutcome noiseSuppressionIteration(const KernelOutputTamper* tamper)
{
    constexpr int count = 192'000;
    const std::vector<float> x = deterministicFloats(count, 658'704);
    std::vector<float> out(count);
    float smooth = 0.0f, envelope = 0.0f;
    for (int i = 0; i < count; ++i) {
        const float sample = x[i];
        smooth = smooth * 0.18f + sample * 0.82f;
        envelope = envelope * 0.995f;
        const float magnitude = std::fabs(sample);
        if (magnitude > envelope) envelope = magnitude;
        const float g = (envelope - 0.08f) * 3.5f;
        float gate = g > 1.0f ? 1.0f : g;
        if (g <= 0.0f) gate = 0.0f;
        out[i] = smooth * gate;
    }
    tamperFloats(tamper, out);

    float largest = -std::numeric_limits<float>::infinity();
    for (float value : out) largest = std::max(largest, value);
    const bool passed = allFinite(out) && largest <= 1.1f;
    return outcome(4.0, sampledChecksum<float>(out, 1003), passed, "48 kHz mono, 4-second stream",
                   "Envelope gate + one-pole residual filter");
}

namespace {

// Sum of the 3x3 window around (y, x) of a row-major plane, in row-major order from 0.
inline float stencil(const float* plane, int width, int y, int x, const std::array<float, 9>& weights)
{
    float sum = 0.0f;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            sum += weights[(dy + 1) * 3 + (dx + 1)] * plane[static_cast<std::size_t>(y + dy) * width + (x + dx)];
    return sum;
}

constexpr std::array<float, 9> denoiseWeights{0.04f, 0.08f, 0.04f, 0.08f, 0.52f, 0.08f, 0.04f, 0.08f, 0.04f};
constexpr std::array<float, 9> binomialWeights{0.0625f, 0.125f,  0.0625f, 0.125f, 0.25f,
                                               0.125f,  0.0625f, 0.125f,  0.0625f};

}  // namespace

IterationOutcome diffusionIteration(const KernelOutputTamper* tamper)
{
    constexpr int channels = 4, side = 160;
    constexpr std::size_t plane = static_cast<std::size_t>(side) * side;
    const std::vector<float> latent = deterministicFloats(channels * side * side, 53'759);
    std::vector<float> out(latent.size());
    for (int c = 0; c < channels; ++c) {
        const float* in = latent.data() + c * plane;
        float* dst = out.data() + c * plane;
        for (int y = 1; y < side - 1; ++y) {
            for (int x = 1; x < side - 1; ++x) {
                const float s = stencil(in, side, y, x, denoiseWeights);
                const float v = (s - 0.05f) * 0.96f;
                dst[static_cast<std::size_t>(y) * side + x] = v / (std::exp(v * -1.702f) + 1.0f);
            }
        }
    }
    tamperFloats(tamper, out);

    const bool passed = allFinite(out) && std::fabs(out[2 * side + 2]) < 10.0f;
    return outcome(1.0, sampledChecksum<float>(out, 1003), passed, "Latent: 160×160×4",
                   "3×3 denoise + normalization + SiLU");
}

IterationOutcome convolutionIteration(const KernelOutputTamper* tamper)
{
    constexpr int rows = 288, cols = 512;
    const std::vector<float> in = deterministicFloats(rows * cols, 49'319);
    std::vector<float> out(in.size());
    for (int y = 1; y < rows - 1; ++y) {
        const float* __restrict up = in.data() + static_cast<std::size_t>(y - 1) * cols;
        const float* __restrict mid = up + cols;
        const float* __restrict down = mid + cols;
        float* __restrict dst = out.data() + static_cast<std::size_t>(y) * cols;
        const auto& w = binomialWeights;
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
    tamperFloats(tamper, out);

    const float ref = stencil(in.data(), cols, 91, 77, binomialWeights);
    const bool passed = std::fabs(out[91 * cols + 77] - ref) < 0.0001f;
    return outcome(0.00247962, sampledChecksum<float>(out, 1003), passed, "Feature map: 512×288",
                   "Padded 3×3 convolution; 17 FLOPs/output");
}

}  // namespace korvalen::CPUKernels::KORVALEN_KERNEL_TARGET

#endif
