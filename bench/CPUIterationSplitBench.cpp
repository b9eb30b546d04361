// Where one CPU kernel iteration's time goes: input generation (the sequential generator it used
// to run against the SIMD fill), allocating and zero-filling the outputs, the checksum, and the
// whole iteration; compute and validation are the rest. Each step is timed on its own with the
// kernel's own sizes, on the calling thread, median of many rounds.
// Usage: CPUIterationSplitBench [--kept-blocks]   (the allocator policy the application sets)

#include "Execution/CPU/AllocatorPolicy.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Platform/Inference/BlasThreading.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace korvalen;

namespace {

struct Sizes {
    const char* name;
    CPUKernelIteration kernel;
    std::size_t inputFloats;  // generated per iteration
    std::size_t outputBytes;  // allocated and zero-filled per iteration
    std::size_t checksummed;  // floats the checksum walks (stride 1003)
};

double medianMicroseconds(const std::function<void()>& step)
{
    std::vector<double> samples;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (samples.size() < 5 || (std::chrono::steady_clock::now() < deadline && samples.size() < 2'000)) {
        const auto start = std::chrono::steady_clock::now();
        step();
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const bool keptBlocks = argc > 1 && std::strcmp(argv[1], "--kept-blocks") == 0;
    if (keptBlocks) AllocatorPolicy::apply();
    nn::BlasThreading::applyPolicy();
    const Sizes kernels[] = {
        {"superResolution", &CPUKernels::superResolutionIteration, 216 * 384, 432 * 768 * 4, 432 * 768},
        {"melSpectrogram", &CPUKernels::melSpectrogramIteration, 0, (32'000 + 198 * 64 + 2 * 400 * 64 + 400) * 4,
         198 * 64},
        {"noiseSuppression", &CPUKernels::noiseSuppressionIteration, 192'000, 192'000 * 4, 192'000},
        {"diffusion", &CPUKernels::diffusionIteration, 4 * 160 * 160, 4 * 160 * 160 * 4, 4 * 160 * 160},
        {"convolution", &CPUKernels::convolutionIteration, 288 * 512, 288 * 512 * 4, 288 * 512},
        {"ropeRMSNorm", &CPUKernels::ropeRMSNormIteration, 1024 * 512, 1024 * 512 * 4, 1024 * 512},
        {"attention", &CPUKernels::attentionIteration, 3 * 96 * 64, (96 * 96 + 96 * 64) * 4, 96 * 64},
        {"softmaxLayerNorm", &CPUKernels::softmaxLayerNormIteration, 512 * 512, 512 * 512 * 4, 512 * 512},
        {"tensorOperations", &CPUKernels::tensorOperationsIteration, 4'000'000, 2'000'000 * 4, 2'000'000},
        {"tensorAllocation", &CPUKernels::tensorAllocationIteration, 0, 16'777'216 * 4, 0},
        {"kvCache", &CPUKernels::kvCacheIteration, 0, 8'388'608 * 2, 0},
        {"matrixFP32", &CPUKernels::matrixFP32Iteration, 2 * 384 * 384, 384 * 384 * 4, 384 * 384},
        {"matrixFP16", &CPUKernels::matrixFP16Iteration, 2 * 320 * 320, 320 * 320 * (4 * 2 + 2 * 2 + 4), 320 * 320},
        {"matrixINT8", &CPUKernels::matrixINT8Iteration, 0, 128 * 128 * 6, 128 * 128},
        {"fineTuning", &CPUKernels::fineTuningIteration, 32 * 128 + 32 * 32 + 128 * 32, (2 * 32 * 32 + 128 * 32) * 4,
         0},
    };
    std::printf("allocator: %s; microseconds, median\n", keptBlocks ? "kept blocks" : "glibc defaults");
    std::printf("%-18s %10s %10s %10s %10s %10s %12s\n", "kernel", "gen.seq", "gen.simd", "alloc", "checksum", "whole",
                "compute+val");
    for (const Sizes& k : kernels) {
        std::vector<float> inputs(k.inputFloats);
        const double sequential = medianMicroseconds([&] {
            SplitMix64 stream(61'490);
            for (float& value : inputs) value = stream.nextFloat();
        });
        const double simd = medianMicroseconds([&] { fillDeterministicFloats(inputs, 61'490); });
        const double allocation = medianMicroseconds([&] {
            std::vector<unsigned char> block(k.outputBytes);
            asm volatile("" : : "r"(block.data()) : "memory");
        });
        std::vector<float> output(k.checksummed, 0.5f);
        double sink = 0;
        const double checksum = medianMicroseconds([&] { sink += sampledChecksum<float>(output, 1003); });
        const double whole = medianMicroseconds([&] { sink += k.kernel(nullptr).checksum; });
        std::printf("%-18s %10.1f %10.1f %10.1f %10.1f %10.1f %12.1f\n", k.name, sequential, simd, allocation, checksum,
                    whole, whole - simd - allocation - checksum);
        asm volatile("" : : "r"(&sink) : "memory");
    }
    return 0;
}
