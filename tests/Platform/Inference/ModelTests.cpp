#include "Platform/Inference/CompiledModel.h"
#include "Platform/Inference/InferenceError.h"
#include "Platform/Inference/Model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <fstream>

namespace korvalen::nn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// A three-layer network small enough to check by hand-written loops, with every activation.
Network smallNetwork()
{
    Network network;
    network.name = "TinyNet";
    network.inputSize = 5;
    network.outputSize = 3;
    const std::size_t widths[] = {5, 7, 4, 3};
    const Activation activations[] = {Activation::relu, Activation::tanh, Activation::sigmoid};
    float next = 0.1f;
    for (int l = 0; l < 3; ++l) {
        DenseLayer layer{widths[l], widths[l + 1], activations[l], {}, {}};
        for (std::size_t i = 0; i < layer.inputSize * layer.outputSize; ++i) {
            next = std::fmod(next * 7.3f + 0.37f, 2.0f) - 1.0f;
            layer.weights.push_back(next * 0.6f);
        }
        for (std::size_t i = 0; i < layer.outputSize; ++i) {
            layer.bias.push_back(0.05f * float(i) - 0.1f);
        }
        network.layers.push_back(layer);
    }
    return network;
}

std::vector<double> referenceOutput(const Network& network, const std::vector<float>& input)
{
    std::vector<double> x(input.begin(), input.end());
    for (const auto& layer : network.layers) {
        std::vector<double> y(layer.outputSize);
        for (std::size_t r = 0; r < layer.outputSize; ++r) {
            double sum = layer.bias[r];
            for (std::size_t c = 0; c < layer.inputSize; ++c) {
                sum += double(layer.weights[r * layer.inputSize + c]) * x[c];
            }
            switch (layer.activation) {
            case Activation::linear: y[r] = sum; break;
            case Activation::relu: y[r] = std::max(sum, 0.0); break;
            case Activation::tanh: y[r] = std::tanh(sum); break;
            case Activation::sigmoid: y[r] = 1.0 / (1.0 + std::exp(-sum)); break;
            }
        }
        x = y;
    }
    return x;
}

FeatureMap features(std::string name, MultiArray value)
{
    FeatureMap map;
    map.emplace(std::move(name), std::move(value));
    return map;
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("korvalen-nn-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        folder_ = root_ / "TinyNet.mlmodelc";
        writeCompiledModel(folder_, smallNetwork());
    }
    void TearDown() override
    {
        setGpuExecutorFactory({});
        fs::remove_all(root_);
    }

    void expectLoadError(Error::Code code, const std::string& fragment)
    {
        try {
            Model::load(folder_);
            ADD_FAILURE() << "loaded a broken model";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), code) << error.what();
            EXPECT_THAT(error.what(), HasSubstr(fragment));
        }
    }

    void rewrite(std::string_view file, const std::string& contents)
    {
        std::ofstream(folder_ / file, std::ios::binary | std::ios::trunc) << contents;
    }

    std::string read(std::string_view file)
    {
        std::ifstream stream(folder_ / file, std::ios::binary);
        return {std::istreambuf_iterator<char>(stream), {}};
    }

    fs::path root_;
    fs::path folder_;
};

TEST_F(ModelTest, PredictionMatchesTheLayersComputedDirectly)
{
    const auto model = Model::load(folder_, {ComputeUnits::cpuOnly, std::nullopt});
    EXPECT_EQ(model.executorName(), "CPU");
    EXPECT_EQ(model.input().name, "input");
    EXPECT_EQ(model.input().shape, std::vector<std::size_t>{5});
    EXPECT_EQ(model.output().shape, std::vector<std::size_t>{3});

    const std::vector<float> input{0.5f, -1.0f, 0.25f, 2.0f, -0.75f};
    const auto outputs = model.predict(features("input", MultiArray({5}, input)));
    ASSERT_EQ(outputs.count("output"), 1u);
    const auto& output = outputs.at("output");
    EXPECT_EQ(output.shape(), std::vector<std::size_t>{3});
    const auto expected = referenceOutput(smallNetwork(), input);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(output.value(i), expected[i], 1e-5) << i;
    }

    // Extra features are ignored, as they are by any model runtime.
    FeatureMap withExtra = features("input", MultiArray({5}, input));
    withExtra.emplace("unused", MultiArray({2}));
    EXPECT_EQ(model.predict(withExtra).at("output").value(0), output.value(0));
}

