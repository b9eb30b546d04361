#include "Execution/CoreMLBenchmarkRunner.h"

#include <algorithm>
#include <cmath>

namespace korvalen::CoreMLBenchmarkRunner {

nn::MultiArray makeInput(const CoreMLModelEntry& entry)
{
    // A size below 1 (which the manifest rules already refuse) makes the allocation itself fail.
    nn::MultiArray input({entry.inputSize < 1 ? std::size_t(0) : std::size_t(entry.inputSize)});
    // C++ remainder takes the sign of the dividend, as the input's definition requires.
    const float a = float(entry.seed % 97);
    const float b = float(entry.seed % 53);
    const float phaseA = a * 0.013f;
    const float phaseB = b * 0.019f;
    auto values = input.values();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float index = float(i);
        values[i] = std::sin(phaseA + index * 0.017f) + 0.5f * std::cos(phaseB + index * 0.007f);
    }
    return input;
}

CoreMLValidation validate(const nn::MultiArray& output, const CoreMLModelEntry& entry)
{
    const std::size_t count = output.count();
    if (std::int64_t(count) != entry.outputSize) {
        return {false, 0, 1, 1};
    }
    double sum = 0;
    double squares = 0;
    bool allFinite = true;
    for (std::size_t i = 0; i < count; ++i) {
        const double value = output.value(i);
        sum += value;
        squares += value * value;
        allFinite = allFinite && std::isfinite(value);
    }
    const double checksumError = std::abs(sum - entry.checksum) / std::max(std::abs(entry.checksum), 1e-6);
    const double l2Error = std::abs(std::sqrt(squares) - entry.l2Norm) / std::max(std::abs(entry.l2Norm), 1e-6);
    bool samplesMatch = true;
    for (std::size_t i = 0; i < entry.sample.size() && i < count; ++i) {
        const double reference = entry.sample[i];
        // Written so that a NaN fails the test.
        if (!(std::abs(output.value(i) - reference) / std::max(std::abs(reference), 0.05) < 0.12)) {
            samplesMatch = false;
        }
    }
    const bool valid = allFinite && checksumError < 0.1 && l2Error < 0.08 && samplesMatch;
    return {valid, sum, checksumError, l2Error};
}

std::string_view computeUnitsLabel(nn::ComputeUnits units)
{
    switch (units) {
    case nn::ComputeUnits::cpuOnly: return "CPU Only";
    case nn::ComputeUnits::cpuAndGPU: return "CPU + GPU";
    case nn::ComputeUnits::all: return "All Available";
    case nn::ComputeUnits::cpuAndNeuralEngine: return "CPU + Neural Engine";
    }
    return "Unknown";
}

}  // namespace korvalen::CoreMLBenchmarkRunner
