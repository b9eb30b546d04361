#pragma once

#include <exception>
#include <string>

namespace korvalen {

// How a measurement fails. The description is stored as an invalid result's error text, and
// "Benchmark cancelled." is how the run loop recognises a stopped item, so the texts are fixed.
class AIBenchmarkError : public std::exception {
public:
    enum class Kind {
        unsupportedBackend,
        pipelineCreation,
        commandFailure,
        modelMissing,
        modelManifestInvalid,
        invalidOutput,
        allocationFailed,
        cancelled,
        metalUnavailable,
    };

    static AIBenchmarkError unsupportedBackend(std::string detail)
    {
        return {Kind::unsupportedBackend, std::move(detail)};
    }
    static AIBenchmarkError pipelineCreation(std::string detail) { return {Kind::pipelineCreation, std::move(detail)}; }
    static AIBenchmarkError commandFailure(std::string detail) { return {Kind::commandFailure, std::move(detail)}; }
    static AIBenchmarkError modelMissing(std::string modelName) { return {Kind::modelMissing, std::move(modelName)}; }
    static AIBenchmarkError modelManifestInvalid(std::string detail)
    {
        return {Kind::modelManifestInvalid, std::move(detail)};
    }
    static AIBenchmarkError invalidOutput(std::string detail) { return {Kind::invalidOutput, std::move(detail)}; }
    static AIBenchmarkError allocationFailed(std::string detail) { return {Kind::allocationFailed, std::move(detail)}; }
    static AIBenchmarkError cancelled() { return {Kind::cancelled, {}}; }
    static AIBenchmarkError metalUnavailable() { return {Kind::metalUnavailable, {}}; }

    Kind kind() const noexcept { return kind_; }
    // The case's payload (detail or model name); empty for `cancelled` and `metalUnavailable`.
    const std::string& detail() const noexcept { return detail_; }
    // The user-facing text, also returned by what().
    const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool isCancellation() const noexcept { return kind_ == Kind::cancelled; }

    bool operator==(const AIBenchmarkError& other) const { return kind_ == other.kind_ && detail_ == other.detail_; }

    // The exact text of a cancelled measurement, for callers that only hold the stored text.
    static const std::string& cancelledDescription();

private:
    AIBenchmarkError(Kind kind, std::string detail);

    Kind kind_;
    std::string detail_;
    std::string description_;
};

}  // namespace korvalen
