// Wall time of the machine profile taken at launch and of the snapshot taken around every run.
// Both run synchronously on the main thread, so they must stay far below what a user notices.
#include "Model/SystemProfiler.h"
#include "Platform/System/ThermalMonitor.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

using namespace korvalen;

void BM_Current(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(SystemProfiler::current());
}
BENCHMARK(BM_Current)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_RuntimeSnapshot(benchmark::State& state)
{
    const auto base = SystemProfiler::current();
    for (auto _ : state) benchmark::DoNotOptimize(SystemProfiler::runtimeSnapshot(base));
}
BENCHMARK(BM_RuntimeSnapshot)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_DeviceList(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(SystemProfiler::deviceList());
}
BENCHMARK(BM_DeviceList)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_ThermalState(benchmark::State& state)
{
    const auto& monitor = sys::ThermalMonitor::shared();
    for (auto _ : state) benchmark::DoNotOptimize(monitor.state());
}
BENCHMARK(BM_ThermalState)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv)
{
    // The very first profile pays for loading the OpenCL drivers; report it on its own, as the
    // application pays it once at launch.
    const auto start = std::chrono::steady_clock::now();
    const auto profile = SystemProfiler::current();
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "first current() with driver load: %.2f ms; cpu \"%s\", %lld logical / %lld physical cores, GPU \"%s\"\n",
        elapsed, profile.cpuName.c_str(), static_cast<long long>(profile.logicalCores),
        static_cast<long long>(profile.physicalCores), profile.gpuName.c_str());

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
