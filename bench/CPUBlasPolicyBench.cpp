// The OpenBLAS threading policy side by side in one run:
//  - matrixFP32 and matrixFP16 through the CPU runner with every product on the calling thread
//    (the earlier policy) and with large products on OpenBLAS's pool, alternated so that both see
//    the same machine load;
//  - an OpenCL workload on pocl measured alone, right after matrixFP32 on the pool and right after
//    it on the calling thread, to show the pool's idle threads leave the OpenCL CPU device its cores.
// Usage: CPUBlasPolicyBench [seconds per measurement, default 2]

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/GPU/MetalBenchmarkRunner.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Compute/GpuDevices.h"
#include "Platform/Inference/BlasThreading.h"

#include "BenchStatistics.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>

using namespace korvalen;

namespace {

using korvalen::bench::median;

double cpuThroughput(AIWorkloadID id, double seconds, int poolLimit)
{
    nn::BlasThreading::setLargeProductThreadLimit(poolLimit);
    BenchmarkCancellationToken token;
    return CPUBenchmarkRunner::runTimed(AIWorkloadCatalog::definitions().at(id), seconds, token).throughput;
}

}  // namespace

int main(int argc, char** argv)
{
    static const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    KorvalenAILogger::setOutputFileDescriptor(quiet);
    KorvalenAILogger::setSystemLogSink([](const KorvalenAILogger::SystemLogEntry&) {});
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    nn::BlasThreading::applyPolicy();

    std::printf("CPU throughput, best of 3 alternated rounds (%.1f s each)\n", seconds);
    for (const AIWorkloadID id : {AIWorkloadID::matrixFP32, AIWorkloadID::matrixFP16}) {
        double single = 0, pool = 0;
        for (int round = 0; round < 3; ++round) {
            single = std::max(single, cpuThroughput(id, seconds, 1));
            pool = std::max(pool, cpuThroughput(id, seconds, 1 << 20));
        }
        std::printf("  %-12s calling thread %.4f, pool %.4f: ratio %.2f\n", std::string(rawValue(id)).c_str(), single,
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
    // it after the product on the calling thread alone: what the pool leaves behind is the difference.
    std::vector<double> alone, afterPool, afterCallingThread;
    for (int round = 0; round < 6; ++round) {
        alone.push_back(gpuThroughput());
        (void)cpuThroughput(AIWorkloadID::matrixFP32, seconds, 1 << 20);
        afterPool.push_back(gpuThroughput());
        (void)cpuThroughput(AIWorkloadID::matrixFP32, seconds, 1);
        afterCallingThread.push_back(gpuThroughput());
    }
    std::printf(
        "OpenCL %s, median of 6 rounds: alone %.4f; right after CPU matrixFP32 on the pool %.4f (ratio %.3f), "
        "on the calling thread %.4f (ratio %.3f)\n",
        std::string(rawValue(AIWorkloadID::matrixFP32)).c_str(), median(alone), median(afterPool),
        median(afterPool) / median(alone), median(afterCallingThread), median(afterCallingThread) / median(alone));
    return 0;
}
