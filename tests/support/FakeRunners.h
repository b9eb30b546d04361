#pragma once

#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Execution/Engine/AIBenchmarkRunners.h"
#include "Model/AIWorkloadCatalog.h"
#include "Model/BenchmarkCancellationToken.h"
#include "support/FakeClock.h"
#include "support/MeasurementBuilders.h"

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalen::testing {

// One call of a fake runner. `duration` is the scale or target the runner got (none for memory pressure).
struct RunnerCall {
    std::string runner;  // "coreML", "cpuTimed", "cpuThreadScaling", "cpuMemoryPressure", "metal"
    AIWorkloadID workload;
    AIBackend backend;  // coreML: as given; CPU runners: cpu; metal: gpu
    std::optional<std::uint64_t> gpuRegistryID;
    std::optional<double> duration;
};

// A sound measurement at the given throughput: 10 s of steady samples.
inline KernelMeasurement measurementAt(double throughput)
{
    KernelMeasurement m = soundMeasurement();
    m.throughput = throughput;
    m.workUnits = throughput * m.wallSeconds;
    return m;
}

// A clock standing still at 1000 s until advanced.
inline FakeClock startedClock()
{
    FakeClock clock;
    clock.advance(1000);
    return clock;
}

// Runners that record every call, advance a fake clock by `secondsPerRun` per run and answer
// through `respond` (by default a sound measurement scoring exactly 1000). Thermal readings cycle
// through `thermalTexts`. The engine holds callables pointing at this object: keep it alive.
struct FakeRunners {
    FakeClock clock = startedClock();
    double secondsPerRun = 0.5;
    std::vector<RunnerCall> calls;
    std::vector<std::string> thermalTexts{"Nominal"};
    std::size_t thermalReads = 0;
    std::function<KernelMeasurement(const RunnerCall&)> respond = [](const RunnerCall& call) {
        return measurementAt(AIWorkloadCatalog::definitions().at(call.workload).baselineThroughput);
    };

    KernelMeasurement run(RunnerCall call)
    {
        calls.push_back(call);
        clock.advance(secondsPerRun);
        return respond(call);
    }

    AIBenchmarkRunners runners()
    {
        AIBenchmarkRunners r;
        r.coreML = [this](const AIWorkloadDefinition& w, AIBackend b, std::optional<std::uint64_t> gpu, double scale,
                          BenchmarkCancellationToken&) {
            return run({"coreML", w.id, b, gpu, scale});
        };
        r.cpuTimed = [this](const AIWorkloadDefinition& w, double target, BenchmarkCancellationToken&) {
            return run({"cpuTimed", w.id, AIBackend::cpu, std::nullopt, target});
        };
        r.cpuThreadScaling = [this](const AIWorkloadDefinition& w, double scale, BenchmarkCancellationToken&) {
            return run({"cpuThreadScaling", w.id, AIBackend::cpu, std::nullopt, scale});
        };
        r.cpuMemoryPressure = [this](const AIWorkloadDefinition& w, BenchmarkCancellationToken&) {
            return run({"cpuMemoryPressure", w.id, AIBackend::cpu, std::nullopt, std::nullopt});
        };
        r.metal = [this](const AIWorkloadDefinition& w, std::optional<std::uint64_t> gpu, double target,
                         BenchmarkCancellationToken&) {
            return run({"metal", w.id, AIBackend::gpu, gpu, target});
        };
        r.thermalState = [this] { return thermalTexts[thermalReads++ % thermalTexts.size()]; };
        r.uptimeSeconds = clock;
        r.residentMB = [] { return 100.0; };
        return r;
    }
};

// A machine with two GPUs (registry identifiers 9 and 4, in that order), no Neural Engine.
inline AISystemProfile twoGPUMachine()
{
    AISystemProfile s = comparableSystem();
    s.gpuName = "GPU Nine";
    s.gpuProfiles =
        std::vector<AIGPUProfile>{{.name = "GPU Nine", .registryID = 9}, {.name = "GPU Four", .registryID = 4}};
    return s;
}

inline AISystemProfile noGPUMachine()
{
    AISystemProfile s = comparableSystem();
    s.gpuName = "No Metal GPU";
    s.gpuProfiles = std::vector<AIGPUProfile>{};
    return s;
}

inline AIBenchmarkEngine engineWith(FakeRunners& fakes, AISystemProfile system,
                                    std::optional<std::uint64_t> selectedGPU = std::nullopt)
{
    return AIBenchmarkEngine{std::make_shared<BenchmarkCancellationToken>(), std::move(system), selectedGPU,
                             fakes.runners()};
}

inline const AIWorkloadDefinition& workload(AIWorkloadID id)
{
    return AIWorkloadCatalog::definitions().at(id);
}

}  // namespace korvalen::testing
