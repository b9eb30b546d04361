#pragma once

#include "Model/AIRecords.h"
#include "Platform/Foundation/Date.h"

#include <optional>
#include <string>
#include <vector>

namespace korvalen {

// Raw outcome of one timed run of one workload on one backend: the contract between the runners
// and scoring. A plain value; scoring validates it and never trusts it.
struct KernelMeasurement {
    Date startedAt{};
    double wallSeconds = 0;  // elapsed time of the timed phase
    int iterations = 0;      // timed iterations (or batches)
    double workUnits = 0;    // total work of the timed phase, in the throughput unit times seconds
    double throughput = 0;   // workUnits / elapsed seconds
    std::string throughputUnit;
    std::vector<double> latencySamplesMS;  // one per timed iteration, in the order measured
    AIMemoryStats memory;                  // resident size of the process, MiB
    double accuracy = 0;                   // agreement with the reference, 0 to 1
    double checksum = 0;
    std::vector<std::string> details;
    std::optional<double> retention;  // percent; only the sustained runners report it
    std::vector<std::string> thermalStateSamples;
};

// True when the measurement meets every invariant a runner promises: accuracy in range, positive
// finite timing and work, throughput consistent with work over wall time, finite checksum, sound
// memory figures, a positive retention when present, and a non-empty list of positive samples.
bool isWellFormed(const KernelMeasurement& measurement);

}  // namespace korvalen
