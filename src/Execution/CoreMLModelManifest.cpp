#include "Execution/CoreMLModelManifest.h"

#include "Platform/System/Resources.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>

namespace korvalen {

namespace {

using json = nlohmann::json;

[[noreturn]] void fail(const std::string& detail)
{
    throw CoreMLManifestError(detail);
}

// A readable path for a value in the document: models[2].sha256.
std::string keyPath(const std::string& parent, std::string_view key)
{
    return parent.empty() ? std::string(key) : parent + "." + std::string(key);
}

const json& required(const json& object, std::string_view key, const std::string& parent)
{
    const auto it = object.find(key);
    if (it == object.end()) {
        fail("The key \"" + keyPath(parent, key) + "\" is missing");
    }
    return *it;
}

[[noreturn]] void wrongType(std::string_view expected, std::string_view key, const std::string& parent)
{
    fail("The value of \"" + keyPath(parent, key) + "\" is not " + std::string(expected));
}

std::int64_t integerValue(const json& object, std::string_view key, const std::string& parent)
{
    const json& value = required(object, key, parent);
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            wrongType("an integer within the 64-bit range", key, parent);
        }
        return std::int64_t(value.get<std::uint64_t>());
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        // 3.0 is a whole number and reads as 3; 3.5 or 1e300 is not an integer.
        const double number = value.get<double>();
        if (std::isfinite(number) && number == std::trunc(number) && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            return std::int64_t(number);
        }
    }
    wrongType("an integer", key, parent);
}

double numberValue(const json& value, std::string_view key, const std::string& parent)
{
    if (!value.is_number()) {
        wrongType("a number", key, parent);
    }
    return value.get<double>();
}

std::string stringValue(const json& object, std::string_view key, const std::string& parent)
{
    const json& value = required(object, key, parent);
    if (!value.is_string()) {
        wrongType("a string", key, parent);
    }
    return value.get<std::string>();
}

CoreMLModelEntry decodeEntry(const json& object, const std::string& where)
{
    if (!object.is_object()) {
        fail("The value of \"" + where + "\" is not an object");
    }
    CoreMLModelEntry entry;
    entry.resource = stringValue(object, "resource", where);
    entry.filename = stringValue(object, "filename", where);
    entry.role = stringValue(object, "role", where);
    entry.inputSize = integerValue(object, "inputSize", where);
    entry.outputSize = integerValue(object, "outputSize", where);
    entry.seed = integerValue(object, "seed", where);
    entry.checksum = numberValue(required(object, "checksum", where), "checksum", where);
    entry.l2Norm = numberValue(required(object, "l2Norm", where), "l2Norm", where);
    const json& sample = required(object, "sample", where);
    if (!sample.is_array()) {
        wrongType("an array of numbers", "sample", where);
    }
    for (std::size_t i = 0; i < sample.size(); ++i) {
        entry.sample.push_back(numberValue(sample[i], "sample[" + std::to_string(i) + "]", where));
    }
    entry.sha256 = stringValue(object, "sha256", where);
    entry.sizeBytes = integerValue(object, "sizeBytes", where);
    return entry;
}

bool isLowerHexDigest(const std::string& text)
{
    if (text.size() != 64) {
        return false;
    }
    for (char c : text) {
        const char lower = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        if (!((lower >= '0' && lower <= '9') || (lower >= 'a' && lower <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool finiteNumber(double value)
{
    return std::isfinite(value);
}

}  // namespace

CoreMLManifestError::CoreMLManifestError(std::string detail)
    : std::runtime_error("Core ML model manifest is invalid: " + detail), detail_(std::move(detail))
{
}

CoreMLModelManifest decodeModelManifest(std::string_view text)
{
    json document;
    try {
        document = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& error) {
        fail(std::string("The manifest is not valid JSON (") + error.what() + ")");
    }
    if (!document.is_object()) {
        fail("The manifest is not a JSON object");
    }
    CoreMLModelManifest manifest;
    manifest.schema = integerValue(document, "schema", "");
    const json& models = required(document, "models", "");
    if (!models.is_array()) {
        wrongType("an array", "models", "");
    }
    for (std::size_t i = 0; i < models.size(); ++i) {
        manifest.models.push_back(decodeEntry(models[i], "models[" + std::to_string(i) + "]"));
    }
    return manifest;
}

std::string encodeModelManifest(const CoreMLModelManifest& manifest)
{
    const auto finite = [](double value) {
        if (!std::isfinite(value)) {
            throw std::invalid_argument("A manifest number is not finite");
        }
        return value;
    };
    // ordered_json keeps the keys in field order.
    nlohmann::ordered_json document;
    document["schema"] = manifest.schema;
    document["models"] = nlohmann::ordered_json::array();
    for (const auto& entry : manifest.models) {
        nlohmann::ordered_json object;
        object["resource"] = entry.resource;
        object["filename"] = entry.filename;
        object["role"] = entry.role;
        object["inputSize"] = entry.inputSize;
        object["outputSize"] = entry.outputSize;
        object["seed"] = entry.seed;
        object["checksum"] = finite(entry.checksum);
        object["l2Norm"] = finite(entry.l2Norm);
        object["sample"] = nlohmann::ordered_json::array();
        for (double value : entry.sample) {
            object["sample"].push_back(finite(value));
        }
        object["sha256"] = entry.sha256;
        object["sizeBytes"] = entry.sizeBytes;
        document["models"].push_back(std::move(object));
    }
    return document.dump(2) + "\n";
}

namespace CoreMLBenchmarkRunner {

void validateManifest(const CoreMLModelManifest& manifest)
{
    if (manifest.schema != 1 || manifest.models.empty()) {
        fail("Unsupported or empty manifest");
    }
    std::set<std::string> seen;
    for (const auto& entry : manifest.models) {
        if (entry.resource.empty() || !seen.insert(entry.resource).second) {
            fail("Model resources must be non-empty and unique");
        }
        if (entry.filename.empty() || entry.role.empty()) {
            fail("Model metadata is incomplete for " + entry.resource);
        }
        if (entry.inputSize < 1 || entry.outputSize < 1 || entry.sizeBytes < 1) {
            fail("Model dimensions and size must be positive for " + entry.resource);
        }
        const bool referenceValid = finiteNumber(entry.checksum) && finiteNumber(entry.l2Norm) && entry.l2Norm > 0 &&
                                    !entry.sample.empty() &&
                                    std::int64_t(entry.sample.size()) <= entry.outputSize &&
                                    std::all_of(entry.sample.begin(), entry.sample.end(), finiteNumber);
        if (!referenceValid) {
            fail("Model validation reference is invalid for " + entry.resource);
        }
        if (!isLowerHexDigest(entry.sha256)) {
            fail("Model SHA-256 is invalid for " + entry.resource);
        }
    }
}

CoreMLModelManifest loadManifest(const std::filesystem::path& resourceDirectory)
{
    const auto path = sys::resourcePath(resourceDirectory, modelManifestResourceName, modelManifestResourceExtension);
    if (!path) {
        fail("ModelManifest.json is missing");
    }
    std::ifstream stream(*path, std::ios::binary);
    std::string bytes;
    if (stream.is_open()) {
        bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    }
    if (!stream.is_open() || stream.bad()) {
        fail("ModelManifest.json cannot be read");
    }
    CoreMLModelManifest manifest = decodeModelManifest(bytes);
    validateManifest(manifest);
    return manifest;
}

CoreMLModelManifest loadManifest()
{
    return loadManifest(sys::resourceDirectory());
}

}  // namespace CoreMLBenchmarkRunner

}  // namespace korvalen
