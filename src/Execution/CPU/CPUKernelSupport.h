#pragma once

// Helpers shared by the CPU kernel sources only.

#include "Execution/CPU/CPUKernels.h"

#include <cmath>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace korvalen::CPUKernelSupport {

inline bool allFinite(std::span<const float> values)
{
    for (float value : values)
        if (!std::isfinite(value)) return false;
    return true;
}

inline void tamperFloats(const KernelOutputTamper* tamper, std::span<float> values)
{
    if (tamper && tamper->floats) tamper->floats(values);
}

inline IterationOutcome outcome(double workUnits, double checksum, bool passed, std::string first, std::string second)
{
    IterationOutcome result;
    result.workUnits = workUnits;
    result.checksum = checksum;
    result.passed = passed;
    result.details.reserve(2);
    result.details.push_back(std::move(first));
    result.details.push_back(std::move(second));
    return result;
}

}  // namespace korvalen::CPUKernelSupport
