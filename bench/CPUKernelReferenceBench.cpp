// CPU kernels against references for the same work, side by side in alternated rounds; each ratio
// is printed as its median with the range over rounds (ours / reference, higher is better):
//   1. matrixINT8: the whole iteration (inputs, product, check, checksum) against a direct AVX-512
//      VNNI product of the same 128 x 128 matrices on kept inputs with B packed beforehand (the
//      instruction's own rate on this product); per VNNI set the processor has;
//   2. convolution: the iteration against the same iteration with its stencil built -march=native;
//   3. matrixFP32 and matrixFP16 through the CPU runner against an 8-thread sgemm of the same size on
//      kept buffers.
// Every side is timed by its fastest call (the runner's fastest iteration), the least disturbed by
// other work on a shared machine.
// Usage: CPUKernelReferenceBench [rounds, default 7] [seconds per side and round, default 0.3]

#include "Execution/CPU/AllocatorPolicy.h"
#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUInt8Product.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Execution/Shared/InstructionSet.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Inference/BlasThreading.h"

#include "BenchStatistics.h"
#include "ReferenceSgemm.h"

#include <cblas.h>
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace korvalen;

namespace korvalen::CPUKernels::native {
IterationOutcome convolutionIteration(const KernelOutputTamper* tamper = nullptr);
}

namespace {

// Ours / reference per round, and each side's rate (calls or work units per second).
struct Ratios {
    std::vector<double> values, ours, references;
    void add(double our, double reference)
    {
        ours.push_back(our);
        references.push_back(reference);
        values.push_back(our / reference);
    }
    void print(const std::string& what, double unitsToMicroseconds) const
    {
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        std::printf("  %-58s %.3f  (%.3f - %.3f)   %.1f vs %.1f us\n", what.c_str(), korvalen::bench::median(values),
                    *low, *high, unitsToMicroseconds / korvalen::bench::median(ours),
                    unitsToMicroseconds / korvalen::bench::median(references));
        std::fflush(stdout);
    }
};

// The reference: C = A x B with AVX-512 VNNI, B packed once (lane j of quad q holds B[4q..4q+3][j]
// + 128), one row of C at a time in eight accumulators, A's four bytes broadcast.
struct DirectVnni {
    static constexpr int n = 128;
    std::vector<std::int8_t> a = std::vector<std::int8_t>(n * n), b = std::vector<std::int8_t>(n * n);
    std::vector<std::uint32_t> packed = std::vector<std::uint32_t>(n * n / 4 * 4);
    std::vector<std::int32_t> c = std::vector<std::int32_t>(n * n);

    DirectVnni()
    {
        fillDeterministicBytes(a, 6'776);
        fillDeterministicBytes(b, 6'776 + SplitMix64::gamma * a.size());
        for (int q = 0; q < n / 4; ++q)
            for (int j = 0; j < n; ++j) {
                std::uint32_t lane = 0;
                for (int r = 0; r < 4; ++r)
                    lane |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[(4 * q + r) * n + j] + 128))
                            << (8 * r);
                packed[q * n + j] = lane;
            }
    }

