// Writes the three compiled models and ModelManifest.json into a resource folder.
//
// The networks are plain dense stacks whose weights come from a seeded SplitMix64 stream, so every
// build produces the same files. The manifest's references (checksum, L2 norm, leading sample) are
// the models' own outputs, computed by the runtime the benchmark uses on the very input the
// benchmark feeds them, and every model is checked against its entry before the manifest is written.

#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"
#include "Execution/ModelRuntime/CoreMLModelManifest.h"
#include "Platform/Inference/CompiledModel.h"
#include "Platform/Inference/InferenceError.h"
#include "Platform/Inference/Model.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace korvalen;

// SplitMix64, mapped to floats in [-1, 1).
class WeightStream {
public:
    explicit WeightStream(std::uint64_t seed) : state_(seed) {}

    float next()
    {
        state_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return float(double(z >> 40) * 0x1.0p-24 * 2.0 - 1.0);
    }

private:
    std::uint64_t state_;
};

struct LayerRecipe {
    std::size_t width;
    nn::Activation activation;
};

struct ModelRecipe {
    const char* resource;
    const char* role;
    std::size_t inputSize;
    std::vector<LayerRecipe> layers;
    std::uint64_t weightSeed;
    float outputBias;  // added to every output unit, so output sums stay well away from zero
    std::int64_t inputSeed;
};

const std::vector<ModelRecipe>& recipes()
{
    using nn::Activation;
    static const std::vector<ModelRecipe> list{
        {"OlvaneVisionNet",
         "image encoder, 1024 features to a 512-wide embedding",
         1024,
         {{1536, Activation::relu}, {1024, Activation::relu}, {512, Activation::linear}},
         0x5649534E,
         0.25f,
         1024},
        {"OlvaneLanguageNet",
         "text encoder, 768 token features to a 512-wide embedding",
         768,
         {{1536, Activation::tanh}, {1536, Activation::tanh}, {512, Activation::tanh}},
         0x4C414E47,
         0.3f,
         2048},
        {"OlvaneAudioNet",
         "acoustic classifier, 640 filter-bank features to 256 class scores",
         640,
         {{1536, Activation::relu}, {1024, Activation::relu}, {256, Activation::sigmoid}},
         0x41554449,
         0.2f,
         4096},
    };
    return list;
}

nn::Network buildNetwork(const ModelRecipe& recipe)
{
    nn::Network network;
    network.name = recipe.resource;
    network.inputName = std::string(CoreMLBenchmarkRunner::inputFeatureName);
    network.outputName = std::string(CoreMLBenchmarkRunner::outputFeatureName);
    network.inputSize = recipe.inputSize;
    network.outputSize = recipe.layers.back().width;

    WeightStream stream(recipe.weightSeed);
    std::size_t fanIn = recipe.inputSize;
    for (std::size_t index = 0; index < recipe.layers.size(); ++index) {
        const auto& layerRecipe = recipe.layers[index];
        nn::DenseLayer layer;
        layer.inputSize = fanIn;
        layer.outputSize = layerRecipe.width;
        layer.activation = layerRecipe.activation;
        // Uniform weights scaled to keep activations near unit size through the stack (a larger
        // gain under ReLU, which silences half its inputs).
        const float gain = layerRecipe.activation == nn::Activation::relu ? 6.0f : 3.0f;
        const float scale = std::sqrt(gain / float(fanIn));
        layer.weights.resize(fanIn * layerRecipe.width);
        for (float& weight : layer.weights) {
            weight = stream.next() * scale;
        }
        const bool last = index + 1 == recipe.layers.size();
        layer.bias.resize(layerRecipe.width);
        for (float& bias : layer.bias) {
            bias = stream.next() * 0.05f + (last ? recipe.outputBias : 0.0f);
        }
        network.layers.push_back(std::move(layer));
        fanIn = layerRecipe.width;
    }
    return network;
}

struct FolderDigest {
    std::string sha256;
    std::int64_t sizeBytes = 0;
};

