#pragma once

#include "Execution/CoreMLModelManifest.h"
#include "Platform/Inference/ModelConfiguration.h"
#include "Platform/Inference/MultiArray.h"

#include <string_view>

namespace korvalen {

// Outcome of checking a model output against its manifest entry.
struct CoreMLValidation {
    bool valid = false;
    double actualChecksum = 0;
    double checksumError = 1;
    double l2Error = 1;
};

namespace CoreMLBenchmarkRunner {

// The name of the input feature and of the output feature every shipped model has.
inline constexpr std::string_view inputFeatureName = "input";
inline constexpr std::string_view outputFeatureName = "output";

// The deterministic model input of an entry: shape [inputSize], element i =
// sin(a·0.013 + i·0.017) + 0.5·cos(b·0.019 + i·0.007) in single precision, a = seed mod 97 and
// b = seed mod 53 with the sign of the seed. Depends only on seed and inputSize.
nn::MultiArray makeInput(const CoreMLModelEntry& entry);

// Element count, checksum and L2 relative errors, leading-sample tolerance and finiteness.
CoreMLValidation validate(const nn::MultiArray& output, const CoreMLModelEntry& entry);

// "CPU Only", "CPU + GPU", "All Available", "CPU + Neural Engine", "Unknown".
std::string_view computeUnitsLabel(nn::ComputeUnits units);

}  // namespace CoreMLBenchmarkRunner

}  // namespace korvalen
