#pragma once

#include "Model/SystemProfiler.h"

#include <filesystem>

namespace korvalen {

// Whether the model runtime completes a validated prediction of the vision model with the CPU and
// Neural Engine compute units. Never throws; the detail says why when it does not.
NeuralEngineProbeResult runNeuralEngineProbe(const std::filesystem::path& resourceDirectory);

// Makes SystemProfiler::neuralEngineProbe() run the probe above on the application's resources.
// Called once at start-up by the application (and by anything else that profiles the machine, such
// as the engine's tests) before the first profile is taken.
void installNeuralEngineProbe();

}  // namespace korvalen
