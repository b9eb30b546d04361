#pragma once

#include "Platform/Inference/Executor.h"
#include "Platform/Inference/ModelConfiguration.h"
#include "Platform/Inference/MultiArray.h"
#include "Platform/Inference/Network.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvalen::nn {

// One named feature of a model and the shape its tensor must have.
struct FeatureDescription {
    std::string name;
    std::vector<std::size_t> shape;
};

// A compiled model loaded for one configuration. Every load reads the folder again: nothing is
// cached between loads, because loading is itself measured.
class Model {
public:
    // Reads and checks the compiled model folder and builds the executor the configuration asks
    // for. Throws nn::Error: unsupportedComputeUnits, modelNotFound, invalidModel,
    // deviceUnavailable.
    static Model load(const std::filesystem::path& folder, const ModelConfiguration& configuration = {});

    // Runs one prediction. The features must include the model's input under its name, with
    // exactly its shape; other features are ignored. Returns the output feature. Throws
    // nn::Error(invalidInput) for a missing input or a wrong shape; safe to call from several
    // threads at once.
    FeatureMap predict(const FeatureMap& features) const;

    const FeatureDescription& input() const noexcept { return input_; }
    const FeatureDescription& output() const noexcept { return output_; }
    const ModelConfiguration& configuration() const noexcept { return configuration_; }
    const Network& network() const noexcept { return *network_; }
    std::string executorName() const { return executor_->name(); }

private:
    Model() = default;

    std::shared_ptr<const Network> network_;
    std::unique_ptr<Executor> executor_;
    ModelConfiguration configuration_;
    FeatureDescription input_;
    FeatureDescription output_;
};

}  // namespace korvalen::nn
