#pragma once

#include "Execution/Engine/AIBenchmarkEngine.h"
#include "Execution/Engine/AIExecutionItem.h"
#include "Model/AIRecords.h"

#include <functional>
#include <vector>

namespace korvalen {

// How the store reaches the benchmark engine: the plan of a run and the measurement of one plan
// item. Both are plain callables so that tests can hand in fakes.
struct BenchmarkEngineAccess {
    // Called on the main thread with an engine made for the run (token, profile, selected GPU).
    using PlanBuilder = std::function<std::vector<AIExecutionItem>(const AIBenchmarkEngine& engine, AIRunMode mode,
                                                                   AIBackend requestedBackend, bool compareAllBackends,
                                                                   bool compareAllGPUs)>;
    // Called on a worker thread, one call per plan item; must not touch the store. Gives the item's
    // results, possibly none after a stop. A thrown exception becomes an invalid result.
    using ItemRunner = std::function<std::vector<AIBenchmarkResult>(const AIBenchmarkEngine& engine,
                                                                    const AIExecutionItem& item, AIRunMode mode)>;

    PlanBuilder executionPlan;
    ItemRunner runItem;

    // The real engine: its plan, and runCalibrated or runExplicit by the item's backend. (An access
    // without a plan builder plans nothing, so the store refuses to start with its empty-plan status.)
    static BenchmarkEngineAccess standard();
};

}  // namespace korvalen
