#include "Platform/Inference/CompiledModel.h"

#include "Platform/Inference/InferenceError.h"

#include <nlohmann/json.hpp>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>

namespace korvalen::nn {

static_assert(std::endian::native == std::endian::little, "weights are stored little-endian");

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr std::string_view formatTag = "korvalen-dense-network";
constexpr int formatVersion = 1;
constexpr char weightsTag[8] = {'K', 'V', 'N', 'N', 'W', 'T', '0', '1'};
constexpr std::uint64_t weightsHeaderBytes = 16;

// Bounds that keep a corrupt description from asking for absurd allocations.
constexpr std::uint64_t maxDescriptionBytes = 1 << 20;
constexpr std::uint64_t maxWidth = 1 << 20;
constexpr std::size_t maxLayers = 256;
constexpr std::uint64_t maxFloats = std::uint64_t(1) << 28;  // 1 GiB of weights

[[noreturn]] void invalid(const fs::path& folder, const std::string& why)
{
    throw Error(Error::Code::invalidModel, "The compiled model " + folder.filename().string() + " is invalid: " + why);
}

const json& member(const fs::path& folder, const json& object, const char* key, const std::string& where)
{
    auto it = object.find(key);
    if (it == object.end()) {
        invalid(folder, where + " has no \"" + key + "\"");
    }
    return *it;
}

std::string stringMember(const fs::path& folder, const json& object, const char* key, const std::string& where)
{
    const json& value = member(folder, object, key, where);
    if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
        invalid(folder, where + " \"" + key + "\" must be a non-empty string");
    }
    return value.get<std::string>();
}

std::uint64_t widthMember(const fs::path& folder, const json& object, const char* key, const std::string& where,
                          std::uint64_t upperBound)
{
    const json& value = member(folder, object, key, where);
    // Only JSON integers: nlohmann would truncate 3.5 or wrap -1 without complaint.
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() == 0 || value.get<std::uint64_t>() > upperBound) {
        invalid(folder, where + " \"" + key + "\" must be a whole number from 1 to " + std::to_string(upperBound));
    }
    return value.get<std::uint64_t>();
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string readDescription(const fs::path& folder)
{
    const fs::path path = folder / descriptionFileName;
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error) {
        invalid(folder, std::string(descriptionFileName) + " cannot be read (" + error.message() + ")");
    }
    if (size > maxDescriptionBytes) {
        invalid(folder,
                std::string(descriptionFileName) + " is larger than " + std::to_string(maxDescriptionBytes) + " bytes");
    }
    std::ifstream stream(path, std::ios::binary);
    std::string text(size, '\0');
    if (!stream.read(text.data(), std::streamsize(size))) {
        invalid(folder, std::string(descriptionFileName) + " cannot be read");
    }
    return text;
}

// The network's shape from the description, with empty weight vectors.
Network parseDescription(const fs::path& folder, const std::string& text, std::uint64_t& floatCount)
{
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& error) {
        invalid(folder, std::string(descriptionFileName) + " is not valid JSON (" + error.what() + ")");
    }
    if (!document.is_object()) {
        invalid(folder, "the description is not a JSON object");
    }
    const json& format = member(folder, document, "format", "the description");
    if (!format.is_string() || format.get<std::string>() != formatTag) {
        invalid(folder, "the description is not a dense network description");
    }
    const json& version = member(folder, document, "formatVersion", "the description");
    if (!version.is_number_integer() || version.get<std::int64_t>() != formatVersion) {
        invalid(folder, "the description's format version is not supported");
    }

    Network network;
    network.name = stringMember(folder, document, "name", "the description");
    const json& input = member(folder, document, "input", "the description");
    const json& output = member(folder, document, "output", "the description");
    if (!input.is_object() || !output.is_object()) {
        invalid(folder, "\"input\" and \"output\" must be objects");
    }
    network.inputName = stringMember(folder, input, "name", "the input");
    network.inputSize = widthMember(folder, input, "size", "the input", maxWidth);
    network.outputName = stringMember(folder, output, "name", "the output");
    network.outputSize = widthMember(folder, output, "size", "the output", maxWidth);

    const json& layers = member(folder, document, "layers", "the description");
    if (!layers.is_array() || layers.empty() || layers.size() > maxLayers) {
        invalid(folder, "\"layers\" must be an array of 1 to " + std::to_string(maxLayers) + " layers");
    }
    std::uint64_t expectedFloats = 0;
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const json& entry = layers[i];
        const std::string where = "layer " + std::to_string(i);
        if (!entry.is_object()) {
            invalid(folder, where + " is not an object");
        }
        if (stringMember(folder, entry, "type", where) != "dense") {
            invalid(folder, where + " is not a dense layer");
        }
        DenseLayer layer;
        layer.inputSize = widthMember(folder, entry, "inputSize", where, maxWidth);
        layer.outputSize = widthMember(folder, entry, "outputSize", where, maxWidth);
        const auto activation = activationFromName(stringMember(folder, entry, "activation", where));
        if (!activation) {
            invalid(folder, where + " has an unknown activation");
        }
        layer.activation = *activation;
        // Widths are at most 2^20, so the product cannot overflow 64 bits.
        expectedFloats += std::uint64_t(layer.inputSize) * layer.outputSize + layer.outputSize;
        if (expectedFloats > maxFloats) {
            invalid(folder, "the layers need more than " + std::to_string(maxFloats) + " weights");
        }
        network.layers.push_back(std::move(layer));
    }

    const json& weights = member(folder, document, "weights", "the description");
    if (!weights.is_object()) {
        invalid(folder, "\"weights\" must be an object");
    }
    floatCount = widthMember(folder, weights, "floatCount", "the weights", maxFloats);
    if (floatCount != expectedFloats) {
        invalid(folder, "the description counts " + std::to_string(floatCount) + " weights but its layers need " +
                            std::to_string(expectedFloats));
    }
    return network;
}

