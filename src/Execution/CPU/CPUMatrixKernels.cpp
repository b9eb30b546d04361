// Dense products in single precision, half-precision storage and 8-bit integers, and one training
// step of a dense layer.

#include "Execution/CPU/CPUInputPool.h"
#include "Execution/CPU/CPUInt8Product.h"
#include "Execution/CPU/CPUKernelSupport.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"
#include "Platform/Inference/BlasThreading.h"

#include <cblas.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <span>

#ifndef KORVALEN_KERNEL_TARGET

namespace korvalen::CPUKernels {

std::string shortestFloatText(float value)
{
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    const float magnitude = std::fabs(value);
    if (magnitude == 0.0f) return sign + "0.0";

    // Shortest round-trip digits and decimal exponent, from the scientific form "d.ddde±x".
    char buffer[64];
    const auto scientific = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string text(buffer, scientific.ptr);
    const std::size_t e = text.find('e');
    std::string digits = text.substr(0, e);
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    const int exponent = std::atoi(text.c_str() + e + 1);  // value = d.ddd x 10^exponent

    if (exponent < -4 || magnitude > 0x1p24f) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) out.append(".").append(digits, 1);
        const int absExponent = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        if (absExponent < 10) out += "0";
        return out + std::to_string(absExponent);
    }
    std::string out = sign;
    if (exponent < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    } else {
        const auto integerDigits = static_cast<std::size_t>(exponent + 1);
        if (digits.size() <= integerDigits) {
            out += digits + std::string(integerDigits - digits.size(), '0') + ".0";
        } else {
            out += digits.substr(0, integerDigits) + "." + digits.substr(integerDigits);
        }
    }
    return out;
}

}  // namespace korvalen::CPUKernels

#define KORVALEN_KERNEL_SOURCE "Execution/CPU/CPUMatrixKernels.cpp"
#include "Execution/CPU/CPUKernelTargets.h"
#else

