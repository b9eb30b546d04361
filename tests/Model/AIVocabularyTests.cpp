#include "Model/AIVocabulary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace korvalen {
namespace {

template <typename E, std::size_t N>
void expectRoundTrip(const std::array<E, N>& cases)
{
    std::set<std::string_view> seen;
    for (E value : cases) {
        const std::string_view raw = rawValue(value);
        EXPECT_FALSE(raw.empty());
        EXPECT_TRUE(seen.insert(raw).second) << raw;
        EXPECT_EQ(fromRaw<E>(raw), value) << raw;
        // Only the exact whole text matches.
        EXPECT_FALSE(fromRaw<E>(std::string(raw) + " ").has_value());
        EXPECT_FALSE(fromRaw<E>(raw.substr(0, raw.size() - 1)).has_value());
    }
    EXPECT_FALSE(fromRaw<E>("").has_value());
}

TEST(AIVocabulary, RawValuesRoundTripExactly)
{
    expectRoundTrip(allRunModes);
    expectRoundTrip(allBackends);
    expectRoundTrip(allScoreRoles);
    expectRoundTrip(allPrecisions);
    expectRoundTrip(allCategories);
    expectRoundTrip(allModelFamilies);
    expectRoundTrip(allWorkloadIDs());

    EXPECT_EQ(rawValue(AIBackend::automatic), "Best Available (Calibrated)");
    EXPECT_FALSE(fromRaw<AIPrecision>("fp32").has_value());
    EXPECT_FALSE(fromRaw<AIWorkloadID>("ImageClassification").has_value());
    EXPECT_FALSE(fromRaw<CoreMLModelFamily>("olvanevisionnet").has_value());
}

TEST(AIVocabulary, WorkloadNumbersFollowCaseOrder)
{
    const auto all = allWorkloadIDs();
    EXPECT_EQ(all[0], AIWorkloadID::imageClassification);
    EXPECT_EQ(all[15], AIWorkloadID::audioClassification);
    EXPECT_EQ(all[23], AIWorkloadID::gpuCommandThroughput);
    EXPECT_EQ(all[31], AIWorkloadID::metalSustained);
    EXPECT_EQ(all[36], AIWorkloadID::memoryPressure);
    EXPECT_EQ(all[39], AIWorkloadID::mixedSustained);
}

TEST(AIVocabulary, BackendDecodingAcceptsTheOlderAutomaticName)
{
    EXPECT_EQ(decodeBackend("Best Available"), AIBackend::automatic);
    EXPECT_EQ(decodeBackend("Best Available (Calibrated)"), AIBackend::automatic);
    EXPECT_EQ(decodeBackend("GPU"), AIBackend::gpu);
    EXPECT_FALSE(decodeBackend("best available").has_value());
    EXPECT_FALSE(decodeBackend("Neural Engine").has_value());
    EXPECT_FALSE(decodeBackend("gpu").has_value());
    // The older name is only a decoding alias, not a raw value.
    EXPECT_FALSE(fromRaw<AIBackend>("Best Available").has_value());
}

TEST(AIVocabulary, RunModeWorkloadLists)
{
    using W = AIWorkloadID;
    EXPECT_EQ(workloadIDs(AIRunMode::quick),
              (std::vector<W>{W::imageClassification, W::textEmbeddings, W::transformerAttention, W::llmTokenGeneration,
                              W::matrixFP32, W::matrixFP16, W::audioClassification}));

    const auto complete = workloadIDs(AIRunMode::complete);
    EXPECT_EQ(complete.size(), 36u);
    for (W excluded : {W::gpuCommandThroughput, W::metalSustained, W::memoryPressure, W::mixedSustained}) {
        EXPECT_EQ(std::count(complete.begin(), complete.end(), excluded), 0) << rawValue(excluded);
    }
    EXPECT_TRUE(std::is_sorted(complete.begin(), complete.end()));

    const auto extended = workloadIDs(AIRunMode::extended);
    const auto all = allWorkloadIDs();
    EXPECT_EQ(extended, std::vector<W>(all.begin(), all.end()));

    EXPECT_EQ(workloadIDs(AIRunMode::stress), (std::vector<W>{W::mixedSustained, W::metalSustained}));
}

TEST(AIVocabulary, CategoryColours)
{
    const AIColor memory = color(AICategory::memory);
    EXPECT_EQ(memory, (AIColor{0.82, 0.82, 0.73, 1.0}));
    std::set<std::tuple<double, double, double>> distinct;
    for (AICategory category : allCategories) {
        const AIColor c = color(category);
        EXPECT_EQ(c.opacity, 1.0);
        distinct.insert({c.red, c.green, c.blue});
    }
    EXPECT_EQ(distinct.size(), allCategories.size());
}

TEST(AIVocabulary, RunStateEqualityAndBusy)
{
    using W = AIWorkloadID;
    const auto running = AIRunState::running(W::transformerAttention, AIBackend::gpu, 3, 36);
    EXPECT_EQ(running, AIRunState::running(W::transformerAttention, AIBackend::gpu, 3, 36));
    EXPECT_NE(running, AIRunState::running(W::transformerAttention, AIBackend::gpu, 4, 36));
    EXPECT_NE(running, AIRunState::running(W::transformerAttention, AIBackend::cpu, 3, 36));
    EXPECT_NE(AIRunState::failed("a"), AIRunState::failed("b"));
    EXPECT_EQ(AIRunState::failed("a"), AIRunState::failed("a"));
    EXPECT_NE(AIRunState::idle(), AIRunState::completed());
    EXPECT_EQ(AIRunState{}, AIRunState::idle());

    EXPECT_TRUE(running.isBusy());
    EXPECT_TRUE(AIRunState::preparing().isBusy());
    EXPECT_TRUE(AIRunState::stopping().isBusy());
    EXPECT_FALSE(AIRunState::idle().isBusy());
    EXPECT_FALSE(AIRunState::failed("x").isBusy());
    EXPECT_FALSE(AIRunState::completed().isBusy());
}

}  // namespace
}  // namespace korvalen