// SHA-256 over the folder's files in name order, and their total size.
FolderDigest digestFolder(const fs::path& folder)
{
    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(folder)) {
        if (item.is_regular_file()) {
            files.push_back(item.path());
        }
    }
    std::sort(files.begin(), files.end());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    FolderDigest digest;
    std::vector<char> buffer(1 << 20);
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        while (stream) {
            stream.read(buffer.data(), std::streamsize(buffer.size()));
            const auto got = stream.gcount();
            hash.addData(QByteArrayView(buffer.data(), static_cast<qsizetype>(got)));
            digest.sizeBytes += got;
        }
        if (stream.bad()) {
            throw std::runtime_error("cannot read " + file.string());
        }
    }
    digest.sha256 = hash.result().toHex().toStdString();
    return digest;
}

CoreMLModelEntry makeEntry(const fs::path& resources, const ModelRecipe& recipe)
{
    const std::string filename = std::string(recipe.resource) + "." + std::string(nn::compiledModelExtension);
    const fs::path folder = resources / filename;
    fs::remove_all(folder);
    nn::writeCompiledModel(folder, buildNetwork(recipe));

    CoreMLModelEntry entry;
    entry.resource = recipe.resource;
    entry.filename = filename;
    entry.role = recipe.role;
    entry.inputSize = std::int64_t(recipe.inputSize);
    entry.outputSize = std::int64_t(recipe.layers.back().width);
    entry.seed = recipe.inputSeed;

    // The reference is what the CPU executor computes from the written files.
    const auto model = nn::Model::load(folder, {nn::ComputeUnits::cpuOnly, std::nullopt});
    nn::FeatureMap features;
    features.emplace(std::string(CoreMLBenchmarkRunner::inputFeatureName), CoreMLBenchmarkRunner::makeInput(entry));
    const auto outputs = model.predict(features);
    const nn::MultiArray& output = outputs.at(std::string(CoreMLBenchmarkRunner::outputFeatureName));
    double sum = 0;
    double squares = 0;
    for (std::size_t i = 0; i < output.count(); ++i) {
        sum += output.value(i);
        squares += output.value(i) * output.value(i);
    }
    entry.checksum = sum;
    entry.l2Norm = std::sqrt(squares);
    for (std::size_t i = 0; i < std::min<std::size_t>(8, output.count()); ++i) {
        entry.sample.push_back(output.value(i));
    }
    const auto digest = digestFolder(folder);
    entry.sha256 = digest.sha256;
    entry.sizeBytes = digest.sizeBytes;

    // A sum near zero would make the relative checksum test meaningless.
    if (!(std::abs(sum) >= 0.05 * double(output.count()))) {
        throw std::runtime_error(entry.resource + ": output sum " + std::to_string(sum) + " is too close to zero");
    }
    if (!CoreMLBenchmarkRunner::validate(output, entry).valid) {
        throw std::runtime_error(entry.resource + ": output does not validate against its own reference");
    }
    std::printf("%s: %zu parameters, %lld bytes, output sum %.6f, L2 norm %.6f\n", entry.resource.c_str(),
                model.network().parameterCount(), static_cast<long long>(entry.sizeBytes), sum, entry.l2Norm);
    return entry;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <resource folder>\n", argv[0]);
        return 2;
    }
    try {
        const fs::path resources(argv[1]);
        fs::create_directories(resources);
        CoreMLModelManifest manifest;
        manifest.schema = 1;
        for (const auto& recipe : recipes()) {
            manifest.models.push_back(makeEntry(resources, recipe));
        }
        CoreMLBenchmarkRunner::validateManifest(manifest);

        // Written last and renamed into place, so a build that stops half-way never leaves a
        // manifest that looks complete.
        const fs::path target = resources / "ModelManifest.json";
        const fs::path temporary = resources / "ModelManifest.json.tmp";
        {
            std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
            stream << encodeModelManifest(manifest);
            if (!stream.flush()) {
                throw std::runtime_error("cannot write " + temporary.string());
            }
        }
        fs::rename(temporary, target);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make-models: %s\n", error.what());
        return 1;
    }
}
