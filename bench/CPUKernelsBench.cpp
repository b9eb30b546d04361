// One timed iteration of every CPU kernel, plus the input generator and half conversion they share.
// Run with --benchmark_min_time=... for steadier figures; speed is judged here, never in tests.

#include "Execution/CPU/AllocatorPolicy.h"
#include "Execution/CPU/CPUInt8Product.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"
#include "Platform/Inference/BlasThreading.h"

#include <benchmark/benchmark.h>

#include <cblas.h>
#include <sys/resource.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace korvalen;

namespace {

long minorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Runs each call on one kept worker thread, as the CPU runner does: its allocations come from a
// thread arena, which glibc trims differently from the main one.
class Worker {
public:
    Worker() : thread_([this] { loop(); }) {}
    ~Worker()
    {
        call({});
        thread_.join();
    }
    IterationOutcome call(CPUKernelIteration kernel)
    {
        std::unique_lock lock(mutex_);
        kernel_ = kernel;
        pending_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !pending_; });
        return std::move(result_);
    }

private:
    void loop()
    {
        for (;;) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return pending_; });
            if (!kernel_) {
                pending_ = false;
                changed_.notify_all();
                return;
            }
            result_ = kernel_(nullptr);
            pending_ = false;
            changed_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    CPUKernelIteration kernel_ = nullptr;
    bool pending_ = false;
    IterationOutcome result_;
    std::thread thread_;
};

