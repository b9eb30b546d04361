// The GPU executor on the machine's OpenCL device (pocl here) against the CPU executor, and its
// failure paths on the scripted fake device.

#include "Platform/Inference/Executor.h"
#include "Platform/Inference/InferenceError.h"
#include "support/FakeGpu.h"
#include "support/GpuTestDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace korvalen::nn {
namespace {

using ::testing::HasSubstr;

// Widths that are not multiples of the kernel's four-wide steps nor of a work-group, every
// activation, and one layer wide enough to span several work-groups.
std::shared_ptr<const Network> oddNetwork()
{
    auto network = std::make_shared<Network>();
    network->name = "OddNet";
    network->inputSize = 7;
    const std::size_t widths[] = {7, 203, 5, 130, 3, 6};
    const Activation activations[] = {Activation::relu, Activation::tanh, Activation::sigmoid, Activation::linear,
                                      Activation::relu};
    float next = 0.3f;
    for (int l = 0; l < 5; ++l) {
        DenseLayer layer{widths[l], widths[l + 1], activations[l], {}, {}};
        const float scale = 1.5f / std::sqrt(float(layer.inputSize));
        for (std::size_t i = 0; i < layer.inputSize * layer.outputSize; ++i) {
            next = std::fmod(next * 7.3f + 0.37f, 2.0f) - 1.0f;
            layer.weights.push_back(next * scale);
        }
        for (std::size_t i = 0; i < layer.outputSize; ++i) {
            layer.bias.push_back(0.01f * float(i % 9) - 0.04f);
        }
        network->layers.push_back(std::move(layer));
    }
    network->outputSize = 6;
    return network;
}

std::vector<float> inputVector(std::size_t size, float phase)
{
    std::vector<float> input(size);
    for (std::size_t i = 0; i < size; ++i) {
        input[i] = std::sin(phase + 0.7f * float(i));
    }
    return input;
}

std::vector<float> run(const Executor& executor, const std::vector<float>& input, std::size_t outputs)
{
    std::vector<float> output(outputs, NAN);
    executor.run(input, output);
    return output;
}

TEST(GpuExecutor, AgreesWithTheCpuExecutor)
{
    KORVALEN_REQUIRE_GPU(device);
    const auto network = oddNetwork();
    const auto gpu = makeGpuExecutor(network, device);
    const auto cpu = makeCpuExecutor(network);
    EXPECT_EQ(gpu->name(), "GPU " + device->name());
    for (float phase : {0.0f, 1.0f, -2.5f}) {
        const auto input = inputVector(7, phase);
        const auto expected = run(*cpu, input, 6);
        const auto actual = run(*gpu, input, 6);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_NEAR(actual[i], expected[i], 1e-5f + 1e-5f * std::abs(expected[i])) << "output " << i;
        }
    }
}

TEST(GpuExecutor, ConcurrentPredictionsKeepTheirOwnTensors)
{
    KORVALEN_REQUIRE_GPU(device);
    const auto network = oddNetwork();
    const auto gpu = makeGpuExecutor(network, device);
    const auto cpu = makeCpuExecutor(network);
    std::vector<std::vector<float>> expected;
    for (int t = 0; t < 4; ++t) {
        expected.push_back(run(*cpu, inputVector(7, float(t)), 6));
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const auto input = inputVector(7, float(t));
            for (int i = 0; i < 25; ++i) {
                const auto output = run(*gpu, input, 6);
                for (std::size_t k = 0; k < 6; ++k) {
                    mismatches[t] += std::abs(output[k] - expected[t][k]) > 1e-4f ? 1 : 0;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, (std::vector<int>{0, 0, 0, 0}));
}

TEST(GpuExecutor, DeviceFailuresAreRuntimeErrors)
{
    testing::ScopedFakeGpu fake;
    const auto network = oddNetwork();
    const auto expectFailure = [&](const std::shared_ptr<testing::FakeGpuDevice>& device, const std::string& fragment,
                                   bool atRun) {
        try {
            auto executor = makeGpuExecutor(network, device);
            if (atRun) {
                run(*executor, inputVector(7, 0.0f), 6);
            }
            ADD_FAILURE() << "no failure, expected " << fragment;
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), Error::Code::executionFailed);
            EXPECT_THAT(error.what(), HasSubstr(fragment));
        }
    };

    auto compileFails = fake->addDevice("Broken compiler", 101);
    compileFails->libraryFailure = "line 3: error\nexpected ';'";
    expectFailure(compileFails, "do not compile on Broken compiler: line 3: error | expected ';'", false);

    auto noRoom = fake->addDevice("Tiny", 102);
    noRoom->failingAllocations = 1;
    expectFailure(noRoom, "cannot hold the weights of layer 0 of OddNet", false);

    auto failing = fake->addDevice("Failing", 103);
    failing->scriptCompletion(testing::FakeCompletion::failed("device lost"));
    expectFailure(failing, "could not run OddNet: device lost", true);

    // A healthy fake records one dispatch per layer, each as wide as its layer.
    auto healthy = fake->addDevice("Healthy", 104);
    std::vector<std::uint32_t> widths;
    healthy->onDispatch = [&](const gpu::DispatchCommand& command) { widths.push_back(command.grid.width); };
    const auto executor = makeGpuExecutor(network, healthy);
    run(*executor, inputVector(7, 0.0f), 6);
    EXPECT_EQ(widths, (std::vector<std::uint32_t>{203, 5, 130, 3, 6}));
    // A second prediction reuses the first one's buffers; the weights were uploaded once.
    const int allocations = healthy->allocations;
    run(*executor, inputVector(7, 1.0f), 6);
    EXPECT_EQ(healthy->allocations, allocations);
}

TEST(GpuExecutor, TheFactoryUsesThePreferredOrFirstDevice)
{
    testing::ScopedFakeGpu fake;
    const auto network = oddNetwork();
    EXPECT_EQ(makeDefaultGpuExecutor(network, std::nullopt), nullptr);  // no device: the CPU takes the work

    fake->addDevice("First", 201);
    fake->addDevice("Second", 202);
    EXPECT_EQ(makeDefaultGpuExecutor(network, std::nullopt)->name(), "GPU First");
    EXPECT_EQ(makeDefaultGpuExecutor(network, 202)->name(), "GPU Second");
    try {
        makeDefaultGpuExecutor(network, 203);
        ADD_FAILURE() << "built on a missing device";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), Error::Code::deviceUnavailable);
    }
    // The program is compiled once per device, whatever the number of models loaded on it.
    const int opens = fake->opens();
    makeDefaultGpuExecutor(network, 202);
    EXPECT_EQ(fake->opens(), opens);
}

}  // namespace
}  // namespace korvalen::nn
