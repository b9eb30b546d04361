// Every timed CPU workload through the CPU runner, one line each: throughput and iterations; then
// thread scaling and the memory ladder, which measure threads and memory themselves (duration scale
// 1). Built from two revisions and run alternately, it compares them on the same machine load.
// Usage: CPUWorkloadThroughputBench [seconds per workload, default 1] [workload or instruction set ...]
// (default every workload on the widest set; a set's name, such as avx2, forces that set)

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/InstructionSet.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace korvalen;

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::vector<std::string> chosen;
    std::optional<ScopedInstructionSet> forced;
    for (int i = 2; i < argc; ++i) {
        if (const auto set = instructionSetFromRaw(argv[i])) {
            forced.emplace(*set);
        } else {
            chosen.emplace_back(argv[i]);
        }
    }
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