namespace korvalen::CPUKernels::KORVALEN_KERNEL_TARGET {

using CPUKernelSupport::outcome;
using CPUKernelSupport::tamperFloats;

namespace {

// Whether squareProductOutcome(n, ...) multiplies on several threads: the input pool's threads then
// watch for it after building the inputs, instead of sleeping in between.
bool sharedProduct(int n)
{
    return nn::BlasThreading::productThreadCount(n, n, n) > 1;
}

// Sum over k of A[0][k] x B[k][0], single precision from 0.
float cornerReference(int n, const float* a, const float* b)
{
    float ref = 0.0f;
    for (int k = 0; k < n; ++k) ref += a[k] * b[static_cast<std::size_t>(k) * n];
    return ref;
}

// Slice [begin, end) of the stream seeded with `seed`: value i depends on seed + (i + 1) x gamma.
void fillSlice(float* out, std::uint64_t seed, std::size_t begin, std::size_t end)
{
    fillDeterministicFloats(std::span<float>(out + begin, end - begin), seed + SplitMix64::gamma * begin);
}

// C = A x B for square row-major n x n matrices, with one thread's bits (large ones in bands of rows
// on the input pool's threads, see BlasThreading::product), then the tamper, then C's corner checked
// against the single-precision sum within max(`tolerance`, |sum| x `relativeTolerance`).
IterationOutcome squareProductOutcome(int n, const float* a, const float* b, float* c, const KernelOutputTamper* tamper,
                                      float tolerance, float relativeTolerance, double workUnits, std::string first,
                                      std::string second)
{
    nn::BlasThreading::product(n, n, n, a, b, c, CPUInputPool::forParts);
    const std::span<float> product(c, static_cast<std::size_t>(n) * n);
    tamperFloats(tamper, product);

    const float ref = cornerReference(n, a, b);
    const bool passed = std::fabs(c[0] - ref) <= std::max(tolerance, std::fabs(ref) * relativeTolerance);
    return outcome(workUnits, sampledChecksum<float>(product, 1003), passed, std::move(first), std::move(second));
}

}  // namespace

// The inputs and the zero-filled output are built slice by slice on the input pool, whose threads
// then share a large product.
IterationOutcome matrixFP32Iteration(const KernelOutputTamper* tamper)
{
    constexpr int n = 384;
    constexpr std::size_t count = static_cast<std::size_t>(n) * n;
    const auto a = std::make_unique_for_overwrite<float[]>(count);
    const auto b = std::make_unique_for_overwrite<float[]>(count);
    const auto c = std::make_unique_for_overwrite<float[]>(count);
    CPUInputPool::forSlices(
        count,
        [&](std::size_t begin, std::size_t end) {
            fillSlice(a.get(), 61'490, begin, end);
            fillSlice(b.get(), 61'491, begin, end);
            std::fill(c.get() + begin, c.get() + end, 0.0f);
        },
        sharedProduct(n));
    return squareProductOutcome(n, a.get(), b.get(), c.get(), tamper, 0.002f, 0.0002f, 0.000113246208,
                                "Matrix: 384×384", "Accelerate SGEMM; 2N³ operation count");
}

// Generation, rounding to binary16 and decoding are element-wise, so each slice goes through all
// three on one thread.
IterationOutcome matrixFP16Iteration(const KernelOutputTamper* tamper)
{
    constexpr int n = 320;
    constexpr std::size_t count = static_cast<std::size_t>(n) * n;
    const auto generatedA = std::make_unique_for_overwrite<float[]>(count);
    const auto generatedB = std::make_unique_for_overwrite<float[]>(count);
    const auto halfA = std::make_unique_for_overwrite<std::uint16_t[]>(count);
    const auto halfB = std::make_unique_for_overwrite<std::uint16_t[]>(count);
    const auto a = std::make_unique_for_overwrite<float[]>(count);
    const auto b = std::make_unique_for_overwrite<float[]>(count);
    const auto c = std::make_unique_for_overwrite<float[]>(count);
    CPUInputPool::forSlices(
        count,
        [&](std::size_t begin, std::size_t end) {
            const std::size_t length = end - begin;
            fillSlice(generatedA.get(), 61'462, begin, end);
            fillSlice(generatedB.get(), 61'463, begin, end);
            OlvaneHalfPrecision::encode({generatedA.get() + begin, length}, {halfA.get() + begin, length});
            OlvaneHalfPrecision::encode({generatedB.get() + begin, length}, {halfB.get() + begin, length});
            OlvaneHalfPrecision::decode({halfA.get() + begin, length}, {a.get() + begin, length});
            OlvaneHalfPrecision::decode({halfB.get() + begin, length}, {b.get() + begin, length});
            std::fill(c.get() + begin, c.get() + end, 0.0f);
        },
        sharedProduct(n));
    // The reference uses the decoded values, so rounding to binary16 never fails the check.
    return squareProductOutcome(n, a.get(), b.get(), c.get(), tamper, 0.003f, 0.0003f, 0.000065536, "Matrix: 320×320",
                                "IEEE-754 binary16 storage with CPU conversion and SGEMM compute");
}

IterationOutcome matrixINT8Iteration(const KernelOutputTamper* tamper)
{
    constexpr int n = 128;
    constexpr std::size_t count = static_cast<std::size_t>(n) * n;
    // One stream: B continues where A ends. Every byte is generated, so none is zeroed first.
    const auto stream = std::make_unique_for_overwrite<std::int8_t[]>(2 * count);
    fillDeterministicBytes({stream.get(), 2 * count}, 6'776);
    const std::span<const std::int8_t> a(stream.get(), count), b(stream.get() + count, count);

    // Integer sums are exact (|sum| <= 128 x 225), so any order gives the k-ordered sum: the
    // processor's dot-product instructions where it has them, else the i-k-j order, which lets each
    // row of C accumulate as a vector. The dot-product paths write every element of C, so only the
    // i-k-j order needs it zeroed.
    const auto cValues = std::make_unique_for_overwrite<std::int32_t[]>(count);
    const std::span<std::int32_t> c(cValues.get(), count);
    const InstructionSet set = activeInstructionSet();
    if (set == InstructionSet::avx512Vnni) {
        CPUInt8Product::multiplyAvx512Vnni(a.data(), b.data(), c.data(), n);
    } else if (set == InstructionSet::avxVnni) {
        CPUInt8Product::multiplyAvxVnni(a.data(), b.data(), c.data(), n);
    } else {
        std::fill(c.begin(), c.end(), 0);
        for (int i = 0; i < n; ++i) {
            std::int32_t* __restrict row = c.data() + static_cast<std::size_t>(i) * n;
            for (int k = 0; k < n; ++k) {
                const std::int32_t aik = a[static_cast<std::size_t>(i) * n + k];
                const std::int8_t* __restrict bk = b.data() + static_cast<std::size_t>(k) * n;
                for (int j = 0; j < n; ++j) row[j] += aik * static_cast<std::int32_t>(bk[j]);
            }
        }
    }
    if (tamper && tamper->integers) tamper->integers(c);

    std::int32_t ref = 0;
    for (int k = 0; k < n; ++k)
        ref += static_cast<std::int32_t>(a[k]) * static_cast<std::int32_t>(b[static_cast<std::size_t>(k) * n]);
    const bool passed = c[0] == ref;
    return outcome(0.000004194304, sampledChecksum<std::int32_t>(c, 257), passed, "Matrix: 128×128",
                   "Signed INT8 inputs; exact INT32 accumulation");
}

#if !KORVALEN_KERNEL_WIDE
namespace {

constexpr int batch = 32, inputs = 128, outputs = 32;

// Y = X x W, then the mean of squared differences to T; Y is left holding the loss's gradient.
float forwardLoss(const std::vector<float>& x, const std::vector<float>& w, const std::vector<float>& t,
                  std::vector<float>& y)
{
    nn::BlasThreading::sgemm(CblasNoTrans, CblasNoTrans, batch, outputs, inputs, 1.0f, x.data(), inputs, w.data(),
                             outputs, 0.0f, y.data(), outputs);
    float sum = 0.0f;
    for (std::size_t e = 0; e < y.size(); ++e) {
        const float d = y[e] - t[e];
        sum += d * d;
        y[e] = (d + d) * 0.03125f;
    }
    return sum / 1024.0f;
}

}  // namespace

IterationOutcome fineTuningIteration(const KernelOutputTamper* tamper)
{
    const std::vector<float> x = deterministicFloats(batch * inputs, 61'822);
    const std::vector<float> t = deterministicFloats(batch * outputs, 61'823);
    std::vector<float> w = deterministicFloats(inputs * outputs, 61'824);
    for (float& value : w) value *= 0.02f;

    std::vector<float> y(static_cast<std::size_t>(batch) * outputs);
    const float lossBefore = forwardLoss(x, w, t, y);

    std::vector<float> gradient(static_cast<std::size_t>(inputs) * outputs);
    nn::BlasThreading::sgemm(CblasTrans, CblasNoTrans, inputs, outputs, batch, 1.0f, x.data(), inputs, y.data(),
                             outputs, 0.0f, gradient.data(), outputs);
    for (std::size_t e = 0; e < w.size(); ++e) w[e] = w[e] - gradient[e] * 0.002f;
    tamperFloats(tamper, w);

    std::vector<float> yAfter(static_cast<std::size_t>(batch) * outputs);
    const float lossAfter = forwardLoss(x, w, t, yAfter);
    const bool passed = lossAfter < lossBefore && std::isfinite(lossAfter);
    return outcome(1.0, static_cast<double>(lossAfter), passed, "Batch 32, dense 128→32",
                   "MSE loss " + shortestFloatText(lossBefore) + " → " + shortestFloatText(lossAfter));
}
#endif

}  // namespace korvalen::CPUKernels::KORVALEN_KERNEL_TARGET

#endif