void checkChain(const fs::path& folder, const Network& network)
{
    std::size_t width = network.inputSize;
    for (std::size_t i = 0; i < network.layers.size(); ++i) {
        if (network.layers[i].inputSize != width) {
            invalid(folder, "layer " + std::to_string(i) + " takes " + std::to_string(network.layers[i].inputSize) +
                                " values but receives " + std::to_string(width));
        }
        width = network.layers[i].outputSize;
    }
    if (width != network.outputSize) {
        invalid(folder, "the last layer gives " + std::to_string(width) + " values but the output \"" +
                            network.outputName + "\" has " + std::to_string(network.outputSize));
    }
}

void readWeights(const fs::path& folder, Network& network, std::uint64_t floatCount)
{
    const fs::path path = folder / weightsFileName;
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error) {
        invalid(folder, std::string(weightsFileName) + " cannot be read (" + error.message() + ")");
    }
    const std::uint64_t expectedBytes = weightsHeaderBytes + floatCount * sizeof(float);
    if (size != expectedBytes) {
        invalid(folder, std::string(weightsFileName) + " holds " + std::to_string(size) +
                            " bytes where the description needs " + std::to_string(expectedBytes));
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        invalid(folder, std::string(weightsFileName) + " cannot be opened");
    }
    char header[weightsHeaderBytes];
    if (std::fread(header, 1, sizeof header, file.get()) != sizeof header) {
        invalid(folder, std::string(weightsFileName) + " is truncated");
    }
    std::uint64_t storedCount = 0;
    std::memcpy(&storedCount, header + 8, sizeof storedCount);
    if (std::memcmp(header, weightsTag, sizeof weightsTag) != 0 || storedCount != floatCount) {
        invalid(folder, std::string(weightsFileName) + " does not belong to this description");
    }
    const auto readFloats = [&](std::vector<float>& into, std::size_t count) {
        into.resize(count);
        if (std::fread(into.data(), sizeof(float), count, file.get()) != count) {
            invalid(folder, std::string(weightsFileName) + " is truncated");
        }
    };
    for (auto& layer : network.layers) {
        readFloats(layer.weights, layer.inputSize * layer.outputSize);
        readFloats(layer.bias, layer.outputSize);
    }
}

}  // namespace

void checkNetwork(const Network& network)
{
    const fs::path folder(network.name.empty() ? std::string("(unnamed)") : network.name);
    if (network.inputName.empty() || network.outputName.empty() || network.layers.empty()) {
        invalid(folder, "it needs named input and output features and at least one layer");
    }
    checkChain(folder, network);
    for (std::size_t i = 0; i < network.layers.size(); ++i) {
        const auto& layer = network.layers[i];
        if (layer.weights.size() != layer.inputSize * layer.outputSize || layer.bias.size() != layer.outputSize) {
            invalid(folder, "layer " + std::to_string(i) + " has weights or bias of the wrong size");
        }
    }
}

Network readCompiledModel(const fs::path& folder)
{
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        throw Error(Error::Code::modelNotFound, "No compiled model at " + folder.string());
    }
    std::uint64_t floatCount = 0;
    Network network = parseDescription(folder, readDescription(folder), floatCount);
    checkChain(folder, network);
    readWeights(folder, network, floatCount);
    return network;
}

void writeCompiledModel(const fs::path& folder, const Network& network)
{
    checkNetwork(network);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        throw Error(Error::Code::writeFailed, "Cannot create " + folder.string() + ": " + error.message());
    }

    json layers = json::array();
    std::uint64_t floatCount = 0;
    for (const auto& layer : network.layers) {
        layers.push_back({{"type", "dense"},
                          {"inputSize", layer.inputSize},
                          {"outputSize", layer.outputSize},
                          {"activation", activationName(layer.activation)}});
        floatCount += layer.weights.size() + layer.bias.size();
    }
    const json description = {
        {"format", formatTag},
        {"formatVersion", formatVersion},
        {"name", network.name},
        {"input", {{"name", network.inputName}, {"size", network.inputSize}}},
        {"output", {{"name", network.outputName}, {"size", network.outputSize}}},
        {"layers", layers},
        {"weights", {{"floatCount", floatCount}}},
    };
    {
        std::ofstream stream(folder / descriptionFileName, std::ios::binary | std::ios::trunc);
        stream << description.dump(2) << '\n';
        if (!stream) {
            throw Error(Error::Code::writeFailed, "Cannot write " + (folder / descriptionFileName).string());
        }
    }

    std::ofstream stream(folder / weightsFileName, std::ios::binary | std::ios::trunc);
    stream.write(weightsTag, sizeof weightsTag);
    stream.write(reinterpret_cast<const char*>(&floatCount), sizeof floatCount);
    for (const auto& layer : network.layers) {
        stream.write(reinterpret_cast<const char*>(layer.weights.data()),
                     std::streamsize(layer.weights.size() * sizeof(float)));
        stream.write(reinterpret_cast<const char*>(layer.bias.data()),
                     std::streamsize(layer.bias.size() * sizeof(float)));
    }
    stream.close();
    if (!stream) {
        throw Error(Error::Code::writeFailed, "Cannot write " + (folder / weightsFileName).string());
    }
}

}  // namespace korvalen::nn
