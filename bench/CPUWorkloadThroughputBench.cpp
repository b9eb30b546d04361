// Every timed CPU workload through the CPU runner, one line each: throughput and iterations; then
// thread scaling and the memory ladder, which measure threads and memory themselves (duration scale
// 1). Built from two revisions and run alternately, it compares them on the same machine load.
// Usage: CPUWorkloadThroughputBench [seconds per workload, default 1] [workload ...]   (default all)

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUKernels.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace korvalen;

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const std::vector<std::string> chosen(argv + std::min(argc, 2), argv + argc);
    for (const auto& [id, workload] : AIWorkloadCatalog::definitions()) {
        const std::string name(rawValue(id));
        if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), name) == chosen.end()) continue;
        const bool selfTimed = id == AIWorkloadID::threadScaling || id == AIWorkloadID::memoryPressure;
        if (!selfTimed && !cpuKernelIteration(id)) continue;
        BenchmarkCancellationToken token;
        const KernelMeasurement m = selfTimed ? CPUBenchmarkRunner::run(workload, 1.0, token)
                                              : CPUBenchmarkRunner::runTimed(workload, seconds, token);
        std::printf("%-20s %14.6g %8d\n", name.c_str(), m.throughput, m.iterations);
        std::fflush(stdout);
    }
    return 0;
}
