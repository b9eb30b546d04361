#include "Platform/Inference/Model.h"

#include "Platform/Inference/CompiledModel.h"
#include "Platform/Inference/InferenceError.h"

namespace korvalen::nn {

Model Model::load(const std::filesystem::path& folder, const ModelConfiguration& configuration)
{
    // The configuration is refused before any file is touched.
    checkConfiguration(configuration);
    auto network = std::make_shared<const Network>(readCompiledModel(folder));

    Model model;
    model.configuration_ = configuration;
    model.input_ = {network->inputName, {network->inputSize}};
    model.output_ = {network->outputName, {network->outputSize}};
    model.executor_ = makeExecutor(network, configuration);
    model.network_ = std::move(network);
    return model;
}

FeatureMap Model::predict(const FeatureMap& features) const
{
    const auto found = features.find(input_.name);
    if (found == features.end()) {
        std::string provided;
        for (const auto& [name, value] : features) {
            provided += provided.empty() ? "\"" : ", \"";
            provided += name + "\"";
        }
        throw Error(Error::Code::invalidInput,
                    "The model " + network_->name + " requires the input feature \"" + input_.name +
                        "\", which was not provided" +
                        (provided.empty() ? std::string(" (no features were given).") : " (given: " + provided + ")."));
    }
    const MultiArray& input = found->second;
    if (input.shape() != input_.shape) {
        throw Error(Error::Code::invalidInput, "The input feature \"" + input_.name + "\" has shape " +
                                                   shapeText(input.shape()) + " but the model " + network_->name +
                                                   " expects " + shapeText(input_.shape) + ".");
    }

    MultiArray output(output_.shape);
    executor_->run(input.values(), output.values());
    FeatureMap result;
    result.emplace(output_.name, std::move(output));
    return result;
}

}  // namespace korvalen::nn
