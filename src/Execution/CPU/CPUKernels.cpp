#include "Execution/CPU/CPUKernels.h"

#include "Execution/CPU/CPUKernelSupport.h"
#include "Execution/Shared/InstructionSet.h"

namespace korvalen {

namespace CPUKernels {

// Each kernel's copy for the active instruction set; the VNNI sets differ only in the 8-bit
// product, which the kernel chooses itself.
#define KORVALEN_DISPATCH_KERNEL(kernel)                            \
    IterationOutcome kernel(const KernelOutputTamper* tamper)       \
    {                                                               \
        switch (activeInstructionSet()) {                           \
        case InstructionSet::avx512Vnni:                            \
        case InstructionSet::avx512: return avx512::kernel(tamper); \
        case InstructionSet::avxVnni:                               \
        case InstructionSet::avx2: return avx2::kernel(tamper);     \
        case InstructionSet::baseline: break;                       \
        }                                                           \
        return baseline::kernel(tamper);                            \
    }
KORVALEN_CPU_KERNELS(KORVALEN_DISPATCH_KERNEL)
#undef KORVALEN_DISPATCH_KERNEL

#define KORVALEN_BASELINE_KERNEL(kernel)                      \
    IterationOutcome kernel(const KernelOutputTamper* tamper) \
    {                                                         \
        return baseline::kernel(tamper);                      \
    }
KORVALEN_CPU_BASELINE_KERNELS(KORVALEN_BASELINE_KERNEL)
#undef KORVALEN_BASELINE_KERNEL

}  // namespace CPUKernels

CPUKernelIteration cpuKernelIteration(AIWorkloadID workload)
{
    using namespace CPUKernels;
    switch (workload) {
    case AIWorkloadID::superResolution: return &superResolutionIteration;
    case AIWorkloadID::textTokenization: return &textTokenizationIteration;
    case AIWorkloadID::ropeRMSNorm: return &ropeRMSNormIteration;
    case AIWorkloadID::transformerAttention: return &attentionIteration;
    case AIWorkloadID::diffusionDenoise: return &diffusionIteration;
    case AIWorkloadID::melSpectrogram: return &melSpectrogramIteration;
    case AIWorkloadID::noiseSuppression: return &noiseSuppressionIteration;
    case AIWorkloadID::matrixFP32: return &matrixFP32Iteration;
    case AIWorkloadID::matrixFP16: return &matrixFP16Iteration;
    case AIWorkloadID::matrixINT8: return &matrixINT8Iteration;
    case AIWorkloadID::convolution: return &convolutionIteration;
    case AIWorkloadID::softmaxLayerNorm: return &softmaxLayerNormIteration;
    case AIWorkloadID::tensorOperations: return &tensorOperationsIteration;
    case AIWorkloadID::fineTuningStep: return &fineTuningIteration;
    case AIWorkloadID::tensorAllocation: return &tensorAllocationIteration;
    case AIWorkloadID::kvCache: return &kvCacheIteration;
    default: return nullptr;
    }
}

}  // namespace korvalen
