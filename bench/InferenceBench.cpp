// The neural-model runtime: predictions per second of each generated model through nn::Model on the
// CPU executor against the same dense layers run as direct OpenBLAS calls, the same on the GPU
// executor, plus each model's size and load time on both. After the Google Benchmark cases, a
// side-by-side comparison alternates the CPU executor and the direct calls in rounds and prints
// the ratio of the best rounds (target: at least 0.9), then a table of sizes and times.

#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"
#include "Platform/Inference/Model.h"
#include "Platform/System/Resources.h"

#include "BenchStatistics.h"

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using korvalen::bench::median;

using namespace korvalen;
using Clock = std::chrono::steady_clock;

const char* const modelNames[] = {"OlvaneVisionNet", "OlvaneLanguageNet", "OlvaneAudioNet"};

std::filesystem::path modelFolder(const std::string& name)
{
    const auto path = sys::resourcePath(name, "mlmodelc");
    if (!path) {
        std::fprintf(stderr, "%s.mlmodelc not found in %s\n", name.c_str(), sys::resourceDirectory().c_str());
        std::exit(1);
    }
    return *path;
}

std::uintmax_t folderBytes(const std::filesystem::path& folder)
{
    std::uintmax_t total = 0;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        total += item.is_regular_file() ? item.file_size() : 0;
    }
    return total;
}

nn::FeatureMap inputFor(const nn::Model& model)
{
    CoreMLModelEntry entry;
    entry.inputSize = std::int64_t(model.input().shape[0]);
    entry.seed = 1024;
    nn::FeatureMap features;
    features.emplace(model.input().name, CoreMLBenchmarkRunner::makeInput(entry));
    return features;
}

// The reference: the model's layers as plain cblas_sgemv calls into buffers allocated once.
class DirectBlas {
public:
    explicit DirectBlas(const nn::Network& network) : network_(network)
    {
        a_.resize(network.widestLayer());
        b_.resize(network.widestLayer());
    }

    void run(const float* input, float* output)
    {
        const float* x = input;
        for (std::size_t i = 0; i < network_.layers.size(); ++i) {
            const auto& layer = network_.layers[i];
            float* y = (i + 1 == network_.layers.size()) ? output : (i % 2 ? b_.data() : a_.data());
            std::copy(layer.bias.begin(), layer.bias.end(), y);
            cblas_sgemv(CblasRowMajor, CblasNoTrans, blasint(layer.outputSize), blasint(layer.inputSize), 1.0f,
                        layer.weights.data(), blasint(layer.inputSize), x, 1, 1.0f, y, 1);
            nn::applyActivation(layer.activation, y, layer.outputSize);
            x = y;
        }
    }

private:
    const nn::Network& network_;
    std::vector<float> a_;
    std::vector<float> b_;
};

const nn::ModelConfiguration cpuOnly{nn::ComputeUnits::cpuOnly, std::nullopt};
const nn::ModelConfiguration cpuAndGPU{nn::ComputeUnits::cpuAndGPU, std::nullopt};

