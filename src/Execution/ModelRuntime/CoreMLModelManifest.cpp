#include "Execution/ModelRuntime/CoreMLModelManifest.h"

#include "Model/AIBenchmarkError.h"
#include "Platform/Foundation/StrictJSON.h"
#include "Platform/System/Resources.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <set>

namespace korvalen {

namespace {

using json = nlohmann::json;

[[noreturn]] void fail(const std::string& detail)
{
    throw AIBenchmarkError::modelManifestInvalid(detail);
}

CoreMLModelEntry decodeEntry(const json& value, const std::string& path)
{
    const strictjson::ObjectReader object(value, path);
    CoreMLModelEntry entry;
    entry.resource = object.requiredString("resource");
    entry.filename = object.requiredString("filename");
    entry.role = object.requiredString("role");
    entry.inputSize = object.required("inputSize", strictjson::decodeInt64);
    entry.outputSize = object.required("outputSize", strictjson::decodeInt64);
    entry.seed = object.required("seed", strictjson::decodeInt64);
    entry.checksum = object.requiredDouble("checksum");
    entry.l2Norm = object.requiredDouble("l2Norm");
    entry.sample = object.required("sample", strictjson::decodeDoubleArray);
    entry.sha256 = object.requiredString("sha256");
    entry.sizeBytes = object.required("sizeBytes", strictjson::decodeInt64);
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

CoreMLModelManifest decodeModelManifest(std::string_view text)
{
    json document;
    try {
        document = json::parse(text.begin(), text.end());
    } catch (const json::exception& error) {
        // Not only syntax errors: a number such as 1e400 is out of range.
        fail(std::string("The manifest is not valid JSON (") + error.what() + ")");
    }
    try {
        const strictjson::ObjectReader root(document, "");
        CoreMLModelManifest manifest;
        manifest.schema = root.required("schema", strictjson::decodeInt64);
        manifest.models = root.required("models", [](const json& value, const std::string& path) {
            return strictjson::decodeArray(value, path, decodeEntry);
        });
        return manifest;
    } catch (const JSONDecodingError& error) {
        fail(error.what());
    } catch (const json::exception& error) {
        fail(error.what());
    }
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
                                    !entry.sample.empty() && std::int64_t(entry.sample.size()) <= entry.outputSize &&
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
    try {
        const auto path =
            sys::resourcePath(resourceDirectory, modelManifestResourceName, modelManifestResourceExtension);
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
    } catch (const AIBenchmarkError&) {
        throw;
    } catch (const std::exception& error) {
        // Whatever else goes wrong (memory, the file system) is reported as the manifest's fault.
        fail(error.what());
    }
}

CoreMLModelManifest loadManifest()
{
    return loadManifest(sys::resourceDirectory());
}

}  // namespace CoreMLBenchmarkRunner

}  // namespace korvalen