TEST_F(ModelTest, WrongInputsAreRefusedWithClearText)
{
    const auto model = Model::load(folder_);
    struct Case {
        FeatureMap features;
        std::string fragment;
    };
    const std::vector<Case> cases{
        {features("inputs", MultiArray({5})),
         "requires the input feature \"input\", which was not provided (given: \"inputs\")"},
        {FeatureMap{}, "no features were given"},
        {features("input", MultiArray({4})), "has shape [4] but the model TinyNet expects [5]"},
        {features("input", MultiArray({1, 5})), "has shape [1, 5]"},
        {features("input", MultiArray()), "has shape []"},
    };
    for (const auto& c : cases) {
        try {
            model.predict(c.features);
            ADD_FAILURE() << "accepted " << c.fragment;
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), Error::Code::invalidInput);
            EXPECT_THAT(error.what(), HasSubstr(c.fragment));
        }
    }
    EXPECT_THROW(MultiArray({5}, std::vector<float>(4)), Error);
    EXPECT_THROW(MultiArray({3, 0}), Error);
    // A corrupt size fails as an allocation error instead of taking the machine's memory.
    EXPECT_THROW(MultiArray({std::size_t(1) << 40}), Error);
    EXPECT_THROW(MultiArray({std::size_t(1) << 20, std::size_t(1) << 20}), Error);
}

TEST_F(ModelTest, MissingFolderIsReported)
{
    fs::remove_all(folder_);
    expectLoadError(Error::Code::modelNotFound, "No compiled model at");
}

TEST_F(ModelTest, TruncatedOrForeignWeightsAreRefusedBeforeReading)
{
    const std::string weights = read(weightsFileName);
    rewrite(weightsFileName, weights.substr(0, weights.size() - 4));
    expectLoadError(Error::Code::invalidModel, "holds " + std::to_string(weights.size() - 4) +
                                                   " bytes where the description needs " +
                                                   std::to_string(weights.size()));

    rewrite(weightsFileName, weights + "junk");
    expectLoadError(Error::Code::invalidModel, "bytes where the description needs");

    rewrite(weightsFileName, "");
    expectLoadError(Error::Code::invalidModel, "holds 0 bytes");

    std::string retagged = weights;
    retagged[0] = 'X';
    rewrite(weightsFileName, retagged);
    expectLoadError(Error::Code::invalidModel, "does not belong to this description");

    fs::remove(folder_ / weightsFileName);
    expectLoadError(Error::Code::invalidModel, "weights.bin cannot be read");
}

