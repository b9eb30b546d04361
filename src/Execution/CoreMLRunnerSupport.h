#pragma once

// Pieces the model runners share; internal to the Core ML runner's sources.

#include "Execution/CoreMLBenchmarkRunner.h"
#include "Model/AIBenchmarkError.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/PeakMemoryTracker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

namespace korvalen::CoreMLBenchmarkRunner::detail {

inline void checkCancellation(const BenchmarkCancellationToken& cancellation)
{
    if (cancellation.isCancelled()) {
        throw AIBenchmarkError::cancelled();
    }
}

// The monotonic clock in seconds, or the one the environment hands in.
class Uptime {
public:
    explicit Uptime(const CoreMLRunnerEnvironment& environment) : clock_(environment.uptimeSeconds) {}

    double operator()() const
    {
        if (clock_) {
            return clock_();
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }

private:
    std::function<double()> clock_;
};

inline nn::Model loadModel(const CoreMLRunnerEnvironment& environment, const std::filesystem::path& folder,
                           const nn::ModelConfiguration& configuration)
{
    return environment.loadModel ? environment.loadModel(folder, configuration) : nn::Model::load(folder, configuration);
}

// The {"input": input} features every prediction of a run is fed.
inline nn::FeatureMap inputFeatures(const CoreMLModelEntry& entry)
{
    nn::FeatureMap features;
    features.emplace(std::string(inputFeatureName), makeInput(entry));
    return features;
}

// Predicts and takes the "output" tensor; without one, throws invalidOutput with `missingDetail`.
inline nn::MultiArray predictOutput(const nn::Model& model, const nn::FeatureMap& features, const char* missingDetail)
{
    nn::FeatureMap outputs = model.predict(features);
    const auto found = outputs.find(outputFeatureName);
    if (found == outputs.end()) {
        throw AIBenchmarkError::invalidOutput(missingDetail);
    }
    return std::move(found->second);
}

// max(scale × base, minimum) seconds; a scale that is not a number gives the minimum.
inline double targetSeconds(double durationScale, double baseDuration, double minimum)
{
    const double target = durationScale * baseDuration;
    return std::isnan(target) ? minimum : std::max(target, minimum);
}

// Timed iterations from `loopStart`: each checks cancellation, runs `body` between two clock
// readings, records that interval in milliseconds, counts itself and samples the memory; the loop
// ends once `target` seconds have passed since `loopStart` and at least `minimumIterations` ran.
template <typename Body>
void timedIterations(KernelMeasurement& measurement, PeakMemoryTracker& tracker, const Uptime& uptime,
                     const BenchmarkCancellationToken& cancellation, double loopStart, double target,
                     int minimumIterations, Body&& body)
{
    for (;;) {
        checkCancellation(cancellation);
        const double ti = uptime();
        body();
        const double end = uptime();
        measurement.latencySamplesMS.push_back((end - ti) * 1000.0);
        ++measurement.iterations;
        tracker.sample();
        if (!(end - loopStart < target) && measurement.iterations >= minimumIterations) {
            break;
        }
    }
}

// Throughput from the work and wall time, the throughput unit and the memory figures.
inline void finishTiming(KernelMeasurement& measurement, const AIWorkloadDefinition& workload,
                         PeakMemoryTracker& tracker)
{
    measurement.throughput = measurement.workUnits / std::max(measurement.wallSeconds, 1e-6);
    measurement.throughputUnit = workload.throughputUnit;
    measurement.memory = tracker.finish();
}

}  // namespace korvalen::CoreMLBenchmarkRunner::detail
