#pragma once

// Helpers shared by the CPU kernel sources only.

#include "Execution/CPU/CPUKernels.h"

#include <cmath>
#include <span>
#include <string>
#include <utility>
#include <vector>

// The kernels built once per instruction set (see CPUKernelTargets.h), and those built for the
// baseline alone: RMSNorm with rotary encoding, LayerNorm with softmax and the attention head spend
// their time in libm's transcendental calls or OpenBLAS and the fine-tuning step in OpenBLAS; nothing
// of theirs vectorises to any profit, and the wide copies measured slower (RMSNorm and LayerNorm by
// 9 and 15 %, the other two by a few percent).
#define KORVALEN_CPU_KERNELS(X)  \
    X(superResolutionIteration)  \
    X(melSpectrogramIteration)   \
    X(noiseSuppressionIteration) \
    X(diffusionIteration)        \
    X(convolutionIteration)      \
    X(textTokenizationIteration) \
    X(tensorOperationsIteration) \
    X(tensorAllocationIteration) \
    X(kvCacheIteration)          \
    X(matrixFP32Iteration)       \
    X(matrixFP16Iteration)       \
    X(matrixINT8Iteration)
#define KORVALEN_CPU_BASELINE_KERNELS(X) \
    X(ropeRMSNormIteration)              \
    X(attentionIteration)                \
    X(softmaxLayerNormIteration)         \
    X(fineTuningIteration)

#define KORVALEN_DECLARE_KERNEL(kernel) IterationOutcome kernel(const KernelOutputTamper* tamper);
namespace korvalen::CPUKernels::baseline {
KORVALEN_CPU_KERNELS(KORVALEN_DECLARE_KERNEL)
KORVALEN_CPU_BASELINE_KERNELS(KORVALEN_DECLARE_KERNEL)
}  // namespace korvalen::CPUKernels::baseline
namespace korvalen::CPUKernels::avx2 {
KORVALEN_CPU_KERNELS(KORVALEN_DECLARE_KERNEL)
}
namespace korvalen::CPUKernels::avx512 {
KORVALEN_CPU_KERNELS(KORVALEN_DECLARE_KERNEL)
}
#undef KORVALEN_DECLARE_KERNEL

namespace korvalen::CPUKernelSupport {

inline bool allFinite(std::span<const float> values)
{
    for (float value : values)
        if (!std::isfinite(value)) return false;
    return true;
}

inline void tamperFloats(const KernelOutputTamper* tamper, std::span<float> values)
{
    if (tamper && tamper->floats) tamper->floats(values);
}

inline IterationOutcome outcome(double workUnits, double checksum, bool passed, std::string first, std::string second)
{
    IterationOutcome result;
    result.workUnits = workUnits;
    result.checksum = checksum;
    result.passed = passed;
    result.details.reserve(2);
    result.details.push_back(std::move(first));
    result.details.push_back(std::move(second));
    return result;
}

}  // namespace korvalen::CPUKernelSupport