TEST_F(ModelTest, CorruptDescriptionsAreRefused)
{
    const std::string original = read(descriptionFileName);
    const auto replaced = [&](const std::string& from, const std::string& to, std::string text = {}) {
        if (text.empty()) {
            text = original;
        }
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    struct Case {
        std::string description;
        std::string fragment;
    };
    const std::vector<Case> cases{
        {original.substr(0, original.size() / 2), "is not valid JSON"},
        {"[]", "not a JSON object"},
        {replaced("\"korvalen-dense-network\"", "\"something-else\""), "not a dense network description"},
        {replaced("\"formatVersion\": 1", "\"formatVersion\": 2"), "format version is not supported"},
        {replaced("\"size\": 5", "\"size\": 6"), "layer 0 takes 5 values but receives 6"},
        {replaced("\"size\": 3", "\"size\": 4"), "the last layer gives 3 values"},
        {replaced("\"size\": 5", "\"size\": -5"), "must be a whole number"},
        {replaced("\"size\": 5", "\"size\": 5.5"), "must be a whole number"},
        {replaced("\"size\": 5", "\"size\": 99999999999"), "must be a whole number"},
        {replaced("\"activation\": \"tanh\"", "\"activation\": \"swish\""), "unknown activation"},
        {replaced("\"name\": \"input\"", "\"name\": \"\""), "must be a non-empty string"},
        {replaced("\"floatCount\": 89", "\"floatCount\": 90"), "counts 90 weights but its layers need 89"},
        {replaced("\"type\": \"dense\"", "\"type\": \"conv\""), "is not a dense layer"},
        // Huge claimed widths are refused from the description alone, before any allocation.
        {replaced("\"outputSize\": 4", "\"outputSize\": 1048576",
                  replaced("\"inputSize\": 7", "\"inputSize\": 1048576")),
         "the layers need more than"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fragment);
        rewrite(descriptionFileName, c.description);
        expectLoadError(Error::Code::invalidModel, c.fragment);
    }
    fs::remove(folder_ / descriptionFileName);
    expectLoadError(Error::Code::invalidModel, "model.json cannot be read");
}

TEST_F(ModelTest, EveryLoadReadsTheFolderAgain)
{
    const std::vector<float> input(5, 0.5f);
    const auto first = Model::load(folder_).predict(features("input", MultiArray({5}, input))).at("output");

    Network changed = smallNetwork();
    for (float& bias : changed.layers.back().bias) {
        bias += 3.0f;
    }
    writeCompiledModel(folder_, changed);
    const auto second = Model::load(folder_).predict(features("input", MultiArray({5}, input))).at("output");
    EXPECT_GT(second.value(0), first.value(0));
}

// A stand-in GPU executor that records where it was asked to run.
class FakeGpuExecutor final : public Executor {
public:
    explicit FakeGpuExecutor(std::optional<std::uint64_t> device) : device_(device) {}
    std::string name() const override { return "GPU " + (device_ ? std::to_string(*device_) : std::string("default")); }
    void run(std::span<const float>, std::span<float> output) const override
    {
        std::fill(output.begin(), output.end(), 42.0f);
    }

private:
    std::optional<std::uint64_t> device_;
};

TEST_F(ModelTest, ComputeUnitsChooseTheExecutor)
{
    // No GPU device: every GPU-capable configuration runs on the CPU.
    setGpuExecutorFactory([](auto, auto) { return std::unique_ptr<Executor>(); });
    EXPECT_EQ(Model::load(folder_, {ComputeUnits::all, std::nullopt}).executorName(), "CPU");
    EXPECT_EQ(Model::load(folder_, {ComputeUnits::cpuAndGPU, 7}).executorName(), "CPU");

    setGpuExecutorFactory([](auto, std::optional<std::uint64_t> device) -> std::unique_ptr<Executor> {
        if (device && *device != 7) {
            throw Error(Error::Code::deviceUnavailable, "No GPU device with identifier " + std::to_string(*device));
        }
        return std::make_unique<FakeGpuExecutor>(device);
    });
    EXPECT_EQ(Model::load(folder_, {ComputeUnits::cpuOnly, 7}).executorName(), "CPU");
    EXPECT_EQ(Model::load(folder_, {ComputeUnits::all, std::nullopt}).executorName(), "GPU default");
    const auto onDevice = Model::load(folder_, {ComputeUnits::cpuAndGPU, 7});
    EXPECT_EQ(onDevice.executorName(), "GPU 7");
    EXPECT_EQ(onDevice.predict(features("input", MultiArray({5}))).at("output").value(2), 42.0);
    try {
        Model::load(folder_, {ComputeUnits::cpuAndGPU, 8});
        ADD_FAILURE() << "loaded on a missing device";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), Error::Code::deviceUnavailable);
    }
}

TEST_F(ModelTest, NeuralEngineIsRefusedBeforeAnyFileIsRead)
{
    for (bool folderExists : {true, false}) {
        if (!folderExists) {
            fs::remove_all(folder_);
        }
        try {
            Model::load(folder_, {ComputeUnits::cpuAndNeuralEngine, std::nullopt});
            ADD_FAILURE() << "loaded for the Neural Engine";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), Error::Code::unsupportedComputeUnits);
            EXPECT_STREQ(error.what(),
                         "The compute units CPU and Neural Engine cannot be used: this system has no Neural Engine.");
        }
    }
}

}  // namespace
}  // namespace korvalen::nn
