#pragma once

// A stand-in for the benchmark engine behind the store's seam, for State, Views and App tests.
// Header-only: include it only from test programs that link the State library.

#include "Model/BenchmarkCancellationToken.h"
#include "Model/ScoreCalculator.h"
#include "Platform/Async/Async.h"
#include "State/BenchmarkEngineAccess.h"
#include "State/BenchmarkStore.h"
#include "support/MeasurementBuilders.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvalen::testing {

class FakeBenchmarkEngine {
public:
    struct State {
        std::vector<AIWorkloadID> workloads{AIWorkloadID::imageClassification, AIWorkloadID::textEmbeddings,
                                            AIWorkloadID::matrixFP32};
        std::mutex mutex;
        std::condition_variable changed;
        bool holdItems = false;  // items wait until released (or the run is cancelled)
        int itemsStarted = 0;
        int itemsFinished = 0;
        std::vector<std::thread::id> runnerThreads;
        // Optional: replaces the result list of an item.
        std::function<std::vector<AIBenchmarkResult>(const AIExecutionItem&, std::vector<AIBenchmarkResult>)> edit;
    };

    FakeBenchmarkEngine() : state_(std::make_shared<State>()) {}

    State& state() { return *state_; }

    void holdItems(bool hold)
    {
        {
            std::lock_guard lock(state_->mutex);
            state_->holdItems = hold;
        }
        state_->changed.notify_all();
    }
    int itemsStarted() const
    {
        std::lock_guard lock(state_->mutex);
        return state_->itemsStarted;
    }

    // A valid, scored result of the workload on the item's backend, as the engine would give it.
    static AIBenchmarkResult scoredResult(const AIExecutionItem& item, AIScoreRole role)
    {
        const AIBackend backend = item.backend == AIBackend::automatic ? AIBackend::cpu : item.backend;
        KernelMeasurement m = soundMeasurement();
        m.throughputUnit = item.workload.throughputUnit;
        m.throughput = item.workload.baselineThroughput;
        m.workUnits = item.workload.baselineThroughput * m.wallSeconds;
        return ScoreCalculator::result(m, item.workload, backend, "Nominal", "Nominal", comparableSystem(), role,
                                       item.gpuRegistryID, std::nullopt);
    }

    static AIBenchmarkResult cancelledResult(const AIExecutionItem& item)
    {
        AIBenchmarkResult r;
        r.workloadID = item.workload.id;
        r.backend = item.backend;
        r.error = "Benchmark cancelled.";
        return r;
    }

    BenchmarkEngineAccess access() const
    {
        BenchmarkEngineAccess access;
        auto state = state_;
        access.executionPlan = [state](const AIBenchmarkEngine& engine, AIRunMode, AIBackend requested, bool, bool) {
            std::vector<AIExecutionItem> items;
            for (AIWorkloadID id : state->workloads) {
                AIExecutionItem item;
                item.workload = definition(id);
                item.backend = requested;
                item.role = requested == AIBackend::automatic ? AIScoreRole::platform : AIScoreRole::requested;
                item.gpuRegistryID = requested == AIBackend::gpu ? engine.selectedGPURegistryID : std::nullopt;
                items.push_back(item);
            }
            return items;
        };
        access.runItem = [state](const AIBenchmarkEngine& engine, const AIExecutionItem& item, AIRunMode) {
            {
                std::unique_lock lock(state->mutex);
                ++state->itemsStarted;
                state->runnerThreads.push_back(std::this_thread::get_id());
                state->changed.notify_all();
                while (state->holdItems && !engine.cancellation->isCancelled())
                    state->changed.wait_for(lock, std::chrono::milliseconds(2));
            }
            std::vector<AIBenchmarkResult> results;
            if (engine.cancellation->isCancelled())
                results = {cancelledResult(item)};
            else
                results = {scoredResult(item, item.role)};
            std::lock_guard lock(state->mutex);
            if (state->edit) results = state->edit(item, std::move(results));
            ++state->itemsFinished;
            return results;
        };
        return access;
    }

    // A store's services on this engine: the session folder and settings file given, `profile` as
    // the machine, notifications posted to `notifications`.
    BenchmarkStoreServices storeServices(NotificationCenter& notifications, const QString& sessionFolder,
                                         const QString& settingsFile,
                                         AISystemProfile profile = comparableSystem()) const
    {
        BenchmarkStoreServices services;
        services.engine = access();
        services.currentProfile = [profile] { return profile; };
        services.persistence = std::make_shared<SessionPersistence>(sessionFolder);
        services.settings = Settings(settingsFile);
        services.notifications = &notifications;
        // The local-model manager looks in the test's folder, never in the user's data.
        services.makeModelManager = [sessionFolder](const Settings& settings) {
            AssistantModelManager::Options options;
            options.dataFolder = sessionFolder;
            options.settings = settings;
            options.searchPath = sessionFolder + "/no-bin";
            return std::make_unique<AssistantModelManager>(options);
        };
        // Visualization windows open and close as in the application, but their 1.35 s of hold
        // and pause pass on a virtual clock, one event-loop turn per slice.
        auto visualClock = std::make_shared<double>(0);
        services.visualization.uptimeSeconds = [visualClock] { return *visualClock; };
        services.visualization.sleep = [visualClock](std::chrono::nanoseconds duration) -> Task<bool> {
            *visualClock += double(duration.count()) / 1e9;
            co_await nextEventLoopTurn();
            co_return true;
        };
        return services;
    }

private:
    std::shared_ptr<State> state_;
};

}  // namespace korvalen::testing
