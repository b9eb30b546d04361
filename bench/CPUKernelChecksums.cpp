// Prints every CPU kernel's checksum as exact bits, so a faster build of the harness around the
// kernels can be proved bit-identical: run it before and after a change and compare the outputs.
// Usage: CPUKernelChecksums [OpenBLAS thread count]

#include "Execution/CPU/CPUKernels.h"

#include <cblas.h>

#include <bit>
#include <cstdio>
#include <cstdlib>

using namespace korvalen;

int main(int argc, char** argv)
{
    if (argc > 1) openblas_set_num_threads(std::atoi(argv[1]));
    const struct {
        const char* name;
        CPUKernelIteration kernel;
    } kernels[] = {
        {"superResolution", &CPUKernels::superResolutionIteration},
        {"melSpectrogram", &CPUKernels::melSpectrogramIteration},
        {"noiseSuppression", &CPUKernels::noiseSuppressionIteration},
        {"diffusion", &CPUKernels::diffusionIteration},
        {"convolution", &CPUKernels::convolutionIteration},
        {"textTokenization", &CPUKernels::textTokenizationIteration},
        {"ropeRMSNorm", &CPUKernels::ropeRMSNormIteration},
        {"attention", &CPUKernels::attentionIteration},
        {"softmaxLayerNorm", &CPUKernels::softmaxLayerNormIteration},
        {"tensorOperations", &CPUKernels::tensorOperationsIteration},
        {"tensorAllocation", &CPUKernels::tensorAllocationIteration},
        {"kvCache", &CPUKernels::kvCacheIteration},
        {"matrixFP32", &CPUKernels::matrixFP32Iteration},
        {"matrixFP16", &CPUKernels::matrixFP16Iteration},
        {"matrixINT8", &CPUKernels::matrixINT8Iteration},
        {"fineTuning", &CPUKernels::fineTuningIteration},
    };
    int failed = 0;
    for (const auto& [name, kernel] : kernels) {
        // Twice: the second call runs on whatever the first left behind (kept buffers, warm pools).
        for (int pass = 0; pass < 2; ++pass) {
            const IterationOutcome outcome = kernel(nullptr);
            if (!outcome.passed) ++failed;
            std::printf("%-18s %016llx %.17g %s\n", name,
                        static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(outcome.checksum)),
                        outcome.checksum, outcome.passed ? "passed" : "FAILED");
        }
    }
    return failed == 0 ? 0 : 1;
}
