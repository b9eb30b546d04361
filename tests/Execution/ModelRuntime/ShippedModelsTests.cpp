// The generated models, read through the resource look-up as the application reads them.

#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"
#include "Platform/Compute/GpuDevices.h"
#include "Platform/Inference/Model.h"
#include "Platform/System/Resources.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvalen {
namespace {

using CoreMLBenchmarkRunner::makeInput;
using CoreMLBenchmarkRunner::validate;

TEST(ShippedModels, ManifestDescribesThreeModelsThatMatchTheirFolders)
{
    const auto manifest = CoreMLBenchmarkRunner::loadManifest();
    ASSERT_EQ(manifest.models.size(), 3u);
    for (const char* name : {"OlvaneVisionNet", "OlvaneLanguageNet", "OlvaneAudioNet"}) {
        SCOPED_TRACE(name);
        const auto entry = std::find_if(manifest.models.begin(), manifest.models.end(),
                                        [&](const auto& e) { return e.resource == name; });
        ASSERT_NE(entry, manifest.models.end());
        const auto folder = sys::resourcePath(name, "mlmodelc");
        ASSERT_TRUE(folder);
        const auto model = nn::Model::load(*folder, {nn::ComputeUnits::cpuOnly, std::nullopt});
        EXPECT_EQ(model.input().shape, std::vector<std::size_t>{std::size_t(entry->inputSize)});
        EXPECT_EQ(model.output().shape, std::vector<std::size_t>{std::size_t(entry->outputSize)});
        // Output sums well away from zero keep the relative checksum test meaningful.
        EXPECT_GT(std::abs(entry->checksum), 0.1 * double(entry->outputSize));
        const auto parameters = model.network().parameterCount();
        EXPECT_GT(parameters, 1'000'000u);
        EXPECT_LT(parameters, 10'000'000u);
    }
    EXPECT_EQ(manifest.models[0].inputSize, 1024);
    EXPECT_EQ(manifest.models[0].outputSize, 512);
    EXPECT_EQ(manifest.models[1].outputSize, 512);
}

TEST(ShippedModels, EveryFamilyPredictsWithinTheManifestTolerancesOnTheCpu)
{
    const auto manifest = CoreMLBenchmarkRunner::loadManifest();
    for (const auto& entry : manifest.models) {
        SCOPED_TRACE(entry.resource);
        const auto model =
            nn::Model::load(*sys::resourcePath(entry.resource, "mlmodelc"), {nn::ComputeUnits::cpuOnly, std::nullopt});
        EXPECT_EQ(model.executorName(), "CPU");
        nn::FeatureMap features;
        features.emplace("input", makeInput(entry));
        const auto outputs = model.predict(features);
        const auto result = validate(outputs.at("output"), entry);
        EXPECT_TRUE(result.valid);
        EXPECT_LT(result.checksumError, 1e-6);
        EXPECT_LT(result.l2Error, 1e-6);
        // Another seed gives another output: the reference is tied to the manifest's input.
        auto shifted = entry;
        shifted.seed += 1;
        nn::FeatureMap other;
        other.emplace("input", makeInput(shifted));
        EXPECT_NE(validate(model.predict(other).at("output"), entry).actualChecksum, result.actualChecksum);
    }
}

TEST(ShippedModels, EveryFamilyPredictsWithinTheManifestTolerancesOnTheGpu)
{
    if (gpu::deviceProvider().devices().empty()) {
        GTEST_SKIP() << "no OpenCL device on this machine";
    }
    const auto manifest = CoreMLBenchmarkRunner::loadManifest();
    for (const auto& entry : manifest.models) {
        SCOPED_TRACE(entry.resource);
        const auto folder = *sys::resourcePath(entry.resource, "mlmodelc");
        const auto gpuModel = nn::Model::load(folder, {nn::ComputeUnits::cpuAndGPU, std::nullopt});
        ASSERT_EQ(gpuModel.executorName().rfind("GPU ", 0), 0u) << gpuModel.executorName();
        nn::FeatureMap features;
        features.emplace("input", makeInput(entry));
        const auto gpuOutput = gpuModel.predict(features).at("output");
        const auto result = validate(gpuOutput, entry);
        EXPECT_TRUE(result.valid);
        // Far inside the manifest's tolerances: only the order of the sums differs from the CPU.
        EXPECT_LT(result.checksumError, 1e-4);
        EXPECT_LT(result.l2Error, 1e-4);
        const auto cpuOutput =
            nn::Model::load(folder, {nn::ComputeUnits::cpuOnly, std::nullopt}).predict(features).at("output");
        double largest = 0;
        for (std::size_t i = 0; i < cpuOutput.count(); ++i) {
            largest = std::max(largest, std::abs(gpuOutput.value(i) - cpuOutput.value(i)));
        }
        EXPECT_LT(largest, 1e-3);
        // `all` takes the GPU when there is one.
        EXPECT_EQ(nn::Model::load(folder, {nn::ComputeUnits::all, std::nullopt}).executorName(),
                  gpuModel.executorName());
    }
}

}  // namespace
}  // namespace korvalen
