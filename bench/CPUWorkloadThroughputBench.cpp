// Every timed CPU workload through the CPU runner, one line each: throughput and iterations. Built
// from two revisions and run alternately, it compares them on the same machine load.
// Usage: CPUWorkloadThroughputBench [seconds per workload, default 1]

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUKernels.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace korvalen;

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    for (const auto& [id, workload] : AIWorkloadCatalog::definitions()) {
        if (!cpuKernelIteration(id)) continue;
        BenchmarkCancellationToken token;
        const KernelMeasurement m = CPUBenchmarkRunner::runTimed(workload, seconds, token);
        std::printf("%-20s %14.6g %8d\n", std::string(rawValue(id)).c_str(), m.throughput, m.iterations);
        std::fflush(stdout);
    }
    return 0;
}
