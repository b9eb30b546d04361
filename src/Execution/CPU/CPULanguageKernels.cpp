// Tokenizer, RMSNorm with rotary encoding, attention head, LayerNorm with softmax, GELU pipeline,
// tensor allocation and half-precision key/value cache.

#include "Execution/CPU/CPUKernelSupport.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"
#include "Platform/Inference/BlasThreading.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#ifndef KORVALEN_KERNEL_TARGET

namespace korvalen::CPUKernels {

namespace {

constexpr std::uint32_t fnvOffsetBasis = 0x811C9DC5u;
constexpr std::uint32_t fnvPrime = 0x01000193u;

}  // namespace

// Aligned to a cache line: the byte loop's speed moved by a quarter with where the linker happened
// to place it (its branches against 32-byte boundaries), whenever unrelated code changed size.
[[gnu::aligned(64)]] std::vector<std::uint32_t> tokenize(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::vector<std::uint32_t> tokens;
    tokens.reserve(n / 3);
    std::uint32_t h = fnvOffsetBasis;
    std::size_t i = 0;
    while (i < n) {
        const std::uint32_t b = bytes[i];
        h = (h ^ b) * fnvPrime;
        if (b == 0x0A || b == 0x20 || i + 1 == n) {
            tokens.push_back(h);
            h = fnvOffsetBasis;
        } else {
            const std::uint32_t pair = b * 256 + bytes[i + 1];
            if (pair % 11 == 0) {
                h = (h ^ pair) * fnvPrime;
                i += 1;
                // A merge that swallows the final byte must still close the last token.
                if (i + 1 == n) {
                    tokens.push_back(h);
                    h = fnvOffsetBasis;
                }
            }
        }
        i += 1;
    }
    return tokens;
}

}  // namespace korvalen::CPUKernels

#define KORVALEN_KERNEL_SOURCE "Execution/CPU/CPULanguageKernels.cpp"
#include "Execution/CPU/CPUKernelTargets.h"
#else

