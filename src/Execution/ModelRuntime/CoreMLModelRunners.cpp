// The model workloads that measure something other than one loaded model predicting repeatedly:
// loading itself, batch scaling, and paired vision and language encoders.

#include "Execution/ModelRuntime/CoreMLRunnerSupport.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/Inference/CompiledModel.h"
#include "Platform/System/Resources.h"

#include <exception>

namespace korvalen::CoreMLBenchmarkRunner {

KernelMeasurement runModelLoading(const AIWorkloadDefinition& workload, const std::filesystem::path& modelURL,
                                  const nn::ModelConfiguration& configuration, const CoreMLModelEntry& entry,
                                  double durationScale, BenchmarkCancellationToken& cancellation,
                                  const CoreMLRunnerEnvironment& environment)
{
    PeakMemoryTracker tracker;
    const Date startedAt = now();

    // No warm-up: the first iteration is the cold load.
    const double target = safeTargetSeconds(durationScale, workload.baseDuration, 0.4);
    bool allValid = true;
    double checksum = 0;
    TimedLoop loop(cancellation, tracker, environment.uptimeSeconds);
    loop.run({target, 2}, [&] {
        bool valid = false;
        try {
            // Model, input and output live only for this iteration.
            const nn::Model model = CoreMLRunnerSupport::loadModel(environment, modelURL, configuration);
            const nn::FeatureMap features = CoreMLRunnerSupport::inputFeatures(entry);
            const nn::MultiArray output = CoreMLRunnerSupport::predictOutput(model, features, "Missing model output");
            const CoreMLValidation validation = validate(output, entry);
            valid = validation.valid;
            checksum += validation.actualChecksum;
        } catch (const std::exception&) {
            // A failed load or prediction is measured like any attempt and judged invalid.
            valid = false;
        }
        allValid = allValid && valid;
    });
    KernelMeasurement measurement = loop.measurement(workload, startedAt, loop.count());
    measurement.accuracy = allValid ? 1.0 : 0.0;
    measurement.checksum = checksum;

    const auto& samples = measurement.latencySamplesMS;
    const double first = samples.empty() ? 0.0 : samples.front();
    double warmAverage = first;
    if (samples.size() > 1) {
        double sum = 0;
        for (std::size_t i = 1; i < samples.size(); ++i) {
            sum += samples[i];
        }
        warmAverage = sum / double(samples.size() - 1);
    }
    measurement.details = {
        "Core ML compute units: " + std::string(computeUnitsLabel(configuration.computeUnits)),
        "First load + prediction: " + formatFixed(first, 2) + " ms",
        "Warm average: " + formatFixed(warmAverage, 2) + " ms",
    };
    return measurement;
}

KernelMeasurement runBatchScaling(const AIWorkloadDefinition& workload, const std::filesystem::path& modelURL,
                                  const nn::ModelConfiguration& configuration, const CoreMLModelEntry& entry,
                                  double durationScale, BenchmarkCancellationToken& cancellation,
                                  const CoreMLRunnerEnvironment& environment)
{
    const MonotonicClock& uptime = environment.uptimeSeconds;
    PeakMemoryTracker tracker;
    KernelMeasurement measurement;
    measurement.startedAt = now();

    const nn::Model model = CoreMLRunnerSupport::loadModel(environment, modelURL, configuration);
    const nn::FeatureMap features = CoreMLRunnerSupport::inputFeatures(entry);
    for (int warmUp = 0; warmUp < 2; ++warmUp) {
        checkCancellation(cancellation);
        CoreMLRunnerSupport::predictOutput(model, features, "Missing batch output");
    }

    const int repeats = batchRepeats(durationScale);
    std::map<int, double> throughputByBatch;
    bool allValid = true;
    double totalSeconds = 0;
    std::int64_t totalPredictions = 0;
    for (int batch : batchSizes) {
        checkCancellation(cancellation);
        const std::int64_t predictions = std::int64_t(batch) * repeats;
        const double tb = uptime();
        for (std::int64_t i = 0; i < predictions; ++i) {
            const nn::MultiArray output = CoreMLRunnerSupport::predictOutput(model, features, "Missing batch output");
            const CoreMLValidation validation = validate(output, entry);
            allValid = allValid && validation.valid;
            measurement.checksum += validation.actualChecksum;  // 0 when the count is wrong
        }
        const double elapsed = uptime() - tb;
        throughputByBatch[batch] = double(predictions) / std::max(elapsed, 1e-6);
        measurement.latencySamplesMS.push_back(elapsed / double(predictions) * 1000.0);
        totalPredictions += predictions;
        totalSeconds += elapsed;
        tracker.sample();
    }

    measurement.wallSeconds = totalSeconds;
    measurement.iterations = int(totalPredictions);
    measurement.workUnits = double(totalPredictions);
    measurement.accuracy = allValid ? 1.0 : 0.0;
    completeMeasurement(measurement, workload, tracker);

    for (int batch : batchSizes) {
        const auto found = throughputByBatch.find(batch);
        const double throughput = found == throughputByBatch.end() ? 0.0 : found->second;
        measurement.details.push_back("Batch " + std::to_string(batch) + ": " + formatFixed(throughput, 2) +
                                      " items/s");
    }
    measurement.details.push_back(
        "Batch-16 scaling efficiency: " + formatFixed(batchScalingEfficiency(throughputByBatch), 2) + "%");
    measurement.details.push_back("Two unscored Core ML warm-up predictions completed before batch timing");
    return measurement;
}

namespace {

// The cosine of the two embeddings over their common dimension; 0 when either is empty.
double cosineSimilarity(const nn::MultiArray& vision, const nn::MultiArray& language)
{
    const std::size_t d = std::min(vision.count(), language.count());
    double dot = 0;
    double visionSquares = 0;
    double languageSquares = 0;
    for (std::size_t i = 0; i < d; ++i) {
        const double v = vision.value(i);
        const double l = language.value(i);
        dot += v * l;
        visionSquares += v * v;
        languageSquares += l * l;
    }
    return d == 0 ? 0.0 : dot / std::max(std::sqrt(visionSquares * languageSquares), 1e-12);
}

}  // namespace

KernelMeasurement runMultimodalSimilarity(const AIWorkloadDefinition& workload, AIBackend backend,
                                          const nn::ModelConfiguration& configuration,
                                          const CoreMLModelManifest& manifest, double durationScale,
                                          BenchmarkCancellationToken& cancellation,
                                          const CoreMLRunnerEnvironment& environment)
{
    const MonotonicClock& uptime = environment.uptimeSeconds;
    PeakMemoryTracker tracker;
    const Date startedAt = now();

    const auto entryNamed = [&](std::string_view resource) -> const CoreMLModelEntry* {
        const auto found = std::find_if(manifest.models.begin(), manifest.models.end(),
                                        [&](const CoreMLModelEntry& e) { return e.resource == resource; });
        return found == manifest.models.end() ? nullptr : &*found;
    };
    constexpr std::string_view visionName = "OlvaneVisionNet";
    constexpr std::string_view languageName = "OlvaneLanguageNet";
    const auto resources =
        environment.resourceDirectory.empty() ? sys::resourceDirectory() : environment.resourceDirectory;
    const CoreMLModelEntry* visionEntry = entryNamed(visionName);
    const CoreMLModelEntry* languageEntry = entryNamed(languageName);
    const auto visionURL = sys::resourcePath(resources, visionName, nn::compiledModelExtension);
    const auto languageURL = sys::resourcePath(resources, languageName, nn::compiledModelExtension);
    if (!visionEntry || !languageEntry || !visionURL || !languageURL) {
        throw AIBenchmarkError::modelManifestInvalid("Multimodal encoder resources are incomplete");
    }

    const double t0 = uptime();
    const nn::Model vision = CoreMLRunnerSupport::loadModel(environment, *visionURL, configuration);
    const nn::Model language = CoreMLRunnerSupport::loadModel(environment, *languageURL, configuration);
    const double loadMS = (uptime() - t0) * 1000.0;

    const nn::FeatureMap visionFeatures = CoreMLRunnerSupport::inputFeatures(*visionEntry);
    const nn::FeatureMap languageFeatures = CoreMLRunnerSupport::inputFeatures(*languageEntry);
    constexpr const char* missingDetail = "Multimodal encoder output is missing";
    for (int warmUp = 0; warmUp < 2; ++warmUp) {
        checkCancellation(cancellation);
        CoreMLRunnerSupport::predictOutput(vision, visionFeatures, missingDetail);
        CoreMLRunnerSupport::predictOutput(language, languageFeatures, missingDetail);
    }

    const double target = safeTargetSeconds(durationScale, workload.baseDuration, 0.5);
    bool allValid = true;
    double checksum = 0;
    TimedLoop loop(cancellation, tracker, uptime);
    loop.run({target, 3}, [&] {
        const nn::MultiArray visionOutput = CoreMLRunnerSupport::predictOutput(vision, visionFeatures, missingDetail);
        const nn::MultiArray languageOutput =
            CoreMLRunnerSupport::predictOutput(language, languageFeatures, missingDetail);
        const CoreMLValidation visionCheck = validate(visionOutput, *visionEntry);
        const CoreMLValidation languageCheck = validate(languageOutput, *languageEntry);

        const double cosine = cosineSimilarity(visionOutput, languageOutput);
        const bool cosineValid = std::isfinite(cosine) && std::abs(cosine) <= 1.0001;
        allValid = allValid && visionCheck.valid && languageCheck.valid && cosineValid;
        checksum += visionCheck.actualChecksum + cosine + languageCheck.actualChecksum;
    });
    KernelMeasurement measurement = loop.measurement(workload, startedAt, loop.count());
    measurement.accuracy = allValid ? 1.0 : 0.0;
    measurement.checksum = checksum;

    measurement.details = {
        "Vision encoder: OlvaneVisionNet",
        "Language encoder: OlvaneLanguageNet",
        "Compute units: " + std::string(computeUnitsLabel(configuration.computeUnits)),
        "Combined model load: " + formatFixed(loadMS, 2) + " ms",
        "Two unscored Core ML warm-up predictions per encoder completed before timing",
        "Cosine similarity uses the common validated embedding dimension",
        backend == AIBackend::neuralEnginePreferred
            ? "CPU + Neural Engine requested; unsupported operations may execute on CPU"
            : "Deterministic cross-modal pair scoring",
    };
    return measurement;
}

}  // namespace korvalen::CoreMLBenchmarkRunner
