// Whole "Quick AI" and "Complete AI" sessions through the engine alone, with the automatic backend
// and with every backend compared, at the modes' real durations.
//
// The figure that matters is `overhead`: the session's wall time over the time the measurements
// themselves are meant to take, that is the sum of every timed phase (brief calibration runs
// included; a timed phase lasts its target and at least its minimum iteration count). What is left
// is warm-up, set-up and the engine's own work; `engine_s` is the part spent outside any runner.
// Each session also reports the summary scores, and every result is listed on standard error with
// the measurements whose set-up and warm-up cost most.
//
// One session lasts from seconds to minutes; every case runs once.

#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/ScoreCalculator.h"
#include "Model/SystemProfiler.h"
#include "Platform/Foundation/NumberFormat.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace korvalen;

namespace {

struct CallRecord {
    std::string what;
    double callSeconds = 0;   // the runner call, warm-up and set-up included
    double timedSeconds = 0;  // the measurement's timed phase; 0 when the runner failed
};

// This machine's runners, each call timed and its measurement's timed phase noted.
AIBenchmarkRunners recordingRunners(std::vector<CallRecord>& calls)
{
    const AIBenchmarkRunners base = defaultRunners();
    AIBenchmarkRunners r = base;
    auto timed = [&calls](std::string what, auto&& run) {
        CallRecord record{std::move(what)};
        const double start = monotonicSeconds();
        try {
            KernelMeasurement m = run();
            record.callSeconds = monotonicSeconds() - start;
            record.timedSeconds = m.wallSeconds;
            calls.push_back(record);
            return m;
        } catch (...) {
            record.callSeconds = monotonicSeconds() - start;
            calls.push_back(record);
            throw;
        }
    };
    auto name = [](const AIWorkloadDefinition& w, std::string_view backend) {
        return std::string(rawValue(w.id)) + "/" + std::string(backend);
    };
    r.coreML = [=](const AIWorkloadDefinition& w, AIBackend b, std::optional<std::uint64_t> gpu, double scale,
                   BenchmarkCancellationToken& t) {
        return timed(name(w, "CoreML " + std::string(rawValue(b))), [&] { return base.coreML(w, b, gpu, scale, t); });
    };
    r.cpuTimed = [=](const AIWorkloadDefinition& w, double target, BenchmarkCancellationToken& t) {
        return timed(name(w, "CPU"), [&] { return base.cpuTimed(w, target, t); });
    };
    r.cpuThreadScaling = [=](const AIWorkloadDefinition& w, double scale, BenchmarkCancellationToken& t) {
        return timed(name(w, "CPU"), [&] { return base.cpuThreadScaling(w, scale, t); });
    };
    r.cpuMemoryPressure = [=](const AIWorkloadDefinition& w, BenchmarkCancellationToken& t) {
        return timed(name(w, "CPU"), [&] { return base.cpuMemoryPressure(w, t); });
    };
    r.metal = [=](const AIWorkloadDefinition& w, std::optional<std::uint64_t> gpu, double target,
                  BenchmarkCancellationToken& t) {
        return timed(name(w, "GPU"), [&] { return base.metal(w, gpu, target, t); });
    };
    return r;
}

void session(benchmark::State& state, AIRunMode mode, bool compareAll)
{
    static const AISystemProfile system = SystemProfiler::current();
    for (auto _ : state) {
        std::vector<CallRecord> calls;
        const AIBenchmarkEngine engine{std::make_shared<BenchmarkCancellationToken>(), system, std::nullopt,
                                       recordingRunners(calls)};
        const auto plan = engine.executionPlan(mode, AIBackend::automatic, compareAll, false);
        std::vector<AIBenchmarkResult> results;
        const double start = monotonicSeconds();
        for (const AIExecutionItem& item : plan) {
            if (item.backend == AIBackend::automatic) {
                for (auto& r : engine.runCalibrated(item.workload, mode, item.gpuRegistryID)) results.push_back(r);
            } else {
                results.push_back(engine.runExplicit(item.workload, item.backend, mode, item.role, item.gpuRegistryID));
            }
        }
        const double wall = monotonicSeconds() - start;
        state.SetIterationTime(wall);

        double timed = 0, inRunners = 0;
        for (const auto& c : calls) {
            timed += c.timedSeconds;
            inRunners += c.callSeconds;
        }
        const AIScoreSummary summary = ScoreCalculator::summarize(results);
        state.counters["wall_s"] = wall;
        state.counters["prescribed_s"] = timed;
        state.counters["overhead"] = timed > 0 ? wall / timed : 0;
        state.counters["engine_s"] = wall - inRunners;
        state.counters["universal"] = summary.universalScore();
        state.counters["platform"] = summary.platformScore();
        state.counters["cpu"] = summary.cpu;
        state.counters["gpu"] = summary.gpu;
        state.counters["neural"] = summary.neuralEnginePreferred;
        state.counters["valid"] = summary.validResults;
        state.counters["invalid"] = summary.invalidResults;

        std::fprintf(stderr, "\n== %s, %s: %zu items, %zu results, %zu runner calls\n",
                     std::string(rawValue(mode)).c_str(), compareAll ? "compare all backends" : "automatic",
                     plan.size(), results.size(), calls.size());
        for (const auto& r : results) {
            std::fprintf(stderr, "  %-22s %-24s %-22s score %8s %s\n", std::string(rawValue(r.workloadID)).c_str(),
                         std::string(rawValue(r.backend)).c_str(),
                         r.scoreRole ? std::string(rawValue(*r.scoreRole)).c_str() : "-",
                         formatFixed(r.score, 1).c_str(), r.valid ? "" : r.error.value_or("invalid").c_str());
        }
        std::sort(calls.begin(), calls.end(), [](const CallRecord& a, const CallRecord& b) {
            return a.callSeconds - a.timedSeconds > b.callSeconds - b.timedSeconds;
        });
        std::fprintf(stderr, "  most time outside the timed phase:\n");
        for (std::size_t i = 0; i < std::min<std::size_t>(calls.size(), 6); ++i) {
            std::fprintf(stderr, "    %-40s call %7s s, timed %7s s\n", calls[i].what.c_str(),
                         formatFixed(calls[i].callSeconds, 3).c_str(), formatFixed(calls[i].timedSeconds, 3).c_str());
        }
    }
}

}  // namespace

BENCHMARK_CAPTURE(session, quick_automatic, AIRunMode::quick, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(session, quick_compare_all, AIRunMode::quick, true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(session, complete_automatic, AIRunMode::complete, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(session, complete_compare_all, AIRunMode::complete, true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
