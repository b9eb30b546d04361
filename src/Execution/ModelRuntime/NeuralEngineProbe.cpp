#include "Execution/ModelRuntime/NeuralEngineProbe.h"

#include "Platform/Inference/CompiledModel.h"
#include "Platform/Inference/Model.h"
#include "Platform/System/Resources.h"

#include <cmath>
#include <exception>

namespace korvalen {

NeuralEngineProbeResult runNeuralEngineProbe(const std::filesystem::path& resourceDirectory)
{
    const auto folder = sys::resourcePath(resourceDirectory, "OlvaneVisionNet", nn::compiledModelExtension);
    if (!folder) {
        return {false, std::string(SystemProfiler::probeMissingModelDetail)};
    }
    try {
        const nn::Model model = nn::Model::load(*folder, {nn::ComputeUnits::cpuAndNeuralEngine, std::nullopt});
        nn::MultiArray input({1024});
        for (std::size_t i = 0; i < input.count(); ++i) {
            input[i] = std::sin(0.017f * float(i));
        }
        nn::FeatureMap features;
        features.emplace("input", std::move(input));
        const nn::FeatureMap outputs = model.predict(features);
        const auto output = outputs.find("output");
        if (output == outputs.end() || output->second.count() == 0 || !std::isfinite(output->second.value(0))) {
            return {false, "CPU + Neural Engine probe returned an invalid tensor"};
        }
        return {true,
                "CPU + Neural Engine configuration completed a validated prediction; unsupported operations may "
                "still execute on CPU"};
    } catch (const std::exception& error) {
        return {false, std::string("CPU + Neural Engine probe failed: ") + error.what()};
    }
}

void installNeuralEngineProbe()
{
    SystemProfiler::setNeuralEngineProbe([] { return runNeuralEngineProbe(sys::resourceDirectory()); });
}

}  // namespace korvalen