// The kernel on a runner-like worker thread, under the earlier policy (glibc's allocator defaults,
// every product on the calling thread) or the current one (kept blocks, several threads for large
// products). The allocator policy cannot be undone, so the current-policy cases are registered last.
void runKernel(benchmark::State& state, CPUKernelIteration kernel, bool currentPolicy)
{
    nn::BlasThreading::applyPolicy();
    nn::BlasThreading::setLargeProductThreadLimit(currentPolicy ? 1 << 20 : 1);
    if (currentPolicy) AllocatorPolicy::apply();
    Worker worker;
    double units = 0;
    (void)worker.call(kernel);  // the runner's warm-up
    const long faultsBefore = minorFaults();
    for (auto _ : state) {
        const IterationOutcome outcome = worker.call(kernel);
        benchmark::DoNotOptimize(outcome.checksum);
        if (!outcome.passed) state.SkipWithError("validation failed");
        units += outcome.workUnits;
    }
    state.counters["workUnits/s"] = benchmark::Counter(units, benchmark::Counter::kIsRate);
    state.counters["faults"] =
        benchmark::Counter(static_cast<double>(minorFaults() - faultsBefore), benchmark::Counter::kAvgIterations);
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
    if (set >= 0 && !processorSupports(static_cast<InstructionSet>(set)))
        return state.SkipWithError("not on this processor");
    for (auto _ : state) {
        if (set < 0) {
            SplitMix64 stream(61'490);
            for (float& value : values) value = stream.nextFloat();
        } else {
            fillDeterministicFloats(values, 61'490, static_cast<InstructionSet>(set));
        }
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
// -1: the sequential scalar generator; 0, 1, 3: baseline, AVX2, AVX-512.
BENCHMARK(fillBySet)->Arg(-1)->Arg(0)->Arg(1)->Arg(3);

// The 8-bit inputs of the integer product (both matrices), per instruction set: 0, 1, 3, 4 are
// baseline, AVX2, AVX-512 and AVX-512 VNNI, which takes the IFMA loop where the processor has IFMA.
void byteFillBySet(benchmark::State& state)
{
    std::vector<std::int8_t> values(2 * 128 * 128);
    const auto set = static_cast<InstructionSet>(state.range(0));
    if (!processorSupports(set)) return state.SkipWithError("not on this processor");
    for (auto _ : state) {
        fillDeterministicBytes(values, 6'776, set);
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
BENCHMARK(byteFillBySet)->Arg(0)->Arg(1)->Arg(3)->Arg(4);

// The integer product alone with the dot-product instructions, on kept inputs.
void int8ProductBySet(benchmark::State& state)
{
    constexpr int n = 128;
    std::vector<std::int8_t> a(n * n), b(n * n);
    fillDeterministicBytes(a, 1);
    fillDeterministicBytes(b, 2);
    std::vector<std::int32_t> c(n * n);
    const auto set = static_cast<InstructionSet>(state.range(0));
    if (!processorSupports(set)) return state.SkipWithError("not on this processor");
    for (auto _ : state) {
        if (set == InstructionSet::avx512Vnni)
            CPUInt8Product::multiplyAvx512Vnni(a.data(), b.data(), c.data(), n);
        else
            CPUInt8Product::multiplyAvxVnni(a.data(), b.data(), c.data(), n);
        benchmark::DoNotOptimize(c.data());
    }
    state.counters["GOP/s"] = benchmark::Counter(2.0 * n * n * n * static_cast<double>(state.iterations()) / 1e9,
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(int8ProductBySet)
    ->Arg(static_cast<int>(InstructionSet::avxVnni))
    ->Arg(static_cast<int>(InstructionSet::avx512Vnni));

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
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 384, 384, 384, 1.0f, a.data(), 384, b.data(), 384, 0.0f,
                    c.data(), 384);
        benchmark::DoNotOptimize(c.data());
    }
    state.counters["GFLOP/s"] = benchmark::Counter(
        2.0 * 384 * 384 * 384 * static_cast<double>(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(bareSgemm384);

// A square product at n (first argument) on a given OpenBLAS thread count (second): where the
// pool starts paying for itself.
void sgemmThreads(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> a = deterministicFloats(n * n, 1), b = deterministicFloats(n * n, 2);
    std::vector<float> c(a.size());
    openblas_set_num_threads(static_cast<int>(state.range(1)));
    for (auto _ : state) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, a.data(), n, b.data(), n, 0.0f, c.data(),
                    n);
        benchmark::DoNotOptimize(c.data());
    }
    openblas_set_num_threads(1);
    state.counters["GFLOP/s"] = benchmark::Counter(2.0 * n * n * n * static_cast<double>(state.iterations()) / 1e9,
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(sgemmThreads)->ArgsProduct({{64, 96, 128, 192, 256, 320, 384}, {1, 4, 8}});

// Single-threaded generation timed right after a 384 product on the given thread count: what the
// pool's idle threads cost the calling thread's next step.
void generationAfterProduct(benchmark::State& state)
{
    const std::vector<float> a = deterministicFloats(384 * 384, 1), b = deterministicFloats(384 * 384, 2);
    std::vector<float> c(a.size()), values(2 * a.size());
    openblas_set_num_threads(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 384, 384, 384, 1.0f, a.data(), 384, b.data(), 384, 0.0f,
                    c.data(), 384);
        state.ResumeTiming();
        fillDeterministicFloats(values, 3);
        benchmark::DoNotOptimize(values.data());
    }
    openblas_set_num_threads(1);
}
BENCHMARK(generationAfterProduct)->Arg(1)->Arg(4)->Arg(8);

}  // namespace

BENCHMARK_CAPTURE(runKernel, superResolution, &CPUKernels::superResolutionIteration, false);
BENCHMARK_CAPTURE(runKernel, melSpectrogram, &CPUKernels::melSpectrogramIteration, false);
BENCHMARK_CAPTURE(runKernel, noiseSuppression, &CPUKernels::noiseSuppressionIteration, false);
BENCHMARK_CAPTURE(runKernel, diffusion, &CPUKernels::diffusionIteration, false);
BENCHMARK_CAPTURE(runKernel, convolution, &CPUKernels::convolutionIteration, false);
BENCHMARK_CAPTURE(runKernel, textTokenization, &CPUKernels::textTokenizationIteration, false);
BENCHMARK_CAPTURE(runKernel, ropeRMSNorm, &CPUKernels::ropeRMSNormIteration, false);
BENCHMARK_CAPTURE(runKernel, attention, &CPUKernels::attentionIteration, false);
BENCHMARK_CAPTURE(runKernel, softmaxLayerNorm, &CPUKernels::softmaxLayerNormIteration, false);
BENCHMARK_CAPTURE(runKernel, tensorOperations, &CPUKernels::tensorOperationsIteration, false);
BENCHMARK_CAPTURE(runKernel, tensorAllocation, &CPUKernels::tensorAllocationIteration, false);
BENCHMARK_CAPTURE(runKernel, kvCache, &CPUKernels::kvCacheIteration, false);
BENCHMARK_CAPTURE(runKernel, matrixFP32, &CPUKernels::matrixFP32Iteration, false);
BENCHMARK_CAPTURE(runKernel, matrixFP16, &CPUKernels::matrixFP16Iteration, false);
BENCHMARK_CAPTURE(runKernel, matrixINT8, &CPUKernels::matrixINT8Iteration, false);
BENCHMARK_CAPTURE(runKernel, fineTuning, &CPUKernels::fineTuningIteration, false);

// The same kernels under the current policy.
BENCHMARK_CAPTURE(runKernel, superResolution_current, &CPUKernels::superResolutionIteration, true);
BENCHMARK_CAPTURE(runKernel, melSpectrogram_current, &CPUKernels::melSpectrogramIteration, true);
BENCHMARK_CAPTURE(runKernel, noiseSuppression_current, &CPUKernels::noiseSuppressionIteration, true);
BENCHMARK_CAPTURE(runKernel, diffusion_current, &CPUKernels::diffusionIteration, true);
BENCHMARK_CAPTURE(runKernel, convolution_current, &CPUKernels::convolutionIteration, true);
BENCHMARK_CAPTURE(runKernel, textTokenization_current, &CPUKernels::textTokenizationIteration, true);
BENCHMARK_CAPTURE(runKernel, ropeRMSNorm_current, &CPUKernels::ropeRMSNormIteration, true);
BENCHMARK_CAPTURE(runKernel, attention_current, &CPUKernels::attentionIteration, true);
BENCHMARK_CAPTURE(runKernel, softmaxLayerNorm_current, &CPUKernels::softmaxLayerNormIteration, true);
BENCHMARK_CAPTURE(runKernel, tensorOperations_current, &CPUKernels::tensorOperationsIteration, true);
BENCHMARK_CAPTURE(runKernel, tensorAllocation_current, &CPUKernels::tensorAllocationIteration, true);
BENCHMARK_CAPTURE(runKernel, kvCache_current, &CPUKernels::kvCacheIteration, true);
BENCHMARK_CAPTURE(runKernel, matrixFP32_current, &CPUKernels::matrixFP32Iteration, true);
BENCHMARK_CAPTURE(runKernel, matrixFP16_current, &CPUKernels::matrixFP16Iteration, true);
BENCHMARK_CAPTURE(runKernel, matrixINT8_current, &CPUKernels::matrixINT8Iteration, true);
BENCHMARK_CAPTURE(runKernel, fineTuning_current, &CPUKernels::fineTuningIteration, true);

BENCHMARK_MAIN();
