// Every GPU workload on the first OpenCL device with the target duration the engine gives it in one
// run mode (quick unless --mode=complete|extended|stress), and four of them side by side with
// clpeak on the same device in the same run:
//  - device-memory bandwidth against clpeak's global memory bandwidth at float4, the 16-byte
//    vector width of the copy kernel (uint4);
//  - tensor transfer against clpeak's blocking write and read transfer bandwidth, combined as one
//    write followed by one read of the same size;
//  - command throughput against the reciprocal of clpeak's kernel launch latency;
//  - matrixFP32 against clpeak's best single-precision compute figure (any vector width).
// Counters per workload: the measured throughput, the throughput its latency samples imply, the
// target, the timed wall time and the whole call's time (warm-ups, initialisation and validation
// included), and timed wall over target.
// clpeak is optional: without it the comparisons are skipped.

#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Execution/GPU/MetalBenchmarkRunner.h"
#include "Execution/GPU/MetalRunnerSupport.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Compute/GpuDevices.h"
#include "Platform/Foundation/NumberFormat.h"

#include <CL/cl.h>
#include <benchmark/benchmark.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace korvalen;

struct Bench {
    std::shared_ptr<gpu::Device> device;
    std::unique_ptr<MetalKernelContext> context;
    AIRunMode mode = AIRunMode::quick;
    std::map<AIWorkloadID, KernelMeasurement> results;
};

Bench& bench()
{
    static Bench instance;
    return instance;
}

double targetOf(const AIWorkloadDefinition& workload)
{
    return AIBenchmarkEngine::targetDuration(AIBenchmarkEngine::durationScale(bench().mode, workload), workload);
}

// Every latency sample stands for one command buffer (the pipelined loop shares a batch's wall time
// among its four), so the work of one sample is the work of one iteration.
std::optional<double> sampledThroughput(const KernelMeasurement& m)
{
    double sampledSeconds = 0;
    for (const double sample : m.latencySamplesMS) sampledSeconds += sample / 1000.0;
    if (sampledSeconds <= 0 || m.iterations <= 0 || m.latencySamplesMS.empty()) return std::nullopt;
    const double perSample = sampledSeconds / static_cast<double>(m.latencySamplesMS.size());
    return m.workUnits / static_cast<double>(m.iterations) / perSample;
}

std::string hexFloat(double value)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::hex);
    return std::string(text, result.ptr);
}

void BM_GpuWorkload(benchmark::State& state, AIWorkloadID id)
{
    Bench& b = bench();
    if (!b.context) return state.SkipWithError("no OpenCL device");
    const AIWorkloadDefinition& workload = AIWorkloadCatalog::definitions().at(id);
    const double target = targetOf(workload);
    BenchmarkCancellationToken token;
    KernelMeasurement m;
    double callSeconds = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        m = MetalBenchmarkRunner::run(workload, *b.context, target, token);
        callSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
    if (m.accuracy != 1.0) state.SkipWithError("validation failed");
    state.counters["throughput"] = m.throughput;
    state.counters["target_s"] = target;
    state.counters["timed_s"] = m.wallSeconds;
    state.counters["call_s"] = callSeconds;
    state.counters["timed/target"] = m.wallSeconds / target;
    // The throughput the latency samples imply (GPU timestamps where the driver gives them): the
    // gap to the measured throughput is what waiting for completion costs between iterations.
    if (const auto sampled = sampledThroughput(m)) state.counters["sampled_throughput"] = *sampled;
    // The checksum's exact bits, so that two builds can be compared for identical results.
    state.SetLabel(m.throughputUnit + " checksum " + hexFloat(m.checksum));
    b.results[id] = m;
}

// clpeak's indexes of the platform and device behind our first device.
std::optional<std::pair<int, int>> clpeakIndexes(std::uint64_t registryID)
{
    const auto native = gpu::nativeDevice(registryID);
    if (!native) return std::nullopt;
    cl_uint platformCount = 0;
    if (clGetPlatformIDs(0, nullptr, &platformCount) != CL_SUCCESS) return std::nullopt;
    std::vector<cl_platform_id> platforms(platformCount);
    clGetPlatformIDs(platformCount, platforms.data(), nullptr);
    for (cl_uint p = 0; p < platformCount; ++p) {
        cl_uint deviceCount = 0;
        if (clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_ALL, 0, nullptr, &deviceCount) != CL_SUCCESS) continue;
        std::vector<cl_device_id> devices(deviceCount);
        clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_ALL, deviceCount, devices.data(), nullptr);
        for (cl_uint d = 0; d < deviceCount; ++d)
            if (devices[d] == native->device) return std::pair{static_cast<int>(p), static_cast<int>(d)};
    }
    return std::nullopt;
}

