// The OpenBLAS threading policy side by side in one run:
//  - matrixFP32's and matrixFP16's iterations against an sgemm of the same size on OpenBLAS's whole
//    pool (the pool it started with), fastest call of each, alternated round by round;
//  - matrixFP32 and matrixFP16 through the CPU runner with every product on the calling thread
//    and with large products on several threads (the policy), alternated so that both see the same
//    machine load;
//  - an OpenCL workload on pocl measured alone, right after matrixFP32 on several threads and right
//    after it on the calling thread, to show the idle threads leave the OpenCL CPU device its cores.
// Usage: CPUBlasPolicyBench [seconds per measurement, default 2]
// OPENBLAS_CORETYPE (Zen, Haswell, SkylakeX, ...) forces another processor's kernel.

#include "Execution/CPU/AllocatorPolicy.h"
#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/GPU/MetalBenchmarkRunner.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Compute/GpuDevices.h"
#include "Platform/Inference/BlasThreading.h"

#include "BenchStatistics.h"
#include "ReferenceSgemm.h"

#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <fcntl.h>

using namespace korvalen;

namespace {

using korvalen::bench::fastestRate;
using korvalen::bench::median;

double cpuThroughput(AIWorkloadID id, double seconds, int poolLimit)
{
    nn::BlasThreading::setLargeProductThreadLimit(poolLimit);
    BenchmarkCancellationToken token;
    return CPUBenchmarkRunner::runTimed(AIWorkloadCatalog::definitions().at(id), seconds, token).throughput;
}

// The reference: one n x n x n sgemm on `threads` OpenBLAS threads.
double sgemmRate(int n, int threads, double seconds)
{
    return bench::referenceSgemmCalls(n, threads, seconds);
}

}  // namespace

extern "C" char* openblas_get_corename(void);

int main(int argc, char** argv)
{
    static const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    KorvalenAILogger::setOutputFileDescriptor(quiet);
    KorvalenAILogger::setSystemLogSink([](const KorvalenAILogger::SystemLogEntry&) {});
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int pool = openblas_get_num_threads();
    nn::BlasThreading::applyPolicy();
    AllocatorPolicy::apply();  // as the runner does

    std::printf("OpenBLAS core %s, pool of %d threads\n", openblas_get_corename(), pool);
    std::printf("Iteration / %d-thread sgemm of the same size, fastest call of each in 5 alternated rounds\n", pool);
    const struct {
        const char* name;
        CPUKernelIteration kernel;
        int n;
    } products[] = {{"matrixFP32", &CPUKernels::matrixFP32Iteration, 384},
                    {"matrixFP16", &CPUKernels::matrixFP16Iteration, 320}};
    for (const auto& product : products) {
        double iteration = 0, sgemm = 0;
        for (int round = 0; round < 5; ++round) {
            iteration = std::max(iteration, fastestRate([&] { (void)product.kernel(nullptr); }, seconds / 2));
            sgemm = std::max(sgemm, sgemmRate(product.n, pool, seconds / 2));
        }
        std::printf("  %-12s %d threads: iteration %.1f us, sgemm %.1f us: ratio %.2f\n", product.name,
                    nn::BlasThreading::productThreadCount(product.n, product.n, product.n), 1e6 / iteration,
                    1e6 / sgemm, iteration / sgemm);
    }

    std::printf("CPU throughput, best of 3 alternated rounds (%.1f s each)\n", seconds);
    for (const AIWorkloadID id : {AIWorkloadID::matrixFP32, AIWorkloadID::matrixFP16}) {
        double single = 0, pool = 0;
        for (int round = 0; round < 3; ++round) {
            single = std::max(single, cpuThroughput(id, seconds, 1));
            pool = std::max(pool, cpuThroughput(id, seconds, 1 << 20));
        }
        std::printf("  %-12s calling thread %.4f, policy %.4f: ratio %.2f\n", std::string(rawValue(id)).c_str(), single,
                    pool, pool / single);
    }

    const auto devices = gpu::deviceProvider().devices();
    const auto device = devices.empty() ? nullptr : gpu::openDevice(devices.front());
    if (!device) {
        std::printf("No OpenCL device: the pocl comparison is skipped\n");
        return 0;
    }
    MetalKernelContext context(device);
    const AIWorkloadDefinition& gpuWorkload = AIWorkloadCatalog::definitions().at(AIWorkloadID::matrixFP32);
    const auto gpuThroughput = [&] {
        BenchmarkCancellationToken token;
        return MetalBenchmarkRunner::run(gpuWorkload, context, seconds, token).throughput;
    };
    (void)gpuThroughput();  // builds the programs
    // The OpenCL figure moves by a few percent from one run to the next, so each round also measures
    // it after the product on the calling thread alone: what several threads leave behind is the
    // difference.
    std::vector<double> alone, afterPool, afterCallingThread;
    for (int round = 0; round < 6; ++round) {
        alone.push_back(gpuThroughput());
        (void)cpuThroughput(AIWorkloadID::matrixFP32, seconds, 1 << 20);
        afterPool.push_back(gpuThroughput());
        (void)cpuThroughput(AIWorkloadID::matrixFP32, seconds, 1);
        afterCallingThread.push_back(gpuThroughput());
    }
    std::printf(
        "OpenCL %s, median of 6 rounds: alone %.4f; right after CPU matrixFP32 on several threads %.4f (ratio "
        "%.3f), "
        "on the calling thread %.4f (ratio %.3f)\n",
        std::string(rawValue(AIWorkloadID::matrixFP32)).c_str(), median(alone), median(afterPool),
        median(afterPool) / median(alone), median(afterCallingThread), median(afterCallingThread) / median(alone));
    return 0;
}
