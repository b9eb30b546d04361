#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/SystemProfiler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace korvalen {
namespace {

// This machine's runners with every duration cut to nothing, so each measurement runs only its
// warm-up and minimum iteration count: the engine's routing and the runners are real, the wait is not.
AIBenchmarkRunners shortestRunners()
{
    AIBenchmarkRunners r = defaultRunners();
    r.coreML = [run = r.coreML](const AIWorkloadDefinition& w, AIBackend b, std::optional<std::uint64_t> gpu, double,
                                BenchmarkCancellationToken& t) { return run(w, b, gpu, 0, t); };
    r.cpuTimed = [run = r.cpuTimed](const AIWorkloadDefinition& w, double, BenchmarkCancellationToken& t) {
        return run(w, 0, t);
    };
    r.cpuThreadScaling = [run = r.cpuThreadScaling](const AIWorkloadDefinition& w, double,
                                                    BenchmarkCancellationToken& t) { return run(w, 0, t); };
    r.metal = [run = r.metal](const AIWorkloadDefinition& w, std::optional<std::uint64_t> gpu, double,
                              BenchmarkCancellationToken& t) { return run(w, gpu, 0, t); };
    return r;
}

// Runs a plan as the store does: automatic items calibrated, the others explicit.
std::vector<AIBenchmarkResult> runPlan(const AIBenchmarkEngine& engine, const std::vector<AIExecutionItem>& plan)
{
    std::vector<AIBenchmarkResult> results;
    for (const AIExecutionItem& item : plan) {
        if (item.backend == AIBackend::automatic) {
            for (auto& r : engine.runCalibrated(item.workload, AIRunMode::quick, item.gpuRegistryID))
                results.push_back(r);
        } else {
            results.push_back(
                engine.runExplicit(item.workload, item.backend, AIRunMode::quick, item.role, item.gpuRegistryID));
        }
    }
    return results;
}

std::string nameOf(const AIBenchmarkResult& r)
{
    return std::string(rawValue(r.workloadID)) + " on " + std::string(rawValue(r.backend));
}

void expectSound(const AIBenchmarkResult& r)
{
    EXPECT_TRUE(r.valid) << nameOf(r) << ": " << r.error.value_or("");
    EXPECT_GT(r.score, 0) << nameOf(r);
}

// A timed loop sums one deterministic contribution per iteration, plus at most a fixed final term,
// so checksums of one workload must lie on one line over the iteration count: equal for equal
// counts, collinear for three different ones.
void expectReproducible(const std::string& name, const std::vector<std::pair<int, double>>& runs)
{
    for (std::size_t i = 0; i < runs.size(); ++i) {
        for (std::size_t j = i + 1; j < runs.size(); ++j) {
            if (runs[i].first == runs[j].first) {
                EXPECT_EQ(runs[i].second, runs[j].second) << name;
            }
        }
    }
    if (runs.size() == 3 && runs[0].first != runs[1].first && runs[1].first != runs[2].first &&
        runs[0].first != runs[2].first) {
        const auto [n0, c0] = runs[0];
        const auto [n1, c1] = runs[1];
        const auto [n2, c2] = runs[2];
        const double slope = (c1 - c0) / (n1 - n0);
        EXPECT_NEAR(c2, c0 + slope * (n2 - n0), 1e-9 * std::max({std::abs(c0), std::abs(c1), std::abs(c2), 1.0}))
            << name;
    }
}

TEST(EngineEndToEnd, QuickPlanOnThisMachineIsValidScoredAndReproducible)
{
    const AISystemProfile system = SystemProfiler::current();
    const AIBenchmarkEngine engine{std::make_shared<BenchmarkCancellationToken>(), system, std::nullopt,
                                   shortestRunners()};

    const auto automatic = engine.executionPlan(AIRunMode::quick, AIBackend::automatic, false, false);
    ASSERT_EQ(automatic.size(), 7u);
    for (const auto& r : runPlan(engine, automatic)) expectSound(r);

    // Every backend of every workload, three times over.
    const auto compared = engine.executionPlan(AIRunMode::quick, AIBackend::automatic, true, false);
    std::map<std::string, std::vector<std::pair<int, double>>> runs;
    for (int pass = 0; pass < 3; ++pass) {
        for (const auto& r : runPlan(engine, compared)) {
            expectSound(r);
            runs[nameOf(r)].emplace_back(r.iterations, r.checksum);
        }
    }
    for (const auto& [name, list] : runs) expectReproducible(name, list);
}

}  // namespace
}  // namespace korvalen
