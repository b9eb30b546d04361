#include "Execution/ModelRuntime/CoreMLModelManifest.h"
#include "Model/AIBenchmarkError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>
#include <fstream>
#include <functional>

namespace korvalen {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using ::testing::HasSubstr;

json entryJson(const std::string& resource)
{
    return {{"resource", resource}, {"filename", resource + ".mlmodelc"},
            {"role", "encoder"},    {"inputSize", 8},
            {"outputSize", 4},      {"seed", 3},
            {"checksum", 1.5},      {"l2Norm", 2.0},
            {"sample", {0.1, 0.2}}, {"sha256", std::string(64, 'a')},
            {"sizeBytes", 100}};
}

json manifestJson()
{
    return {{"schema", 1}, {"models", {entryJson("OlvaneVisionNet"), entryJson("OlvaneLanguageNet")}}};
}

std::string detailOf(const json& document)
{
    try {
        CoreMLBenchmarkRunner::validateManifest(decodeModelManifest(document.dump()));
    } catch (const AIBenchmarkError& error) {
        EXPECT_EQ(error.kind(), AIBenchmarkError::Kind::modelManifestInvalid);
        return error.detail();
    }
    return {};
}

TEST(CoreMLModelManifest, ValidationRules)
{
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        std::string detail;  // empty: the manifest stays valid
    };
    const std::vector<Case> cases{
        {"unchanged", [](json&) {}, ""},
        {"schema 2", [](json& m) { m["schema"] = 2; }, "Unsupported or empty manifest"},
        {"no models", [](json& m) { m["models"] = json::array(); }, "Unsupported or empty manifest"},
        {"duplicate resource", [](json& m) { m["models"][1]["resource"] = "OlvaneVisionNet"; },
         "Model resources must be non-empty and unique"},
        {"empty resource", [](json& m) { m["models"][0]["resource"] = ""; },
         "Model resources must be non-empty and unique"},
        {"empty role", [](json& m) { m["models"][1]["role"] = ""; },
         "Model metadata is incomplete for OlvaneLanguageNet"},
        {"empty filename", [](json& m) { m["models"][0]["filename"] = ""; },
         "Model metadata is incomplete for OlvaneVisionNet"},
        {"input size 0", [](json& m) { m["models"][0]["inputSize"] = 0; },
         "Model dimensions and size must be positive for OlvaneVisionNet"},
        {"size 0", [](json& m) { m["models"][0]["sizeBytes"] = 0; },
         "Model dimensions and size must be positive for OlvaneVisionNet"},
        {"negative seed", [](json& m) { m["models"][0]["seed"] = -12; }, ""},
        {"negative checksum", [](json& m) { m["models"][0]["checksum"] = -4.5; }, ""},
        {"l2 zero", [](json& m) { m["models"][0]["l2Norm"] = 0; },
         "Model validation reference is invalid for OlvaneVisionNet"},
        {"l2 negative", [](json& m) { m["models"][0]["l2Norm"] = -1; },
         "Model validation reference is invalid for OlvaneVisionNet"},
        {"sample of outputSize",
         [](json& m) {
             m["models"][0]["sample"] = {1, 2, 3, 4};
         },
         ""},
        {"sample too long",
         [](json& m) {
             m["models"][0]["sample"] = {1, 2, 3, 4, 5};
         },
         "Model validation reference is invalid for OlvaneVisionNet"},
        {"sample empty", [](json& m) { m["models"][0]["sample"] = json::array(); },
         "Model validation reference is invalid for OlvaneVisionNet"},
        {"upper-case digest", [](json& m) { m["models"][0]["sha256"] = std::string(32, 'A') + std::string(32, 'F'); },
         ""},
        {"63 digits", [](json& m) { m["models"][0]["sha256"] = std::string(63, 'a'); },
         "Model SHA-256 is invalid for OlvaneVisionNet"},
        {"65 digits", [](json& m) { m["models"][0]["sha256"] = std::string(65, 'a'); },
         "Model SHA-256 is invalid for OlvaneVisionNet"},
        {"non-hex digit", [](json& m) { m["models"][0]["sha256"] = std::string(63, 'a') + "g"; },
         "Model SHA-256 is invalid for OlvaneVisionNet"},
        // Rules apply in order: the reference fails before the digest is looked at.
        {"two faults",
         [](json& m) {
             m["models"][0]["l2Norm"] = 0;
             m["models"][0]["sha256"] = "x";
         },
         "Model validation reference is invalid for OlvaneVisionNet"},
        {"unknown keys",
         [](json& m) {
             m["extra"] = true;
             m["models"][0]["note"] = "x";
         },
         ""},
    };
    for (const auto& c : cases) {
        json document = manifestJson();
        c.change(document);
        EXPECT_EQ(detailOf(document), c.detail) << c.what;
    }
}

