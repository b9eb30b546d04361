#include "Model/AIBenchmarkError.h"

#include <gtest/gtest.h>

#include <stdexcept>

using korvalen::AIBenchmarkError;

TEST(AIBenchmarkError, DescriptionsAppendTheDetailUnchanged)
{
    EXPECT_EQ(AIBenchmarkError::unsupportedBackend("gpu").errorDescription(), "Unsupported backend: gpu");
    EXPECT_EQ(AIBenchmarkError::unsupportedBackend("").errorDescription(), "Unsupported backend: ");
    EXPECT_EQ(AIBenchmarkError::pipelineCreation("gemm_f32").errorDescription(),
              "Metal pipeline creation failed: gemm_f32");
    EXPECT_EQ(AIBenchmarkError::commandFailure(" two  blanks ").errorDescription(),
              "Compute command failed:  two  blanks ");
    EXPECT_EQ(AIBenchmarkError::modelMissing("OlvaneVisionNet").errorDescription(),
              "Required Core ML model is missing: OlvaneVisionNet.mlmodelc");
    EXPECT_EQ(AIBenchmarkError::modelManifestInvalid("no models").errorDescription(),
              "Core ML model manifest is invalid: no models");
    EXPECT_EQ(AIBenchmarkError::invalidOutput("max error 0.5 | row 3").errorDescription(),
              "Accuracy validation failed: max error 0.5 | row 3");
    EXPECT_EQ(AIBenchmarkError::allocationFailed("×2 — 4 GB").errorDescription(),
              "Tensor allocation failed: ×2 — 4 GB");
}

TEST(AIBenchmarkError, CasesWithoutDetailHaveFixedTexts)
{
    EXPECT_EQ(AIBenchmarkError::cancelled().errorDescription(), "Benchmark cancelled.");
    EXPECT_EQ(AIBenchmarkError::cancelledDescription(), "Benchmark cancelled.");
    EXPECT_EQ(AIBenchmarkError::metalUnavailable().errorDescription(), "No compatible Metal device is available.");
    EXPECT_TRUE(AIBenchmarkError::cancelled().isCancellation());
    EXPECT_FALSE(AIBenchmarkError::metalUnavailable().isCancellation());
    EXPECT_EQ(AIBenchmarkError::cancelled(), AIBenchmarkError::cancelled());
    EXPECT_FALSE(AIBenchmarkError::invalidOutput("a") == AIBenchmarkError::commandFailure("a"));
}

TEST(AIBenchmarkError, ThrownErrorKeepsKindAndTextThroughStdException)
{
    try {
        throw AIBenchmarkError::modelMissing("OlvaneAudioNet");
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Required Core ML model is missing: OlvaneAudioNet.mlmodelc");
        const auto* benchmarkError = dynamic_cast<const AIBenchmarkError*>(&error);
        ASSERT_NE(benchmarkError, nullptr);
        EXPECT_EQ(benchmarkError->kind(), AIBenchmarkError::Kind::modelMissing);
        EXPECT_EQ(benchmarkError->detail(), "OlvaneAudioNet");
    }
    // A copy owns its own text: what() of the original must survive the copy going away.
    auto original = AIBenchmarkError::commandFailure("timeout");
    {
        auto copy = original;
        EXPECT_STREQ(copy.what(), original.what());
    }
    EXPECT_STREQ(original.what(), "Compute command failed: timeout");
}
