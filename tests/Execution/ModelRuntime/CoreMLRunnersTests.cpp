// The model runners on the generated models. A stepping clock stands in for the uptime clock, so
// every timed loop runs its minimum count and the suite stays fast.

#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"
#include "Execution/ModelRuntime/NeuralEngineProbe.h"
#include "Model/AIBenchmarkError.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/SystemProfiler.h"
#include "Platform/Compute/GpuDevices.h"
#include "Platform/Inference/CompiledModel.h"
#include "Platform/Inference/InferenceError.h"
#include "Platform/System/Resources.h"
#include "support/FakeClock.h"
#include "support/FixtureTree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <memory>

namespace korvalen {
namespace {

namespace Runner = CoreMLBenchmarkRunner;
using test::FixtureTree;

const AIWorkloadDefinition& workload(AIWorkloadID id)
{
    return AIWorkloadCatalog::definitions().at(id);
}

CoreMLRunnerEnvironment fastEnvironment()
{
    CoreMLRunnerEnvironment environment;
    environment.uptimeSeconds = testing::FakeClock(1.0);
    return environment;
}

const CoreMLModelEntry& entryFor(const CoreMLModelManifest& manifest, std::string_view resource)
{
    for (const auto& entry : manifest.models) {
        if (entry.resource == resource) {
            return entry;
        }
    }
    throw std::runtime_error("no manifest entry");
}

CoreMLRunnerEnvironment in(const std::filesystem::path& resources)
{
    CoreMLRunnerEnvironment environment;
    environment.resourceDirectory = resources;
    return environment;
}

// A resource folder with a manifest of our choosing and links to the generated models.
class ResourceFolder {
public:
    ResourceFolder(const CoreMLModelManifest& manifest, std::initializer_list<const char*> models)
    {
        tree_.write("ModelManifest.json", encodeModelManifest(manifest));
        for (const char* model : models) {
            const auto target = sys::resourcePath(model, "mlmodelc");
            std::filesystem::create_directory_symlink(*target, tree_.root() / (std::string(model) + ".mlmodelc"));
        }
    }
    const std::filesystem::path& path() const { return tree_.root(); }

private:
    FixtureTree tree_;
};

TEST(CoreMLRunContext, BuiltFromTheManifestAndTheBackend)
{
    const auto context =
        Runner::makeRunContext(workload(AIWorkloadID::speechRecognition), AIBackend::cpu, std::nullopt);
    EXPECT_EQ(context.family, CoreMLModelFamily::audio);
    EXPECT_EQ(context.entry.resource, "OlvaneAudioNet");
    EXPECT_EQ(context.entry, entryFor(context.manifest, "OlvaneAudioNet"));
    EXPECT_EQ(context.configuration.computeUnits, nn::ComputeUnits::cpuOnly);
    EXPECT_FALSE(context.configuration.preferredDevice);
    EXPECT_EQ(context.modelURL.filename(), "OlvaneAudioNet.mlmodelc");
}

TEST(CoreMLRunContext, Failures)
{
    const auto expectError = [](auto&& call, const std::string& text) {
        try {
            call();
            ADD_FAILURE() << "no error, expected " << text;
        } catch (const AIBenchmarkError& error) {
            EXPECT_EQ(error.errorDescription(), text);
        }
    };
    const auto& matrix = workload(AIWorkloadID::matrixFP32);
    expectError([&] { Runner::makeRunContext(matrix, AIBackend::cpu, std::nullopt); },
                "Unsupported backend: No Core ML graph is assigned to " + matrix.title);

    auto manifest = Runner::loadManifest();
    std::erase_if(manifest.models, [](const auto& e) { return e.resource == "OlvaneAudioNet"; });
    const ResourceFolder withoutAudio(manifest, {"OlvaneVisionNet", "OlvaneLanguageNet"});
    expectError(
        [&] {
            Runner::makeRunContext(workload(AIWorkloadID::audioClassification), AIBackend::cpu, std::nullopt,
                                   in(withoutAudio.path()));
        },
        "Core ML model manifest is invalid: No entry for OlvaneAudioNet");

    // The manifest is read before the model is looked for.
    const ResourceFolder withoutModels(Runner::loadManifest(), {});
    expectError(
        [&] {
            Runner::makeRunContext(workload(AIWorkloadID::imageClassification), AIBackend::cpu, std::nullopt,
                                   in(withoutModels.path()));
        },
        "Required Core ML model is missing: OlvaneVisionNet.mlmodelc");
    FixtureTree empty;
    expectError(
        [&] {
            Runner::makeRunContext(workload(AIWorkloadID::imageClassification), AIBackend::cpu, std::nullopt,
                                   in(empty.root()));
        },
        "Core ML model manifest is invalid: ModelManifest.json is missing");
}

class ListProvider : public gpu::DeviceProvider {
public:
    std::vector<gpu::DeviceInfo> list;
    std::vector<gpu::DeviceInfo> devices() override { return list; }
};

TEST(CoreMLRunContext, GpuBackendPrefersTheChosenOrDefaultDevice)
{
    auto provider = std::make_shared<ListProvider>();
    gpu::setDeviceProvider(provider);
    const auto& classification = workload(AIWorkloadID::imageClassification);

    // No device at all: no preference, and no error without a requested identifier.
    auto context = Runner::makeRunContext(classification, AIBackend::gpu, std::nullopt);
    EXPECT_EQ(context.configuration.computeUnits, nn::ComputeUnits::cpuAndGPU);
    EXPECT_FALSE(context.configuration.preferredDevice);
    EXPECT_FALSE(context.preferredDeviceName);

    gpu::DeviceInfo first;
    first.registryID = 11;
    first.name = "First GPU";
    gpu::DeviceInfo second = first;
    second.registryID = 22;
    second.name = "Second GPU";
    provider->list = {first, second};
    context = Runner::makeRunContext(classification, AIBackend::gpu, std::nullopt);
    EXPECT_EQ(context.configuration.preferredDevice, 11u);
    EXPECT_EQ(context.preferredDeviceName, "First GPU");
    context = Runner::makeRunContext(classification, AIBackend::gpu, 22);
    EXPECT_EQ(context.configuration.preferredDevice, 22u);
    EXPECT_EQ(context.preferredDeviceName, "Second GPU");
    // Other backends never prefer a device.
    EXPECT_FALSE(Runner::makeRunContext(classification, AIBackend::automatic, 22).configuration.preferredDevice);

    try {
        Runner::makeRunContext(classification, AIBackend::gpu, 33);
        ADD_FAILURE() << "an unknown GPU was accepted";
    } catch (const AIBenchmarkError& error) {
        EXPECT_EQ(error.kind(), AIBenchmarkError::Kind::metalUnavailable);
    }
    gpu::setDeviceProvider(nullptr);
}

TEST(CoreMLStandardInference, EveryRoutedWorkloadValidatesOnTheCpu)
{
    BenchmarkCancellationToken token;
    for (AIWorkloadID id :
         {AIWorkloadID::imageClassification, AIWorkloadID::objectDetection, AIWorkloadID::semanticSegmentation,
          AIWorkloadID::textEmbeddings, AIWorkloadID::llmPromptProcessing, AIWorkloadID::llmTokenGeneration,
          AIWorkloadID::speechRecognition, AIWorkloadID::audioClassification}) {
        const auto& definition = workload(id);
        SCOPED_TRACE(definition.title);
        const auto context = Runner::makeRunContext(definition, AIBackend::cpu, std::nullopt);
        const auto m = Runner::runStandardInference(definition, AIBackend::cpu, context, 0.0, token, fastEnvironment());
        EXPECT_TRUE(isWellFormed(m));
        EXPECT_EQ(m.accuracy, 1.0);
        EXPECT_EQ(m.iterations, 3);  // the clock passes the 0.35 s target at once
        EXPECT_EQ(m.latencySamplesMS, (std::vector<double>{1000, 1000, 1000}));
        EXPECT_EQ(m.workUnits, 3 * (id == AIWorkloadID::llmPromptProcessing ? 256
                                    : id == AIWorkloadID::speechRecognition ? 5
                                                                            : 1));
        EXPECT_DOUBLE_EQ(m.wallSeconds, 7.0);  // three iterations of two readings, then the end
        EXPECT_EQ(m.throughputUnit, definition.throughputUnit);
        ASSERT_EQ(m.details.size(), 7u);
        EXPECT_EQ(m.details[0], "Core ML model: " + context.entry.resource + " (" + context.entry.role + ")");
        EXPECT_EQ(m.details[1], "Compute units: CPU Only");
        EXPECT_EQ(m.details[2], "Accelerator policy: CPU Only");
        EXPECT_EQ(m.details[3], "Model load: 1000.00 ms");
        EXPECT_EQ(m.details[4].rfind("Output checksum relative error: 0.0000", 0), 0u) << m.details[4];
        EXPECT_EQ(m.details[5].rfind("Output L2 relative error: 0.0000", 0), 0u) << m.details[5];
        // The checksum is the output's own sum plus three identical post-processing results.
        const auto model = nn::Model::load(context.modelURL, context.configuration);
        nn::FeatureMap features;
        features.emplace("input", Runner::makeInput(context.entry));
        const auto output = model.predict(features).at("output");
        const double expected =
            3 * Runner::postProcess(id, output.values()) + Runner::validate(output, context.entry).actualChecksum;
        EXPECT_NEAR(m.checksum, expected, 1e-9 * std::max(1.0, std::abs(expected)));
    }
}

TEST(CoreMLStandardInference, DetailsNotesAndBackends)
{
    BenchmarkCancellationToken token;
    const auto& detection = workload(AIWorkloadID::objectDetection);
    auto context = Runner::makeRunContext(detection, AIBackend::gpu, std::nullopt);
    auto m = Runner::runStandardInference(detection, AIBackend::gpu, context, 0.0, token, fastEnvironment());
    EXPECT_EQ(m.accuracy, 1.0);
    EXPECT_EQ(m.details[1], "Compute units: CPU + GPU");
    EXPECT_EQ(m.details[2], "Preferred Metal device: " + context.preferredDeviceName.value_or("System default"));
    EXPECT_EQ(m.details[6], "Includes deterministic proposal sorting and NMS");

    context.preferredDeviceName.reset();
    context.configuration.preferredDevice.reset();
    m = Runner::runStandardInference(detection, AIBackend::gpu, context, 0.0, token, fastEnvironment());
    EXPECT_EQ(m.details[2], "Preferred Metal device: System default");

    const auto& segmentation = workload(AIWorkloadID::semanticSegmentation);
    context = Runner::makeRunContext(segmentation, AIBackend::automatic, std::nullopt);
    m = Runner::runStandardInference(segmentation, AIBackend::automatic, context, 0.0, token, fastEnvironment());
    EXPECT_EQ(m.details[2], "Accelerator policy: All Available");
    EXPECT_EQ(m.details[6], "Includes 64×64 mask-class projection");

    // This system has no Neural Engine: the load fails with the runtime's own error.
    const auto& classification = workload(AIWorkloadID::imageClassification);
    context = Runner::makeRunContext(classification, AIBackend::neuralEnginePreferred, std::nullopt);
    EXPECT_EQ(context.configuration.computeUnits, nn::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_THROW(Runner::runStandardInference(classification, AIBackend::neuralEnginePreferred, context, 0.0, token),
                 nn::Error);
}

TEST(CoreMLStandardInference, MinimumIterationsValidationAndFailures)
{
    BenchmarkCancellationToken token;
    const auto& classification = workload(AIWorkloadID::imageClassification);
    auto context = Runner::makeRunContext(classification, AIBackend::cpu, std::nullopt);

    // One prediction outlasting the whole target still leaves three timed iterations.
    CoreMLRunnerEnvironment slow;
    slow.uptimeSeconds = testing::FakeClock(60.0);
    EXPECT_EQ(Runner::runStandardInference(classification, AIBackend::cpu, context, 0.0, token, slow).iterations, 3);
    // Short predictions run until the 0.35 s target: 0.02 s per iteration (two readings).
    CoreMLRunnerEnvironment fine;
    fine.uptimeSeconds = testing::FakeClock(0.01);
    EXPECT_EQ(Runner::runStandardInference(classification, AIBackend::cpu, context, 0.0, token, fine).iterations, 18);

    // An output that misses its reference is a measurement with accuracy 0, not an error.
    auto wrong = context;
    wrong.entry.checksum *= 1.5;
    auto m = Runner::runStandardInference(classification, AIBackend::cpu, wrong, 0.0, token, fastEnvironment());
    EXPECT_EQ(m.accuracy, 0.0);
    EXPECT_EQ(m.details[4], "Output checksum relative error: 33.3333%");
    wrong = context;
    wrong.entry.outputSize += 1;
    m = Runner::runStandardInference(classification, AIBackend::cpu, wrong, 0.0, token, fastEnvironment());
    EXPECT_EQ(m.details[4], "Output checksum relative error: 100.0000%");
    EXPECT_EQ(m.details[5], "Output L2 relative error: 100.0000%");

    token.cancel();
    try {
        Runner::runStandardInference(classification, AIBackend::cpu, context, 0.0, token, fastEnvironment());
        ADD_FAILURE() << "a cancelled run completed";
    } catch (const AIBenchmarkError& error) {
        EXPECT_EQ(error.errorDescription(), "Benchmark cancelled.");
    }
}

TEST(CoreMLStandardInference, ModelWithoutTheOutputFeature)
{
    FixtureTree folder;
    nn::Network network;
    network.name = "Renamed";
    network.inputSize = 4;
    network.outputName = "logits";
    network.outputSize = 2;
    network.layers.push_back({4, 2, nn::Activation::linear, std::vector<float>(8, 0.5f), {0.0f, 1.0f}});
    nn::writeCompiledModel(folder.root() / "Renamed.mlmodelc", network);

    auto context = Runner::makeRunContext(workload(AIWorkloadID::imageClassification), AIBackend::cpu, std::nullopt);
    context.modelURL = folder.root() / "Renamed.mlmodelc";
    context.entry.inputSize = 4;
    context.entry.outputSize = 2;
    BenchmarkCancellationToken token;
    try {
        Runner::runStandardInference(workload(AIWorkloadID::imageClassification), AIBackend::cpu, context, 0.0, token,
                                     fastEnvironment());
        ADD_FAILURE() << "a model without \"output\" was measured";
    } catch (const AIBenchmarkError& error) {
        EXPECT_EQ(error.errorDescription(),
                  "Accuracy validation failed: Core ML did not return the expected output MLMultiArray");
    }
}

TEST(CoreMLModelLoading, AFailedLoadStillRecordsItsSample)
{
    const auto& loading = workload(AIWorkloadID::modelLoading);
    const auto context = Runner::makeRunContext(loading, AIBackend::cpu, std::nullopt);
    BenchmarkCancellationToken token;

    // 0.06 s per reading: each iteration takes 0.12 s, so the 0.4 s target needs four.
    CoreMLRunnerEnvironment environment;
    environment.uptimeSeconds = testing::FakeClock(0.06);
    int loads = 0;
    environment.loadModel = [&](const std::filesystem::path& folder, const nn::ModelConfiguration& configuration) {
        if (++loads == 3) {
            throw nn::Error(nn::Error::Code::invalidModel, "the weights went away");
        }
        return nn::Model::load(folder, configuration);
    };
    const auto m = Runner::runModelLoading(loading, context.modelURL, context.configuration, context.entry, 0.0, token,
                                           environment);
    EXPECT_EQ(loads, 4);
    EXPECT_EQ(m.iterations, 4);
    ASSERT_EQ(m.latencySamplesMS.size(), 4u);
    EXPECT_NEAR(m.latencySamplesMS[2], 60.0, 1e-9);
    EXPECT_EQ(m.accuracy, 0.0);
    EXPECT_EQ(m.workUnits, 4.0);
    // Only the three completed predictions add their output sums.
    EXPECT_NEAR(m.checksum, 3 * context.entry.checksum, 1e-4 * std::abs(context.entry.checksum));
    EXPECT_EQ(m.details[0], "Core ML compute units: CPU Only");

    // Every load refused (no Neural Engine here): still a measurement, never an error.
    auto refused = context.configuration;
    refused.computeUnits = nn::ComputeUnits::cpuAndNeuralEngine;
    const auto failed =
        Runner::runModelLoading(loading, context.modelURL, refused, context.entry, 0.0, token, fastEnvironment());
    EXPECT_EQ(failed.iterations, 2);
    EXPECT_EQ(failed.accuracy, 0.0);
    EXPECT_EQ(failed.checksum, 0.0);
    EXPECT_EQ(failed.details[0], "Core ML compute units: CPU + Neural Engine");
}

TEST(CoreMLModelLoading, FirstAndWarmTimes)
{
    const auto& loading = workload(AIWorkloadID::modelLoading);
    const auto context = Runner::makeRunContext(loading, AIBackend::cpu, std::nullopt);
    BenchmarkCancellationToken token;
    // Loop start 0; iteration 1 from 0 to 0.3; iteration 2 from 0.3 to 0.45, past the 0.4 s target.
    CoreMLRunnerEnvironment environment;
    environment.uptimeSeconds = testing::FakeClock(1.0, {0.0, 0.0, 0.3, 0.3, 0.45, 0.5});
    const auto m = Runner::runModelLoading(loading, context.modelURL, context.configuration, context.entry, 0.0, token,
                                           environment);
    EXPECT_EQ(m.iterations, 2);
    EXPECT_EQ(m.accuracy, 1.0);
    EXPECT_DOUBLE_EQ(m.wallSeconds, 0.5);
    EXPECT_DOUBLE_EQ(m.throughput, 4.0);
    EXPECT_EQ(m.details, (std::vector<std::string>{"Core ML compute units: CPU Only",
                                                   "First load + prediction: 300.00 ms", "Warm average: 150.00 ms"}));
    EXPECT_TRUE(isWellFormed(m));

    token.cancel();
    EXPECT_THROW(Runner::runModelLoading(loading, context.modelURL, context.configuration, context.entry, 0.0, token,
                                         fastEnvironment()),
                 AIBenchmarkError);
}

TEST(CoreMLBatchScaling, PassesPerScaleAndDetails)
{
    const auto& batch = workload(AIWorkloadID::batchScaling);
    const auto context = Runner::makeRunContext(batch, AIBackend::cpu, std::nullopt);
    BenchmarkCancellationToken token;
    for (const auto& [scale, repeats] : {std::pair{0.2, 1}, std::pair{1.0, 2}, std::pair{1.3, 3}}) {
        SCOPED_TRACE(scale);
        // One second per reading: every batch takes exactly one second.
        const auto m = Runner::runBatchScaling(batch, context.modelURL, context.configuration, context.entry, scale,
                                               token, fastEnvironment());
        EXPECT_EQ(m.iterations, 31 * repeats);
        EXPECT_EQ(m.workUnits, 31.0 * repeats);
        EXPECT_DOUBLE_EQ(m.wallSeconds, 5.0);
        EXPECT_EQ(m.accuracy, 1.0);
        EXPECT_NEAR(m.checksum, 31 * repeats * context.entry.checksum,
                    1e-4 * std::abs(31 * repeats * context.entry.checksum));
        ASSERT_EQ(m.latencySamplesMS.size(), 5u);
        EXPECT_DOUBLE_EQ(m.latencySamplesMS[0], 1000.0 / repeats);
        EXPECT_DOUBLE_EQ(m.latencySamplesMS[4], 1000.0 / (16 * repeats));
        std::vector<std::string> expected;
        for (int b : {1, 2, 4, 8, 16}) {
            expected.push_back("Batch " + std::to_string(b) + ": " + std::to_string(b * repeats) + ".00 items/s");
        }
        expected.push_back("Batch-16 scaling efficiency: 100.00%");
        expected.push_back("Two unscored Core ML warm-up predictions completed before batch timing");
        EXPECT_EQ(m.details, expected);
        EXPECT_TRUE(isWellFormed(m));
    }

    auto wrong = context.entry;
    wrong.sample[0] += 10.0;
    EXPECT_EQ(
        Runner::runBatchScaling(batch, context.modelURL, context.configuration, wrong, 0.0, token, fastEnvironment())
            .accuracy,
        0.0);

    token.cancel();
    EXPECT_THROW(Runner::runBatchScaling(batch, context.modelURL, context.configuration, context.entry, 0.0, token,
                                         fastEnvironment()),
                 AIBenchmarkError);
}

TEST(CoreMLMultimodalSimilarity, PairsBothEncoders)
{
    const auto& multimodal = workload(AIWorkloadID::multimodalSimilarity);
    const auto context = Runner::makeRunContext(multimodal, AIBackend::cpu, std::nullopt);
    EXPECT_EQ(context.family, CoreMLModelFamily::vision);
    BenchmarkCancellationToken token;
    const auto m = Runner::runMultimodalSimilarity(multimodal, AIBackend::cpu, context.configuration, context.manifest,
                                                   0.0, token, fastEnvironment());
    EXPECT_EQ(m.iterations, 3);
    EXPECT_EQ(m.accuracy, 1.0);
    EXPECT_TRUE(isWellFormed(m));
    const double pairSums = entryFor(context.manifest, "OlvaneVisionNet").checksum +
                            entryFor(context.manifest, "OlvaneLanguageNet").checksum;
    // Three pairs of output sums plus three cosines, each within [-1, 1].
    EXPECT_NEAR(m.checksum, 3 * pairSums, 3.0 + 1e-4 * std::abs(3 * pairSums));
    EXPECT_EQ(m.details, (std::vector<std::string>{
                             "Vision encoder: OlvaneVisionNet",
                             "Language encoder: OlvaneLanguageNet",
                             "Compute units: CPU Only",
                             "Combined model load: 1000.00 ms",
                             "Two unscored Core ML warm-up predictions per encoder completed before timing",
                             "Cosine similarity uses the common validated embedding dimension",
                             "Deterministic cross-modal pair scoring",
                         }));

    // The Neural Engine backend only changes the last line, but its loads fail here.
    EXPECT_THROW(Runner::runMultimodalSimilarity(multimodal, AIBackend::neuralEnginePreferred,
                                                 {nn::ComputeUnits::cpuAndNeuralEngine, std::nullopt}, context.manifest,
                                                 0.0, token, fastEnvironment()),
                 nn::Error);

    auto manifest = context.manifest;
    std::erase_if(manifest.models, [](const auto& e) { return e.resource == "OlvaneLanguageNet"; });
    try {
        Runner::runMultimodalSimilarity(multimodal, AIBackend::cpu, context.configuration, manifest, 0.0, token,
                                        fastEnvironment());
        ADD_FAILURE() << "ran without a language entry";
    } catch (const AIBenchmarkError& error) {
        EXPECT_EQ(error.errorDescription(),
                  "Core ML model manifest is invalid: Multimodal encoder resources are incomplete");
    }
    const ResourceFolder visionOnly(context.manifest, {"OlvaneVisionNet"});
    auto environment = fastEnvironment();
    environment.resourceDirectory = visionOnly.path();
    EXPECT_THROW(Runner::runMultimodalSimilarity(multimodal, AIBackend::cpu, context.configuration, context.manifest,
                                                 0.0, token, environment),
                 AIBenchmarkError);
}

TEST(CoreMLMeasure, RoutesEachWorkloadToItsRunner)
{
    BenchmarkCancellationToken token;
    const auto first = [&](AIWorkloadID id) {
        return Runner::measure(workload(id), AIBackend::cpu, std::nullopt, 0.0, token, fastEnvironment())
            .details.front();
    };
    EXPECT_EQ(first(AIWorkloadID::modelLoading), "Core ML compute units: CPU Only");
    EXPECT_EQ(first(AIWorkloadID::batchScaling), "Batch 1: 1.00 items/s");
    EXPECT_EQ(first(AIWorkloadID::multimodalSimilarity), "Vision encoder: OlvaneVisionNet");
    EXPECT_EQ(first(AIWorkloadID::textEmbeddings).rfind("Core ML model: OlvaneLanguageNet (", 0), 0u);
}

TEST(NeuralEngineProbe, ReportsTheUnitUnavailableWithTheRuntimesReason)
{
    const auto result = runNeuralEngineProbe(sys::resourceDirectory());
    EXPECT_FALSE(result.available);
    EXPECT_EQ(result.detail,
              "CPU + Neural Engine probe failed: The compute units CPU and Neural Engine cannot be used: "
              "this system has no Neural Engine.");

    FixtureTree empty;
    const auto missing = runNeuralEngineProbe(empty.root());
    EXPECT_FALSE(missing.available);
    EXPECT_EQ(missing.detail, "Probe unavailable: OlvaneVisionNet.mlmodelc is missing");

    installNeuralEngineProbe();
    EXPECT_EQ(SystemProfiler::neuralEngineProbe().detail, result.detail);
    SystemProfiler::setNeuralEngineProbe(nullptr);
}

}  // namespace
}  // namespace korvalen
