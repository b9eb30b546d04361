#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

// One shipped model: its tensor sizes, the seed of its deterministic input and the reference its
// output is checked against.
struct CoreMLModelEntry {
    std::string resource;
    std::string filename;
    std::string role;
    std::int64_t inputSize = 0;
    std::int64_t outputSize = 0;
    std::int64_t seed = 0;
    double checksum = 0;
    double l2Norm = 0;
    std::vector<double> sample;
    std::string sha256;
    std::int64_t sizeBytes = 0;

    bool operator==(const CoreMLModelEntry&) const = default;
};

// The contents of ModelManifest.json.
struct CoreMLModelManifest {
    std::int64_t schema = 0;
    std::vector<CoreMLModelEntry> models;

    bool operator==(const CoreMLModelManifest&) const = default;
};

inline constexpr std::string_view modelManifestResourceName = "ModelManifest";
inline constexpr std::string_view modelManifestResourceExtension = "json";

// Decodes the manifest's JSON: every listed key required with its type (integers must be whole
// numbers within the 64-bit range), unknown keys ignored. Throws AIBenchmarkError
// (modelManifestInvalid) whose detail describes what could not be decoded.
CoreMLModelManifest decodeModelManifest(std::string_view json);

// Writes the keys in field order; throws std::invalid_argument for a non-finite number, which JSON
// cannot hold.
std::string encodeModelManifest(const CoreMLModelManifest& manifest);

namespace CoreMLBenchmarkRunner {

// The manifest's rules, in order; the first broken rule throws AIBenchmarkError
// (modelManifestInvalid) with its detail.
void validateManifest(const CoreMLModelManifest& manifest);

// Reads ModelManifest.json from the resource folder, decodes and validates it. Read again on every
// call: nothing is cached. Every failure is an AIBenchmarkError (modelManifestInvalid).
CoreMLModelManifest loadManifest(const std::filesystem::path& resourceDirectory);

// The same from the application's resource folder.
CoreMLModelManifest loadManifest();

}  // namespace CoreMLBenchmarkRunner

}  // namespace korvalen
