#pragma once

// The live visualization as a run drives it, recorded instead of drawn. Header-only: include it
// only from test programs that link the State library.

#include "Platform/Async/Async.h"
#include "State/BenchmarkStore.h"

#include <functional>
#include <string>
#include <vector>

namespace korvalen::testing {

class RecordingRunVisualization : public RunVisualization {
public:
    // Each call in order: "prepare <workload>", "complete <workloads of the results> <done|cancelled>",
    // "stopping", "close"; a completion is followed by what `whileHeld` says of that moment.
    std::vector<std::string> calls;
    // Runs while an item's result is held on screen, as the window would hold it.
    std::function<std::string()> whileHeld;

    void prepare(const AIWorkloadDefinition& workload, AIBackend, bool) override
    {
        calls.push_back("prepare " + std::string(rawValue(workload.id)));
    }
    Task<> complete(std::vector<AIBenchmarkResult> results, bool cancelled,
                    std::shared_ptr<BenchmarkCancellationToken>) override
    {
        std::string call = "complete";
        for (const AIBenchmarkResult& r : results)
            call += " " + std::string(rawValue(r.workloadID)) + (r.error ? "(" + *r.error + ")" : "");
        calls.push_back(call + (cancelled ? " cancelled" : " done"));
        if (whileHeld) calls.push_back(whileHeld());
        co_await nextEventLoopTurn();
    }
    void markStopping() override { calls.push_back("stopping"); }
    void close() override { calls.push_back("close"); }
};

}  // namespace korvalen::testing