    [[gnu::target("avx512f,avx512bw,avx512vnni")]] void multiply()
    {
        for (int i = 0; i < n; ++i) {
            const std::int8_t* row = a.data() + i * n;
            int sum = 0;
            for (int k = 0; k < n; ++k) sum += row[k];
            __m512i acc[8];
            for (__m512i& v : acc) v = _mm512_set1_epi32(-128 * sum);
            for (int q = 0; q < n / 4; ++q) {
                std::int32_t four;
                std::memcpy(&four, row + 4 * q, 4);
                const __m512i av = _mm512_set1_epi32(four);
                for (int v = 0; v < 8; ++v)
                    acc[v] = _mm512_dpbusd_epi32(acc[v], _mm512_loadu_si512(packed.data() + q * n + 16 * v), av);
            }
            for (int v = 0; v < 8; ++v) _mm512_storeu_si512(c.data() + i * n + 16 * v, acc[v]);
        }
    }
};

double sgemmRate(int n, int threads, double seconds)
{
    const double calls = bench::referenceSgemmCalls(n, threads, seconds);
    return calls * 2.0 * n * n * n / 1e12;
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0.3;
    nn::BlasThreading::applyPolicy();
    AllocatorPolicy::apply();  // as the runner does: kept blocks, no page faults per iteration
    std::printf("widest instruction set: %s; %d rounds of %.2f s a side\n",
                std::string(rawValue(widestInstructionSet())).c_str(), rounds, seconds);

    // 1. matrixINT8.
    if (processorSupports(InstructionSet::avx512Vnni)) {
        DirectVnni direct;
        direct.multiply();
        Ratios avx512, avx;
        for (int round = 0; round < rounds; ++round) {
            const double reference = bench::fastestRate([&] { direct.multiply(); }, seconds);
            {
                const ScopedInstructionSet forced(InstructionSet::avx512Vnni);
                avx512.add(bench::fastestRate([] { (void)CPUKernels::matrixINT8Iteration(); }, seconds), reference);
            }
            if (processorSupports(InstructionSet::avxVnni)) {
                const ScopedInstructionSet forced(InstructionSet::avxVnni);
                avx.add(bench::fastestRate([] { (void)CPUKernels::matrixINT8Iteration(); }, seconds), reference);
            }
        }
        avx512.print("matrixINT8 iteration (avx512-vnni) / direct VNNI product", 1e6);
        // Where the iteration's time goes, measured the same way.
        std::vector<std::int8_t> bytes(2 * 128 * 128);
        std::vector<std::int32_t> product(128 * 128);
        std::vector<double> fill, multiply, reference;
        for (int round = 0; round < rounds; ++round) {
            fill.push_back(1e6 / bench::fastestRate([&] { fillDeterministicBytes(bytes, 6'776); }, seconds / 3));
            multiply.push_back(1e6 / bench::fastestRate(
                                         [&] {
                                             CPUInt8Product::multiplyAvx512Vnni(bytes.data(), bytes.data() + 16'384,
                                                                                product.data(), 128);
                                         },
                                         seconds / 3));
            reference.push_back(1e6 / bench::fastestRate([&] { direct.multiply(); }, seconds / 3));
        }
        std::printf("    of which: input fill %.1f us, packed VNNI product %.1f us; direct product %.1f us\n",
                    korvalen::bench::median(fill), korvalen::bench::median(multiply),
                    korvalen::bench::median(reference));
        if (!avx.values.empty()) avx.print("matrixINT8 iteration (avx-vnni) / direct VNNI product", 1e6);
    } else {
        std::printf("  matrixINT8: no AVX-512 VNNI here, no reference\n");
    }

    // 2. convolution.
    {
        if (CPUKernels::native::convolutionIteration().checksum != CPUKernels::convolutionIteration().checksum)
            std::printf("  convolution: the native reference's checksum differs!\n");
        Ratios ratios;
        for (int round = 0; round < rounds; ++round) {
            const double reference =
                bench::fastestRate([] { (void)CPUKernels::native::convolutionIteration(); }, seconds);
            ratios.add(bench::fastestRate([] { (void)CPUKernels::convolutionIteration(); }, seconds), reference);
        }
        ratios.print("convolution iteration / the same, stencil -march=native", 1e6);
    }

    // 3. matrixFP32 and matrixFP16 in the runner.
    for (const auto& [id, n] : {std::pair{AIWorkloadID::matrixFP32, 384}, std::pair{AIWorkloadID::matrixFP16, 320}}) {
        const AIWorkloadDefinition& workload = AIWorkloadCatalog::definitions().at(id);
        Ratios ratios;
        for (int round = 0; round < rounds; ++round) {
            const double reference = sgemmRate(n, 8, seconds);
            BenchmarkCancellationToken token;
            // The runner's fastest iteration, in the same unit (TFLOP/s).
            const KernelMeasurement m = CPUBenchmarkRunner::runTimed(workload, seconds, token);
            const double fastestMS = *std::min_element(m.latencySamplesMS.begin(), m.latencySamplesMS.end());
            ratios.add(m.workUnits / m.iterations / (fastestMS / 1000.0), reference);
        }
        ratios.print(std::string(rawValue(id)) + " in the runner / 8-thread sgemm " + std::to_string(n) + "^3",
                     2.0 * n * n * n / 1e6);
    }
    return 0;
}
