// One timed iteration of every CPU kernel, plus the input generator and half conversion they share.
// Run with --benchmark_min_time=... for steadier figures; speed is judged here, never in tests.

#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"

#include <benchmark/benchmark.h>

#include <cblas.h>

using namespace korvalen;

namespace {

void runKernel(benchmark::State& state, CPUKernelIteration kernel)
{
    double units = 0;
    for (auto _ : state) {
        const IterationOutcome outcome = kernel(nullptr);
        benchmark::DoNotOptimize(outcome.checksum);
        if (!outcome.passed) state.SkipWithError("validation failed");
        units += outcome.workUnits;
    }
    state.counters["workUnits/s"] = benchmark::Counter(units, benchmark::Counter::kIsRate);
}

void deterministicFloatsBench(benchmark::State& state)
{
    for (auto _ : state) {
        std::vector<float> values = deterministicFloats(state.range(0), 7);
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(deterministicFloatsBench)->Arg(6'144)->Arg(2'000'000);

// The fill per instruction set against the sequential generator it replaced, on a kept buffer.
void fillBySet(benchmark::State& state)
{
    std::vector<float> values(147'456);
    const int set = static_cast<int>(state.range(0));
    if (set > static_cast<int>(widestFillInstructionSet())) return state.SkipWithError("not on this processor");
    for (auto _ : state) {
        if (set < 0) {
            SplitMix64 stream(61'490);
            for (float& value : values) value = stream.nextFloat();
        } else {
            fillDeterministicFloats(values, 61'490, static_cast<FillInstructionSet>(set));
        }
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
// -1: the sequential scalar generator; 0, 1, 2: baseline, AVX2, AVX-512.
BENCHMARK(fillBySet)->DenseRange(-1, 2);

void halfRoundTrip(benchmark::State& state)
{
    const std::vector<float> values = deterministicFloats(1 << 16, 3);
    for (auto _ : state) {
        float sum = 0;
        for (float value : values) sum += OlvaneHalfPrecision::decode(OlvaneHalfPrecision::encode(value));
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
BENCHMARK(halfRoundTrip);

// The FP32 kernel's product alone, on kept buffers: what the kernel adds on top is generation.
void bareSgemm384(benchmark::State& state)
{
    const std::vector<float> a = deterministicFloats(384 * 384, 61'490), b = deterministicFloats(384 * 384, 61'491);
    std::vector<float> c(a.size());
    for (auto _ : state) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 384, 384, 384, 1.0f, a.data(), 384, b.data(), 384, 0.0f, c.data(), 384);
        benchmark::DoNotOptimize(c.data());
    }
    state.counters["GFLOP/s"] = benchmark::Counter(2.0 * 384 * 384 * 384 * static_cast<double>(state.iterations()) / 1e9,
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(bareSgemm384);

}  // namespace

BENCHMARK_CAPTURE(runKernel, superResolution, &CPUKernels::superResolutionIteration);
BENCHMARK_CAPTURE(runKernel, melSpectrogram, &CPUKernels::melSpectrogramIteration);
BENCHMARK_CAPTURE(runKernel, noiseSuppression, &CPUKernels::noiseSuppressionIteration);
BENCHMARK_CAPTURE(runKernel, diffusion, &CPUKernels::diffusionIteration);
BENCHMARK_CAPTURE(runKernel, convolution, &CPUKernels::convolutionIteration);
BENCHMARK_CAPTURE(runKernel, textTokenization, &CPUKernels::textTokenizationIteration);
BENCHMARK_CAPTURE(runKernel, ropeRMSNorm, &CPUKernels::ropeRMSNormIteration);
BENCHMARK_CAPTURE(runKernel, attention, &CPUKernels::attentionIteration);
BENCHMARK_CAPTURE(runKernel, softmaxLayerNorm, &CPUKernels::softmaxLayerNormIteration);
BENCHMARK_CAPTURE(runKernel, tensorOperations, &CPUKernels::tensorOperationsIteration);
BENCHMARK_CAPTURE(runKernel, tensorAllocation, &CPUKernels::tensorAllocationIteration);
BENCHMARK_CAPTURE(runKernel, kvCache, &CPUKernels::kvCacheIteration);
BENCHMARK_CAPTURE(runKernel, matrixFP32, &CPUKernels::matrixFP32Iteration);
BENCHMARK_CAPTURE(runKernel, matrixFP16, &CPUKernels::matrixFP16Iteration);
BENCHMARK_CAPTURE(runKernel, matrixINT8, &CPUKernels::matrixINT8Iteration);
BENCHMARK_CAPTURE(runKernel, fineTuning, &CPUKernels::fineTuningIteration);

BENCHMARK_MAIN();
