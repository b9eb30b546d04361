#include "Model/AIWorkloadCatalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <set>

namespace korvalen {
namespace {

// Workload numbers from a list of single numbers and inclusive ranges, as the grouping is usually stated.
std::set<int> numbers(std::initializer_list<std::pair<int, int>> ranges)
{
    std::set<int> result;
    for (auto [first, last] : ranges) {
        for (int n = first; n <= last; ++n) {
            result.insert(n);
        }
    }
    return result;
}

std::set<int> matching(auto predicate)
{
    std::set<int> result;
    for (const auto& [id, definition] : AIWorkloadCatalog::definitions()) {
        if (predicate(definition)) {
            result.insert(static_cast<int>(id));
        }
    }
    return result;
}

TEST(AIWorkloadCatalog, HasOneEntryPerWorkload)
{
    const auto& catalog = AIWorkloadCatalog::definitions();
    ASSERT_EQ(catalog.size(), 40u);
    for (AIWorkloadID id : allWorkloadIDs()) {
        ASSERT_EQ(catalog.count(id), 1u);
        EXPECT_EQ(catalog.at(id).id, id);
        EXPECT_EQ(&definition(id), &catalog.at(id));
        const auto& d = definition(id);
        EXPECT_FALSE(d.title.empty());
        EXPECT_FALSE(d.subtitle.empty());
        EXPECT_FALSE(d.notes.empty());
        EXPECT_GT(d.baselineThroughput, 0);
        EXPECT_FALSE(d.supports(AIBackend::automatic));
        EXPECT_TRUE(d.supports(d.canonicalBackend));
        std::set<AIBackend> distinct(d.supportedBackends.begin(), d.supportedBackends.end());
        EXPECT_EQ(distinct.size(), d.supportedBackends.size());
    }
}

TEST(AIWorkloadCatalog, FirstUseFromManyThreadsSeesOneCatalog)
{
    std::vector<std::future<const void*>> lookups;
    for (int i = 0; i < 8; ++i) {
        lookups.push_back(
            std::async(std::launch::async, [] { return static_cast<const void*>(&AIWorkloadCatalog::definitions()); }));
    }
    for (auto& lookup : lookups) {
        EXPECT_EQ(lookup.get(), &AIWorkloadCatalog::definitions());
    }
}

TEST(AIWorkloadCatalog, CategoriesAndPrecisions)
{
    auto inCategory = [](AICategory c) { return matching([c](const auto& d) { return d.category == c; }); };
    EXPECT_EQ(inCategory(AICategory::vision), numbers({{0, 4}}));
    EXPECT_EQ(inCategory(AICategory::language), numbers({{5, 8}, {28, 29}}));
    EXPECT_EQ(inCategory(AICategory::generative), numbers({{9, 11}, {26, 27}}));
    EXPECT_EQ(inCategory(AICategory::audio), numbers({{12, 15}}));
    EXPECT_EQ(inCategory(AICategory::compute), numbers({{16, 23}}));
    EXPECT_EQ(inCategory(AICategory::training), numbers({{33, 33}}));
    EXPECT_EQ(inCategory(AICategory::memory), numbers({{24, 25}, {30, 30}, {32, 32}, {34, 38}}));
    EXPECT_EQ(inCategory(AICategory::sustained), numbers({{31, 31}, {39, 39}}));

    auto inPrecision = [](AIPrecision p) { return matching([p](const auto& d) { return d.precision == p; }); };
    EXPECT_EQ(inPrecision(AIPrecision::fp16), numbers({{11, 11}, {17, 17}, {26, 26}, {28, 28}, {30, 30}, {37, 37}}));
    EXPECT_EQ(inPrecision(AIPrecision::int8), numbers({{5, 5}, {18, 18}}));
    EXPECT_EQ(
        inPrecision(AIPrecision::mixed),
        numbers(
            {{0, 2}, {4, 4}, {6, 6}, {9, 10}, {13, 13}, {15, 15}, {24, 24}, {27, 27}, {31, 32}, {34, 36}, {38, 39}}));
    EXPECT_EQ(inPrecision(AIPrecision::fp32).size(), 40u - 6 - 2 - 18);
}

TEST(AIWorkloadCatalog, BackendsAndModelFamilies)
{
    using B = AIBackend;
    auto withBackends = [](std::vector<B> set) {
        return matching([set](const auto& d) {
            return std::set<B>(d.supportedBackends.begin(), d.supportedBackends.end()) ==
                   std::set<B>(set.begin(), set.end());
        });
    };
    const auto cpuOnly = numbers({{5, 5}, {12, 12}, {22, 22}, {36, 36}});
    EXPECT_EQ(withBackends({B::cpu}), cpuOnly);
    EXPECT_EQ(withBackends({B::gpu}), numbers({{23, 32}}));
    EXPECT_EQ(withBackends({B::cpu, B::gpu, B::neuralEnginePreferred}),
              numbers({{0, 2}, {4, 4}, {6, 6}, {9, 10}, {13, 13}, {15, 15}, {34, 34}, {38, 39}}));
    EXPECT_EQ(withBackends({B::cpu, B::gpu}).size(), 40u - 4 - 10 - 12);
    EXPECT_EQ(matching([](const auto& d) { return d.canonicalBackend == B::cpu; }), cpuOnly);
    EXPECT_EQ(matching([](const auto& d) { return d.canonicalBackend == B::gpu; }).size(), 36u);

    auto withFamily = [](std::optional<CoreMLModelFamily> f) {
        return matching([f](const auto& d) { return d.modelFamily == f; });
    };
    EXPECT_EQ(withFamily(CoreMLModelFamily::vision), numbers({{0, 2}, {4, 4}, {38, 38}}));
    EXPECT_EQ(withFamily(CoreMLModelFamily::language), numbers({{6, 6}, {9, 10}, {34, 34}}));
    EXPECT_EQ(withFamily(CoreMLModelFamily::audio), numbers({{13, 13}, {15, 15}}));
    // Every model workload can run on the Neural Engine; the one Neural Engine workload without a model is
    // the mixed sustained run.
    EXPECT_EQ(matching([](const auto& d) { return d.supports(B::neuralEnginePreferred) && !d.modelFamily; }),
              numbers({{39, 39}}));
    EXPECT_TRUE(matching([](const auto& d) { return d.modelFamily && !d.supports(B::neuralEnginePreferred); }).empty());
}

TEST(AIWorkloadCatalog, DurationsBaselinesAndUnits)
{
    for (const auto& [id, d] : AIWorkloadCatalog::definitions()) {
        if (id == AIWorkloadID::metalSustained || id == AIWorkloadID::mixedSustained) {
            EXPECT_EQ(d.baseDuration, 15.0);
        } else {
            EXPECT_GE(d.baseDuration, 1.0) << rawValue(id);
            EXPECT_LE(d.baseDuration, 1.8) << rawValue(id);
        }
    }
    const auto& catalog = AIWorkloadCatalog::definitions();
    auto byBaseline = [](const auto& a, const auto& b) {
        return a.second.baselineThroughput < b.second.baselineThroughput;
    };
    const auto [smallest, largest] = std::minmax_element(catalog.begin(), catalog.end(), byBaseline);
    EXPECT_EQ(smallest->first, AIWorkloadID::matrixFP32);
    EXPECT_EQ(smallest->second.baselineThroughput, 1.1);
    EXPECT_EQ(smallest->second.throughputUnit, "TFLOP/s");
    EXPECT_EQ(largest->first, AIWorkloadID::attentionPrefill);
    EXPECT_EQ(largest->second.baselineThroughput, 80000.0);
    EXPECT_EQ(largest->second.throughputUnit, "tokens/s");

    EXPECT_EQ(matching([](const auto& d) { return d.throughputUnit == "audio\xC3\x97 realtime"; }),
              numbers({{12, 14}}));
}

TEST(AIWorkloadCatalog, NonASCIITextsAreExact)
{
    // U+00D7 MULTIPLICATION SIGN and U+1D40 MODIFIER LETTER CAPITAL T, spelled as bytes so an editor cannot
    // silently substitute look-alikes.
    EXPECT_EQ(definition(AIWorkloadID::superResolution).title, "Super Resolution 2\xC3\x97");
    EXPECT_EQ(definition(AIWorkloadID::convolution).subtitle,
              "3\xC3\x97"
              "3 feature-map convolution");
    EXPECT_EQ(definition(AIWorkloadID::transformerAttention).subtitle, "QK\xE1\xB5\x80, softmax, and value projection");
    EXPECT_EQ(definition(AIWorkloadID::matrixFP16).notes,
              "GPU computes in FP16. CPU reports FP16 storage with FP32 accumulation explicitly and does not claim "
              "native FP16 arithmetic.");
    EXPECT_EQ(definition(AIWorkloadID::kvCache).notes,
              "Simulates key/value cache growth and traversal at a 4K context.");

    int nonASCII = 0;
    for (const auto& [id, d] : AIWorkloadCatalog::definitions()) {
        for (const std::string* text : {&d.title, &d.subtitle, &d.throughputUnit, &d.notes}) {
            nonASCII += static_cast<int>(std::count_if(text->begin(), text->end(),
                                                       [](char c) { return static_cast<unsigned char>(c) >= 0xC0; }));
        }
    }
    // Two multiplication signs in texts, three in units, one modifier T: no stray typographic characters.
    EXPECT_EQ(nonASCII, 6);
}

}  // namespace
}  // namespace korvalen
