#pragma once

// Pieces the model runners share; internal to the Core ML runner's sources.

#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"
#include "Execution/Shared/TimedLoop.h"
#include "Model/AIBenchmarkError.h"

#include <string>

namespace korvalen::CoreMLRunnerSupport {

inline nn::Model loadModel(const CoreMLRunnerEnvironment& environment, const std::filesystem::path& folder,
                           const nn::ModelConfiguration& configuration)
{
    return environment.loadModel ? environment.loadModel(folder, configuration)
                                 : nn::Model::load(folder, configuration);
}

// The {"input": input} features every prediction of a run is fed.
inline nn::FeatureMap inputFeatures(const CoreMLModelEntry& entry)
{
    nn::FeatureMap features;
    features.emplace(std::string(CoreMLBenchmarkRunner::inputFeatureName), CoreMLBenchmarkRunner::makeInput(entry));
    return features;
}

// Predicts and takes the "output" tensor; without one, throws invalidOutput with `missingDetail`.
inline nn::MultiArray predictOutput(const nn::Model& model, const nn::FeatureMap& features, const char* missingDetail)
{
    nn::FeatureMap outputs = model.predict(features);
    const auto found = outputs.find(CoreMLBenchmarkRunner::outputFeatureName);
    if (found == outputs.end()) {
        throw AIBenchmarkError::invalidOutput(missingDetail);
    }
    return std::move(found->second);
}

}  // namespace korvalen::CoreMLRunnerSupport
