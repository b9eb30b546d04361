// Prints every CPU kernel's checksum as exact bits for each instruction set the processor has,
// forced in turn, and fails unless every set gives the same bits: a faster build of the kernels is
// proved bit-identical by running it before and after a change and comparing the outputs.
// Usage: CPUKernelChecksums [threads for large products] [set ...]   (sets by name, default every
// supported one: baseline avx2 avx-vnni avx512 avx512-vnni). OPENBLAS_CORETYPE forces another
// processor's OpenBLAS kernel; the bits are the same whatever the thread count.

#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/InstructionSet.h"

#include <cblas.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace korvalen;

int main(int argc, char** argv)
{
    int first = 1;
    if (argc > 1 && std::atoi(argv[1]) > 0) openblas_set_num_threads(std::atoi(argv[first++]));
    std::vector<InstructionSet> sets;
    for (int i = first; i < argc; ++i) {
        const auto set = instructionSetFromRaw(argv[i]);
        if (!set) {
            std::fprintf(stderr, "unknown instruction set %s\n", argv[i]);
            return 2;
        }
        sets.push_back(*set);
    }
    if (sets.empty())
        for (InstructionSet set : allInstructionSets) sets.push_back(set);

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
    int failed = 0, differing = 0;
    std::map<std::string, std::uint64_t> firstBits;
    for (InstructionSet set : sets) {
        if (!processorSupports(set)) {
            std::printf("== %s: not on this processor, skipped\n", std::string(rawValue(set)).c_str());
            continue;
        }
        std::printf("== %s\n", std::string(rawValue(set)).c_str());
        const ScopedInstructionSet forced(set);
        for (const auto& [name, kernel] : kernels) {
            // Twice: the second call runs on whatever the first left behind (kept buffers, warm pools).
            for (int pass = 0; pass < 2; ++pass) {
                const IterationOutcome outcome = kernel(nullptr);
                if (!outcome.passed) ++failed;
                const auto bits = std::bit_cast<std::uint64_t>(outcome.checksum);
                const auto [known, inserted] = firstBits.emplace(name, bits);
                if (!inserted && known->second != bits) ++differing;
                std::printf("%-18s %016llx %.17g %s%s\n", name, static_cast<unsigned long long>(bits), outcome.checksum,
                            outcome.passed ? "passed" : "FAILED", !inserted && known->second != bits ? " DIFFERS" : "");
            }
        }
    }
    std::printf("%s\n", differing == 0 ? "every set gives the same bits" : "some sets differ");
    return failed == 0 && differing == 0 ? 0 : 1;
}
