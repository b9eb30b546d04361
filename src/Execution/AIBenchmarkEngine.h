#pragma once

#include "Execution/KernelMeasurement.h"
#include "Model/AIRecords.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvalen {

class BenchmarkCancellationToken;

// The engine of one run: made by the store with its cancellation token, the machine profile the run
// is planned and scored against, and the GPU the user selected (absent: the system default).
struct AIBenchmarkEngine {
    std::shared_ptr<BenchmarkCancellationToken> cancellation;
    AISystemProfile system;
    std::optional<std::uint64_t> selectedGPURegistryID;

    struct CalibrationStability {
        bool stable = false;
        std::string detail;
        bool operator==(const CalibrationStability&) const = default;
    };

    // Whether a brief measurement's latency samples are steady enough to let it compete.
    static CalibrationStability calibrationStability(const KernelMeasurement& measurement, AIWorkloadID workload);
    // Whether a brief measurement is well formed.
    static bool calibrationMeasurementIsValid(const KernelMeasurement& measurement);
};

}  // namespace korvalen