void runtimePredict(benchmark::State& state, std::string name, nn::ModelConfiguration configuration)
{
    const auto model = nn::Model::load(modelFolder(name), configuration);
    state.SetLabel(model.executorName());
    const auto features = inputFor(model);
    for (auto _ : state) {
        auto outputs = model.predict(features);
        benchmark::DoNotOptimize(outputs);
    }
    state.counters["predictions/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["parameters"] = double(model.network().parameterCount());
}

void directBlas(benchmark::State& state, std::string name)
{
    const auto model = nn::Model::load(modelFolder(name), {nn::ComputeUnits::cpuOnly, std::nullopt});
    const auto features = inputFor(model);
    DirectBlas direct(model.network());
    std::vector<float> output(model.output().shape[0]);
    for (auto _ : state) {
        direct.run(features.begin()->second.values().data(), output.data());
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["predictions/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void load(benchmark::State& state, std::string name, nn::ModelConfiguration configuration)
{
    const auto folder = modelFolder(name);
    state.SetLabel(nn::Model::load(folder, configuration).executorName());
    for (auto _ : state) {
        auto model = nn::Model::load(folder, configuration);
        benchmark::DoNotOptimize(model);
    }
    state.counters["bytes"] = double(folderBytes(folder));
}

// Alternates rounds of the runtime and of the direct calls, so both see the same machine load, and
// keeps each side's best round.
void compare(const std::string& name)
{
    const auto model = nn::Model::load(modelFolder(name), {nn::ComputeUnits::cpuOnly, std::nullopt});
    const auto features = inputFor(model);
    DirectBlas direct(model.network());
    std::vector<float> output(model.output().shape[0]);
    const auto round = [](auto&& body) {
        const auto start = Clock::now();
        std::size_t count = 0;
        while (Clock::now() - start < std::chrono::milliseconds(200)) {
            body();
            ++count;
        }
        return double(count) / std::chrono::duration<double>(Clock::now() - start).count();
    };
    double bestRuntime = 0;
    double bestDirect = 0;
    for (int i = 0; i < 6; ++i) {
        bestRuntime = std::max(bestRuntime, round([&] { benchmark::DoNotOptimize(model.predict(features)); }));
        bestDirect = std::max(bestDirect, round([&] {
                                  direct.run(features.begin()->second.values().data(), output.data());
                                  benchmark::ClobberMemory();
                              }));
    }
    std::printf("%-18s runtime %9.1f predictions/s   direct OpenBLAS %9.1f predictions/s   ratio %.3f\n", name.c_str(),
                bestRuntime, bestDirect, bestRuntime / bestDirect);
}

double millisecondsOf(auto&& body)
{
    const auto start = Clock::now();
    body();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void summarize(const std::string& name)
{
    const auto folder = modelFolder(name);
    double loads[2];
    double predictions[2];
    std::string gpuName;
    const nn::ModelConfiguration configurations[2] = {cpuOnly, cpuAndGPU};
    for (int c = 0; c < 2; ++c) {
        std::vector<double> loadTimes;
        for (int i = 0; i < 15; ++i) {
            loadTimes.push_back(
                millisecondsOf([&] { benchmark::DoNotOptimize(nn::Model::load(folder, configurations[c])); }));
        }
        loads[c] = median(loadTimes);
        const auto model = nn::Model::load(folder, configurations[c]);
        if (c == 1) {
            gpuName = model.executorName();
        }
        const auto features = inputFor(model);
        for (int i = 0; i < 5; ++i) {
            benchmark::DoNotOptimize(model.predict(features));  // warm-up: first enqueues compile on some drivers
        }
        std::vector<double> predictTimes;
        for (int i = 0; i < 200; ++i) {
            predictTimes.push_back(millisecondsOf([&] { benchmark::DoNotOptimize(model.predict(features)); }));
        }
        predictions[c] = median(predictTimes);
    }
    std::printf("%-18s %10.2f %12.2f %12.2f %14.3f %14.3f   %s\n", name.c_str(),
                double(folderBytes(folder)) / 1048576.0, loads[0], loads[1], predictions[0], predictions[1],
                gpuName.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    for (const char* name : modelNames) {
        benchmark::RegisterBenchmark((std::string("Load/CPU/") + name).c_str(), load, std::string(name), cpuOnly)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Load/GPU/") + name).c_str(), load, std::string(name), cpuAndGPU)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("RuntimePredict/CPU/") + name).c_str(), runtimePredict,
                                     std::string(name), cpuOnly)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("RuntimePredict/GPU/") + name).c_str(), runtimePredict,
                                     std::string(name), cpuAndGPU)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("DirectBlas/") + name).c_str(), directBlas, std::string(name))
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::printf("OpenBLAS threads: %d\n", openblas_get_num_threads());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nSide by side (best of 6 alternating 200 ms rounds):\n");
    for (const char* name : modelNames) {
        compare(name);
    }
    std::printf("\nPer model (median of 15 loads, median of 200 predictions):\n");
    std::printf("%-18s %10s %12s %12s %14s %14s   %s\n", "model", "size MB", "load CPU ms", "load GPU ms",
                "predict CPU ms", "predict GPU ms", "GPU executor");
    for (const char* name : modelNames) {
        summarize(name);
    }
    return 0;
}
