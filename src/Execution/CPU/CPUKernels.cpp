#include "Execution/CPU/CPUKernels.h"

namespace korvalen {

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
