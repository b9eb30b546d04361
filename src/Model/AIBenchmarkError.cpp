#include "Model/AIBenchmarkError.h"

namespace korvalen {

namespace {

std::string describe(AIBenchmarkError::Kind kind, const std::string& detail)
{
    using Kind = AIBenchmarkError::Kind;
    switch (kind) {
    case Kind::unsupportedBackend: return "Unsupported backend: " + detail;
    case Kind::pipelineCreation: return "Metal pipeline creation failed: " + detail;
    case Kind::commandFailure: return "Compute command failed: " + detail;
    case Kind::modelMissing: return "Required Core ML model is missing: " + detail + ".mlmodelc";
    case Kind::modelManifestInvalid: return "Core ML model manifest is invalid: " + detail;
    case Kind::invalidOutput: return "Accuracy validation failed: " + detail;
    case Kind::allocationFailed: return "Tensor allocation failed: " + detail;
    case Kind::cancelled: return "Benchmark cancelled.";
    case Kind::metalUnavailable: return "No compatible Metal device is available.";
    }
    return {};
}

}  // namespace

AIBenchmarkError::AIBenchmarkError(Kind kind, std::string detail)
    : kind_(kind), detail_(std::move(detail)), description_(describe(kind_, detail_))
{}

const std::string& AIBenchmarkError::cancelledDescription()
{
    static const std::string text = describe(Kind::cancelled, {});
    return text;
}

}  // namespace korvalen