namespace korvalen::CPUKernels::KORVALEN_KERNEL_TARGET {

using CPUKernelSupport::allFinite;
using CPUKernelSupport::outcome;
using CPUKernelSupport::tamperFloats;

namespace {

constexpr float lowestFloat = -3.4028235e38f;

// The first step of a stable softmax: each value of the row becomes exp(value - the row's largest);
// returns their sum.
inline float exponentiateRow(float* row, int width)
{
    float m = lowestFloat;
    for (int j = 0; j < width; ++j) m = std::max(m, row[j]);
    float sum = 0.0f;
    for (int j = 0; j < width; ++j) {
        row[j] = std::exp(row[j] - m);
        sum += row[j];
    }
    return sum;
}

}  // namespace

IterationOutcome textTokenizationIteration(const KernelOutputTamper* tamper)
{
    constexpr int repeats = 12'000;
    std::string text;
    text.reserve(tokenizerSentence.size() * repeats);
    for (int r = 0; r < repeats; ++r) text.append(tokenizerSentence);
    const std::size_t n = text.size();

    std::vector<std::uint32_t> tokens = tokenize(text);
    if (tamper && tamper->tokens) tamper->tokens(tokens);

    double checksum = 0;
    for (std::size_t k = 0; k < tokens.size(); ++k)
        checksum += static_cast<double>(k % 13 + 1) * static_cast<double>(tokens[k] & 0xFFFFu);
    const bool passed = std::isfinite(checksum) && tokens.size() > 50'000;
    return outcome(static_cast<double>(n) / 1'000'000.0, checksum, passed,
                   "UTF-8 input: " + std::to_string(n) + " bytes",
                   "Deterministic normalization, pair merges, and FNV token hashing");
}

#if !KORVALEN_KERNEL_WIDE
IterationOutcome ropeRMSNormIteration(const KernelOutputTamper* tamper)
{
    constexpr int positions = 1024, width = 512;
    const std::vector<float> in = deterministicFloats(positions * width, 41'214);
    std::vector<float> out(in.size());

    // pow(10000, i * -1/512) depends on the pair index alone.
    std::array<float, width / 2> frequencies{};
    for (int i = 0; i < width; i += 2) frequencies[i / 2] = std::pow(10000.0f, static_cast<float>(i) * -0.001953125f);

    for (int t = 0; t < positions; ++t) {
        const float* __restrict row = in.data() + static_cast<std::size_t>(t) * width;
        float* __restrict dst = out.data() + static_cast<std::size_t>(t) * width;
        float ss = 0.0f;
        for (int j = 0; j < width; ++j) ss += row[j] * row[j];
        const float inv = 1.0f / std::sqrt(ss * 0.001953125f + 0.00001f);
        const float position = static_cast<float>(t);
        for (int i = 0; i < width; i += 2) {
            const float x0 = inv * row[i];
            const float x1 = inv * row[i + 1];
            const float theta = frequencies[i / 2] * position;
            const float c = std::cos(theta), s = std::sin(theta);
            dst[i] = x0 * c - x1 * s;
            dst[i + 1] = x0 * s + x1 * c;
        }
    }
    tamperFloats(tamper, out);

    const bool passed = std::isfinite(out[18'964]) && allFinite(out);
    return outcome(0.006291456, sampledChecksum<float>(out, 1003), passed, "Decoder tensor: 1024×512",
                   "RMSNorm followed by rotary positional encoding");
}
#endif

#if !KORVALEN_KERNEL_WIDE
IterationOutcome attentionIteration(const KernelOutputTamper* tamper)
{
    constexpr int tokens = 96, head = 64;
    const std::vector<float> q = deterministicFloats(tokens * head, 42'865);
    const std::vector<float> k = deterministicFloats(tokens * head, 42'866);
    const std::vector<float> v = deterministicFloats(tokens * head, 42'867);
    std::vector<float> scores(static_cast<std::size_t>(tokens) * tokens);
    nn::BlasThreading::sgemm(CblasNoTrans, CblasTrans, tokens, tokens, head, 0.125f, q.data(), head, k.data(), head,
                             0.0f, scores.data(), tokens);

    bool rowsPassed = true;
    for (int r = 0; r < tokens; ++r) {
        float* row = scores.data() + static_cast<std::size_t>(r) * tokens;
        const float sum = exponentiateRow(row, tokens);
        // A vanishing sum scales by 1 / FLT_MIN rather than dividing by the tiny value.
        const float scale = 1.0f / std::max(sum, 1.17549435e-38f);
        float rowSum = 0.0f;
        for (int j = 0; j < tokens; ++j) {
            row[j] *= scale;
            rowSum += row[j];
        }
        if (rowsPassed && !(std::fabs(rowSum - 1.0f) < 0.001f)) rowsPassed = false;
    }

    std::vector<float> output(static_cast<std::size_t>(tokens) * head);
    nn::BlasThreading::sgemm(CblasNoTrans, CblasNoTrans, tokens, head, tokens, 1.0f, scores.data(), tokens, v.data(),
                             head, 0.0f, output.data(), head);
    tamperFloats(tamper, output);

    const bool passed = rowsPassed && allFinite(output);
    return outcome(1.0, sampledChecksum<float>(output, 1003), passed, "Context: 96 tokens; head dimension: 64",
                   "QKᵀ + stable softmax + value projection");
}
#endif

#if !KORVALEN_KERNEL_WIDE
IterationOutcome softmaxLayerNormIteration(const KernelOutputTamper* tamper)
{
    constexpr int rows = 512, width = 512;
    const std::vector<float> in = deterministicFloats(rows * width, 20'727);
    std::vector<float> out(in.size());

    for (int r = 0; r < rows; ++r) {
        const float* __restrict x = in.data() + static_cast<std::size_t>(r) * width;
        float* __restrict y = out.data() + static_cast<std::size_t>(r) * width;
        float total = 0.0f;
        for (int j = 0; j < width; ++j) total += x[j];
        const float mean = total * 0.001953125f;
        float vs = 0.0f;
        for (int j = 0; j < width; ++j) vs += (x[j] - mean) * (x[j] - mean);
        const float inv = 1.0f / std::sqrt(vs * 0.001953125f + 0.00001f);
        for (int j = 0; j < width; ++j) y[j] = inv * (x[j] - mean);
    }
    // The seam sits between the two stages: the softmax's row sums are the check.
    tamperFloats(tamper, out);

    bool passed = true;
    for (int r = 0; r < rows; ++r) {
        float* y = out.data() + static_cast<std::size_t>(r) * width;
        const float sum = exponentiateRow(y, width);
        float rowSum = 0.0f;
        for (int j = 0; j < width; ++j) {
            y[j] = y[j] / sum;
            rowSum += y[j];
        }
        if (!(std::fabs(rowSum - 1.0f) < 0.001f)) passed = false;
    }
    return outcome(0.004194304, sampledChecksum<float>(out, 1003), passed, "Tensor: 512×512",
                   "LayerNorm followed by numerically stable softmax");
}
#endif

IterationOutcome tensorOperationsIteration(const KernelOutputTamper* tamper)
{
    constexpr int count = 2'000'000;
    const std::vector<float> a = deterministicFloats(count, 32'429);
    const std::vector<float> b = deterministicFloats(count, 32'430);
    std::vector<float> out(count);
    for (int i = 0; i < count; ++i) {
        const float v = b[i] + (a[i] * 0.125f + a[i] * b[i]);
        const float c = (v * (v * v)) * 0.044715f;
        const float t = std::tanh((v + c) * 0.7978846f);
        out[i] = (t + 1.0f) * (v * 0.5f);
    }
    tamperFloats(tamper, out);

    constexpr int probe = 17'777;
    const float vRef = (a[probe] * 0.125f + a[probe] * b[probe]) + b[probe];
    const float cRef = ((vRef * 0.044715f) * vRef) * vRef;
    const float ref = (vRef * 0.5f) * (std::tanh((vRef + cRef) * 0.7978846f) + 1.0f);
    const bool passed = std::fabs(out[probe] - ref) < 0.0001f;
    return outcome(0.024, sampledChecksum<float>(out, 1003), passed, "Elements: 2000000",
                   "Fused multiply-add approximation + GELU");
}

IterationOutcome tensorAllocationIteration(const KernelOutputTamper* tamper)
{
    constexpr std::size_t count = 16'777'216;
    double checksum = 0;
    bool passed = false;
    {
        std::vector<float> tensor(count);  // zero-filled, then every page is written again
        for (std::size_t i = 0; i < count; ++i) tensor[i] = static_cast<float>(i & 255u) * 0.00390625f;
        tamperFloats(tamper, tensor);
        passed = std::fabs(tensor[8'388'608]) < 0.0001f;
        checksum = weightedSampledChecksum<float>(tensor, 65'537);
    }  // released before returning
    return outcome(0.067108864, checksum, passed, "64 MiB tensor allocation",
                   "Allocation, page touch, validation, and release");
}

IterationOutcome kvCacheIteration(const KernelOutputTamper* tamper)
{
    constexpr std::size_t count = 8'388'608;  // 4096 positions x 16 heads x 64 dimensions x keys and values
    std::vector<std::uint16_t> cache(count);
    double written = 0;
    int level = -128;  // i mod 257 - 128, kept as a wrapping counter instead of a division per element
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t h = OlvaneHalfPrecision::encode(static_cast<float>(level) / 128.0f);
        if (++level == 129) level = -128;
        cache[i] = h;
        written += static_cast<double>(OlvaneHalfPrecision::decode(h));
    }
    if (tamper && tamper->halves) tamper->halves(cache);

    double read = 0;
    for (std::size_t i = 0; i < count; ++i) read += static_cast<double>(OlvaneHalfPrecision::decode(cache[i]));
    const bool passed = std::isfinite(written) && std::isfinite(read);
    return outcome(0.033554432, written + read, passed, "Context: 4096, heads: 16, head dimension: 64",
                   "FP16 key/value cache write and traversal");
}

}  // namespace korvalen::CPUKernels::KORVALEN_KERNEL_TARGET

#endif