std::optional<std::string> runClpeak(std::pair<int, int> indexes, const char* test)
{
    const std::string command = "clpeak -p " + std::to_string(indexes.first) + " -d " + std::to_string(indexes.second) +
                                " " + test + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    if (pclose(pipe) != 0 || output.empty()) return std::nullopt;
    return output;
}

std::optional<double> figure(const std::optional<std::string>& output, const std::string& pattern)
{
    std::smatch match;
    if (!output || !std::regex_search(*output, match, std::regex(pattern))) return std::nullopt;
    return std::stod(match[1].str());
}

std::string number(double value)
{
    return formatFixed(value, 2);
}

struct Comparison {
    const char* what;
    AIWorkloadID workload;
    const char* clpeakTest;
    // clpeak's figure in our unit, from its output.
    std::function<std::optional<double>(const std::optional<std::string>&)> reference;
    const char* unit;
    const char* how;
};

// The command-throughput kernel's own rate: 64 dispatches of it in one command buffer, waited for
// once, so that no submission or completion cost is left between them (best of three). The workload
// cannot dispatch faster than this on the device, whatever it does about submission.
std::optional<double> fusedKernelAloneRate()
{
    Bench& b = bench();
    constexpr std::uint32_t count = 1'000'000;
    constexpr int dispatches = 64;
    const std::vector<float> values(count, 0.5f);
    auto a = b.device->makeBuffer(values.data(), count * sizeof(float), gpu::StorageMode::private_);
    auto x = b.device->makeBuffer(values.data(), count * sizeof(float), gpu::StorageMode::private_);
    auto out = b.device->makeBuffer(count * sizeof(float), gpu::StorageMode::private_);
    if (!a || !x || !out) return std::nullopt;
    const auto pipeline = b.context->pipeline("tensor_fused");
    double best = 0;
    for (int round = 0; round < 4; ++round) {
        auto commands = b.context->queue().makeCommandBuffer();
        auto encoder = commands->makeComputeEncoder();
        for (int i = 0; i < dispatches; ++i)
            MetalRunnerSupport::bindAndDispatch(*encoder, pipeline, {a, x, out}, count, count);
        encoder->endEncoding();
        const auto started = std::chrono::steady_clock::now();
        commands->commit();
        while (commands->status() != gpu::CommandStatus::completed && commands->status() != gpu::CommandStatus::error)
            commands->waitBriefly(1.0);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (commands->status() != gpu::CommandStatus::completed) return std::nullopt;
        if (round > 0) best = std::max(best, dispatches / seconds);  // the first compiles and faults pages in
    }
    return best;
}

