#pragma once

#include "Execution/Shared/DeterministicInputs.h"
#include "Model/AIVocabulary.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

// Test seam: when given, a kernel hands its output to the matching callback after computing it and
// before validating it and taking its checksum, so tests can prove the validation notices damage.
// The timed loop passes none.
struct KernelOutputTamper {
    std::function<void(std::span<float>)> floats;
    std::function<void(std::span<std::int32_t>)> integers;
    std::function<void(std::span<std::uint16_t>)> halves;
    std::function<void(std::vector<std::uint32_t>&)> tokens;
};

// One iteration of a CPU workload: builds its inputs, computes, validates, sums.
using CPUKernelIteration = IterationOutcome (*)(const KernelOutputTamper* tamper);

// The single-iteration kernels timed by the CPU runner. Every call allocates and generates its own
// inputs and outputs, so every iteration does the same work; none of them throws except on
// allocation failure.
namespace CPUKernels {

// Vision, audio and diffusion.
IterationOutcome superResolutionIteration(const KernelOutputTamper* tamper = nullptr);   // floats: 432x768 image
IterationOutcome melSpectrogramIteration(const KernelOutputTamper* tamper = nullptr);    // floats: 198x64 bands
IterationOutcome noiseSuppressionIteration(const KernelOutputTamper* tamper = nullptr);  // floats: 192,000 samples
IterationOutcome diffusionIteration(const KernelOutputTamper* tamper = nullptr);         // floats: 4x160x160 latent
IterationOutcome convolutionIteration(const KernelOutputTamper* tamper = nullptr);       // floats: 288x512 map

// Language and tensor.
IterationOutcome textTokenizationIteration(const KernelOutputTamper* tamper = nullptr);  // tokens
IterationOutcome ropeRMSNormIteration(const KernelOutputTamper* tamper = nullptr);       // floats: 1024x512
IterationOutcome attentionIteration(const KernelOutputTamper* tamper = nullptr);         // floats: O, 96x64
IterationOutcome softmaxLayerNormIteration(
    const KernelOutputTamper* tamper = nullptr);  // floats: LayerNorm output before softmax
IterationOutcome tensorOperationsIteration(const KernelOutputTamper* tamper = nullptr);  // floats: 2,000,000
IterationOutcome tensorAllocationIteration(const KernelOutputTamper* tamper = nullptr);  // floats: the 64 MiB tensor
IterationOutcome kvCacheIteration(const KernelOutputTamper* tamper = nullptr);  // halves: cache after the write pass

// Matrix and training.
IterationOutcome matrixFP32Iteration(const KernelOutputTamper* tamper = nullptr);  // floats: C
IterationOutcome matrixFP16Iteration(const KernelOutputTamper* tamper = nullptr);  // floats: C
IterationOutcome matrixINT8Iteration(const KernelOutputTamper* tamper = nullptr);  // integers: C
IterationOutcome fineTuningIteration(const KernelOutputTamper* tamper = nullptr);  // floats: W after the update

// The tokenizer's sentence; the kernel tokenizes it repeated 12,000 times.
inline constexpr std::string_view tokenizerSentence =
    "Korvalen AI measures deterministic on-device intelligence across vision language audio generation and memory. ";

// Byte-pair merges with FNV-1a token hashes; a token's hash includes its closing blank or line
// feed, and the final byte always closes a token.
std::vector<std::uint32_t> tokenize(std::string_view bytes);

// The shortest text that reads back as the same float: "0.3417", "2.0", "1.5e-05", "1.6777218e+07".
std::string shortestFloatText(float value);

}  // namespace CPUKernels

// The kernel the CPU runner times for a workload, or nullptr for workloads measured otherwise
// (thread scaling, memory pressure) or not on the CPU at all.
CPUKernelIteration cpuKernelIteration(AIWorkloadID workload);

}  // namespace korvalen
