// The timed inference loop shared by every model-family workload without a runner of its own.

#include "Execution/ModelRuntime/CoreMLRunnerSupport.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/NumberFormat.h"

namespace korvalen::CoreMLBenchmarkRunner {

namespace {

constexpr const char* missingOutputDetail = "Core ML did not return the expected output MLMultiArray";

double workUnitsPerPrediction(AIWorkloadID workload)
{
    switch (workload) {
    case AIWorkloadID::llmPromptProcessing: return 256;
    case AIWorkloadID::speechRecognition: return 5;
    default: return 1;
    }
}

std::string workloadNote(AIWorkloadID workload)
{
    switch (workload) {
    case AIWorkloadID::imageClassification: return "Batch 1 classification-style inference";
    case AIWorkloadID::objectDetection: return "Includes deterministic proposal sorting and NMS";
    case AIWorkloadID::semanticSegmentation: return "Includes 64×64 mask-class projection";
    case AIWorkloadID::textEmbeddings: return "Includes output L2 normalization";
    case AIWorkloadID::llmPromptProcessing: return "256 prompt tokens credited per validated prefill";
    case AIWorkloadID::llmTokenGeneration: return "One prediction and deterministic token selection per token";
    case AIWorkloadID::speechRecognition: return "Five seconds of acoustic features credited per inference";
    case AIWorkloadID::audioClassification: return "Fixed acoustic embedding classification";
    default: return "Core ML inference";
    }
}

}  // namespace

KernelMeasurement runStandardInference(const AIWorkloadDefinition& workload, AIBackend backend,
                                       const CoreMLRunContext& context, double durationScale,
                                       BenchmarkCancellationToken& cancellation,
                                       const CoreMLRunnerEnvironment& environment)
{
    const MonotonicClock& uptime = environment.uptimeSeconds;
    PeakMemoryTracker tracker;
    const Date startedAt = now();
    const double t0 = uptime();

    const nn::Model model = CoreMLRunnerSupport::loadModel(environment, context.modelURL, context.configuration);
    const double loadMS = (uptime() - t0) * 1000.0;
    tracker.sample();

    const nn::FeatureMap features = CoreMLRunnerSupport::inputFeatures(context.entry);
    for (int warmUp = 0; warmUp < 2; ++warmUp) {
        checkCancellation(cancellation);
        CoreMLRunnerSupport::predictOutput(model, features, missingOutputDetail);
    }

    const double target = safeTargetSeconds(durationScale, workload.baseDuration);
    double contributions = 0;
    nn::MultiArray last;
    TimedLoop loop(cancellation, tracker, uptime);
    loop.run({.targetSeconds = target, .minimumSamples = 3, .endedByCaller = true}, [&] {
        last = CoreMLRunnerSupport::predictOutput(model, features, missingOutputDetail);
        contributions += postProcess(workload.id, last.values());
    });

    // The check of the last output belongs to the timed phase: the end is read after it.
    const CoreMLValidation validation = validate(last, context.entry);
    loop.stop();
    // Whole-number credits: the product equals their running sum exactly.
    KernelMeasurement measurement =
        loop.measurement(workload, startedAt, loop.count() * workUnitsPerPrediction(workload.id));
    measurement.accuracy = validation.valid ? 1.0 : 0.0;
    measurement.checksum = contributions + validation.actualChecksum;

    const std::string units(computeUnitsLabel(context.configuration.computeUnits));
    auto& details = measurement.details;
    details.push_back("Core ML model: " + std::string(rawValue(context.family)) + " (" + context.entry.role + ")");
    details.push_back("Compute units: " + units);
    if (backend == AIBackend::gpu) {
        details.push_back("Preferred Metal device: " + context.preferredDeviceName.value_or("System default"));
    } else {
        details.push_back("Accelerator policy: " + units);
    }
    details.push_back("Model load: " + formatFixed(loadMS, 2) + " ms");
    details.push_back("Output checksum relative error: " + formatFixed(validation.checksumError * 100.0, 4) + "%");
    details.push_back("Output L2 relative error: " + formatFixed(validation.l2Error * 100.0, 4) + "%");
    details.push_back(workloadNote(workload.id));
    if (backend == AIBackend::neuralEnginePreferred) {
        details.push_back(
            "Neural Engine Preferred means CPU + Neural Engine; unsupported operations may execute on CPU.");
    }
    return measurement;
}

}  // namespace korvalen::CoreMLBenchmarkRunner