TEST(CoreMLModelManifest, NonFiniteReferencesAreInvalid)
{
    // JSON cannot carry them, but a manifest built in code can.
    CoreMLModelManifest manifest = decodeModelManifest(manifestJson().dump());
    for (auto change : std::vector<std::function<void(CoreMLModelEntry&)>>{
             [](CoreMLModelEntry& e) { e.checksum = std::nan(""); },
             [](CoreMLModelEntry& e) { e.l2Norm = HUGE_VAL; },
             [](CoreMLModelEntry& e) { e.sample[1] = -HUGE_VAL; },
         }) {
        CoreMLModelManifest broken = manifest;
        change(broken.models[1]);
        try {
            CoreMLBenchmarkRunner::validateManifest(broken);
            ADD_FAILURE() << "accepted a non-finite reference";
        } catch (const AIBenchmarkError& error) {
            EXPECT_EQ(error.detail(), "Model validation reference is invalid for OlvaneLanguageNet");
        }
        EXPECT_THROW(encodeModelManifest(broken), std::invalid_argument);
    }
}

TEST(CoreMLModelManifest, DecodingRequiresEveryKeyWithItsType)
{
    struct Case {
        std::function<void(json&)> change;
        std::string fragment;
    };
    const std::vector<Case> cases{
        {[](json& m) { m["models"][1].erase("sha256"); }, "models[1].sha256: required key is missing"},
        {[](json& m) { m.erase("schema"); }, "schema: required key is missing"},
        {[](json& m) { m["models"][0]["inputSize"] = 8.5; }, "models[0].inputSize: number 8.5 does not fit"},
        {[](json& m) { m["models"][0]["seed"] = "3"; }, "models[0].seed: expected an integer"},
        {[](json& m) { m["models"][0]["sizeBytes"] = 18446744073709551615ull; },
         "models[0].sizeBytes: number 18446744073709551615 does not fit"},
        {[](json& m) { m["models"][0]["checksum"] = "1.5"; }, "models[0].checksum: expected a number"},
        {[](json& m) {
             m["models"][0]["sample"] = {0.1, nullptr};
         },
         "models[0].sample[1]: expected a number"},
        {[](json& m) { m["models"][0]["role"] = 5; }, "models[0].role: expected a string"},
        {[](json& m) { m["models"] = json::object(); }, "models: expected an array"},
        {[](json& m) { m["models"][0] = 1; }, "models[0]: expected an object"},
    };
    for (const auto& c : cases) {
        json document = manifestJson();
        c.change(document);
        try {
            decodeModelManifest(document.dump());
            ADD_FAILURE() << "decoded " << c.fragment;
        } catch (const AIBenchmarkError& error) {
            EXPECT_THAT(error.detail(), HasSubstr(c.fragment));
        }
    }
    EXPECT_THROW(decodeModelManifest("{\"schema\": 1, "), AIBenchmarkError);
    EXPECT_THROW(decodeModelManifest("[1]"), AIBenchmarkError);
    EXPECT_THROW(decodeModelManifest("{\"schema\": 1e400, \"models\": []}"), AIBenchmarkError) << "out of range";

    // A whole number written with a fraction part is still an integer.
    json whole = manifestJson();
    whole["models"][0]["inputSize"] = 8.0;
    EXPECT_EQ(decodeModelManifest(whole.dump()).models[0].inputSize, 8);
}

TEST(CoreMLModelManifest, EncodingRoundTripsInFieldOrder)
{
    const CoreMLModelManifest manifest = decodeModelManifest(manifestJson().dump());
    const std::string text = encodeModelManifest(manifest);
    EXPECT_EQ(decodeModelManifest(text), manifest);
    const char* keys[] = {"\"resource\"", "\"filename\"", "\"role\"",   "\"inputSize\"", "\"outputSize\"", "\"seed\"",
                          "\"checksum\"", "\"l2Norm\"",   "\"sample\"", "\"sha256\"",    "\"sizeBytes\""};
    std::size_t last = text.find("\"models\"");
    for (const char* key : keys) {
        const std::size_t at = text.find(key, last);
        ASSERT_NE(at, std::string::npos) << key;
        last = at;
    }
}

TEST(CoreMLModelManifest, LoadReadsTheResourceFolderEveryTime)
{
    const fs::path folder = fs::temp_directory_path() / ("korvalen-manifest-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    try {
        CoreMLBenchmarkRunner::loadManifest(folder);
        ADD_FAILURE() << "loaded a missing manifest";
    } catch (const AIBenchmarkError& error) {
        EXPECT_STREQ(error.what(), "Core ML model manifest is invalid: ModelManifest.json is missing");
    }

    std::ofstream(folder / "ModelManifest.json") << manifestJson().dump();
    EXPECT_EQ(CoreMLBenchmarkRunner::loadManifest(folder).models.size(), 2u);

    json changed = manifestJson();
    changed["schema"] = 3;
    std::ofstream(folder / "ModelManifest.json", std::ios::trunc) << changed.dump();
    try {
        CoreMLBenchmarkRunner::loadManifest(folder);
        ADD_FAILURE() << "loaded a stale manifest";
    } catch (const AIBenchmarkError& error) {
        EXPECT_EQ(error.detail(), "Unsupported or empty manifest");
    }

    std::ofstream(folder / "ModelManifest.json", std::ios::trunc) << "not json";
    EXPECT_THROW(CoreMLBenchmarkRunner::loadManifest(folder), AIBenchmarkError);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace korvalen
