// Costs of the GPU layer itself on the first OpenCL device (pocl's CPU device here):
//  - compiling the kernel library cold (the driver's program cache misses) and warm (it hits);
//  - one empty command buffer from commit to observed completion, polled without sleeping, and the
//    same through the 2 ms completion wait the runners use;
//  - one small dispatch round trip.
// The program points POCL_CACHE_DIR at a fresh folder unless it is set already, so "cold" is cold.

#include "Execution/GPU/MetalCommandCompletion.h"
#include "Execution/GPU/MetalKernelContext.h"
#include "Execution/GPU/MetalKernelLibrary.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Compute/Gpu.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace korvalen;

std::shared_ptr<gpu::Device> benchDevice()
{
    static std::shared_ptr<gpu::Device> device = [] {
        auto devices = gpu::deviceProvider().devices();
        return devices.empty() ? nullptr : gpu::openDevice(devices.front());
    }();
    return device;
}

void spinUntilDone(gpu::CommandBuffer& buffer)
{
    for (;;) {
        auto status = buffer.status();
        if (status == gpu::CommandStatus::completed || status == gpu::CommandStatus::error) return;
    }
}

void BM_LibraryCompileCold(benchmark::State& state)
{
    auto device = benchDevice();
    if (!device) return state.SkipWithError("no OpenCL device");
    static int variant = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // A different comment changes the driver's cache key, so every build compiles from scratch.
        std::string source = MetalKernelLibrary::source() + "\n// build " + std::to_string(++variant) + "\n";
        state.ResumeTiming();
        benchmark::DoNotOptimize(device->makeLibrary(source));
    }
}
BENCHMARK(BM_LibraryCompileCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_LibraryCompileWarm(benchmark::State& state)
{
    auto device = benchDevice();
    if (!device) return state.SkipWithError("no OpenCL device");
    device->makeLibrary(MetalKernelLibrary::source());  // fills the cache
    for (auto _ : state) {
        benchmark::DoNotOptimize(device->makeLibrary(MetalKernelLibrary::source()));
    }
}
BENCHMARK(BM_LibraryCompileWarm)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EmptyCommandBufferRoundTrip(benchmark::State& state)
{
    auto device = benchDevice();
    if (!device) return state.SkipWithError("no OpenCL device");
    auto queue = device->makeCommandQueue();
    for (auto _ : state) {
        auto buffer = queue->makeCommandBuffer();
        buffer->commit();
        spinUntilDone(*buffer);
    }
}
BENCHMARK(BM_EmptyCommandBufferRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_EmptyCommandBufferCompletionWait(benchmark::State& state)
{
    auto device = benchDevice();
    if (!device) return state.SkipWithError("no OpenCL device");
    MetalKernelContext context(device);
    BenchmarkCancellationToken token;
    for (auto _ : state) {
        auto buffer = context.queue().makeCommandBuffer();
        buffer->commit();
        MetalBenchmarkRunner::waitForCompletion(*buffer, token, "bench", std::nullopt, true);
    }
}
BENCHMARK(BM_EmptyCommandBufferCompletionWait)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SmallDispatchRoundTrip(benchmark::State& state)
{
    auto device = benchDevice();
    if (!device) return state.SkipWithError("no OpenCL device");
    MetalKernelContext context(device);
    const auto count = static_cast<std::uint32_t>(state.range(0));
    auto tensor = context.emptyBuffer(count * sizeof(float));
    auto pipeline = context.pipeline("fill_tensor");
    for (auto _ : state) {
        auto buffer = context.queue().makeCommandBuffer();
        auto encoder = buffer->makeComputeEncoder();
        encoder->setPipeline(pipeline);
        encoder->setBuffer(tensor, 0);
        encoder->setValue(count, 1);
        encoder->dispatchThreads({count, 1, 1}, {32, 1, 1});
        encoder->endEncoding();
        buffer->commit();
        spinUntilDone(*buffer);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * count * 4);
}
BENCHMARK(BM_SmallDispatchRoundTrip)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    std::filesystem::path ownCache;
    if (!std::getenv("POCL_CACHE_DIR")) {
        ownCache = std::filesystem::temp_directory_path() / ("korvalen-bench-pocl-" + std::to_string(::getpid()));
        std::filesystem::create_directories(ownCache);
        ::setenv("POCL_CACHE_DIR", ownCache.c_str(), 1);
    }
    // Every context logs its compile; the timings are what matters here.
    KorvalenAILogger::setSystemLogSink([](const KorvalenAILogger::SystemLogEntry&) {});
    KorvalenAILogger::setOutputFileDescriptor(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!ownCache.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(ownCache, ignored);
    }
    return 0;
}