// The machine is shared, so each comparison alternates clpeak and our workload back to back, twice,
// and keeps the better figure of each side.
void compareWithClpeak()
{
    Bench& b = bench();
    if (!b.device) return;
    const auto indexes = clpeakIndexes(b.device->registryID());
    std::printf("\nSide by side with clpeak on %s (targets of the mode \"%s\"; best of two alternating rounds)\n",
                b.device->name().c_str(), std::string(rawValue(b.mode)).c_str());
    if (!indexes || !runClpeak(*indexes, "--kernel-latency")) {
        std::printf("  clpeak did not run (install Debian's clpeak); no comparison.\n");
        return;
    }
    const std::vector<Comparison> comparisons{
        {"Matrix FP32", AIWorkloadID::matrixFP32, "--compute-sp",
         [](const auto& out) -> std::optional<double> {
             std::optional<double> best;
             if (!out) return best;
             static const std::regex width(R"(float\d*\s*:\s*([0-9.]+))");
             for (auto it = std::sregex_iterator(out->begin(), out->end(), width); it != std::sregex_iterator(); ++it)
                 best = std::max(best.value_or(0.0), std::stod((*it)[1].str()) / 1000.0);
             return best;
         },
         "TFLOP/s", "256x256 products per command buffer against clpeak's best chain of dependent multiply-adds"},
        {"Device memory bandwidth", AIWorkloadID::metalMemoryBandwidth, "--global-bandwidth",
         [](const auto& out) { return figure(out, R"(float4\s*:\s*([0-9.]+))"); }, "GB/s",
         "ours: read + write of every copied byte; clpeak: bytes its float4 kernel reads"},
        {"Tensor transfer", AIWorkloadID::gpuTransfer, "--transfer-bandwidth",
         [](const auto& out) -> std::optional<double> {
             const auto write = figure(out, R"(enqueueWriteBuffer\s+:\s*([0-9.]+))");
             const auto read = figure(out, R"(enqueueReadBuffer\s+:\s*([0-9.]+))");
             if (!write || !read || *write <= 0 || *read <= 0) return std::nullopt;
             return 2.0 * *write * *read / (*write + *read);  // one write then one read of equal size
         },
         "GB/s",
         "two 64 MiB copies per pass (a copy kernel on a processor-type device) against a blocking write\n"
         "                           followed by a blocking read (one thread's copy there)"},
        {"Command throughput", AIWorkloadID::gpuCommandThroughput, "--kernel-latency",
         [](const auto& out) -> std::optional<double> {
             const auto latency = figure(out, R"(Kernel launch latency\s*:\s*([0-9.]+)\s*us)");
             if (!latency || *latency <= 0) return std::nullopt;
             return 1e6 / *latency;
         },
         "dispatches/s", "one-million-element fused kernels against clpeak's empty-kernel launch latency"},
    };
    for (const Comparison& c : comparisons) {
        const AIWorkloadDefinition& workload = AIWorkloadCatalog::definitions().at(c.workload);
        std::optional<double> theirs;
        double ours = 0, oursSampled = 0;
        for (int round = 0; round < 2; ++round) {
            if (const auto figure = c.reference(runClpeak(*indexes, c.clpeakTest)))
                theirs = std::max(theirs.value_or(0.0), *figure);
            BenchmarkCancellationToken token;
            const KernelMeasurement m = MetalBenchmarkRunner::run(workload, *b.context, targetOf(workload), token);
            ours = std::max(ours, m.throughput);
            oursSampled = std::max(oursSampled, sampledThroughput(m).value_or(0.0));
        }
        if (!theirs) {
            std::printf("  %-24s clpeak gave no figure\n", c.what);
            continue;
        }
        std::printf(
            "  %-24s ours %s %s (%s by its latency samples), clpeak %s %s: ratio %s (%s by samples)\n"
            "  %-24s %s\n",
            c.what, number(ours).c_str(), c.unit, number(oursSampled).c_str(), number(*theirs).c_str(), c.unit,
            number(ours / *theirs).c_str(), number(oursSampled / *theirs).c_str(), "", c.how);
        if (c.workload == AIWorkloadID::gpuCommandThroughput) {
            if (const auto alone = fusedKernelAloneRate())
                std::printf("  %-24s the kernel alone %s %s (64 in one command buffer): ours / it %s, it / clpeak %s\n",
                            "", number(*alone).c_str(), c.unit, number(ours / *alone).c_str(),
                            number(*alone / *theirs).c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // The layer's compile log lines would interleave with the report.
    static const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    KorvalenAILogger::setOutputFileDescriptor(quiet);
    KorvalenAILogger::setSystemLogSink([](const KorvalenAILogger::SystemLogEntry&) {});

    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--mode=", 0) == 0) {
            if (const auto mode = fromRaw<AIRunMode>(argument.substr(7))) bench().mode = *mode;
            continue;
        }
        arguments.push_back(argv[i]);
    }
    int count = static_cast<int>(arguments.size());

    Bench& b = bench();
    const auto devices = gpu::deviceProvider().devices();
    if (!devices.empty()) {
        b.device = gpu::openDevice(devices.front());
        if (b.device) b.context = std::make_unique<MetalKernelContext>(b.device);
    }
    for (const auto& [id, workload] : AIWorkloadCatalog::definitions()) {
        if (!workload.supports(AIBackend::gpu) || workload.modelFamily || id == AIWorkloadID::mixedSustained) continue;
        benchmark::RegisterBenchmark(("GpuWorkload/" + std::string(rawValue(id))).c_str(), BM_GpuWorkload, id)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }

    benchmark::Initialize(&count, arguments.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    compareWithClpeak();
    return 0;
}
