#pragma once

#include "Model/AIRecords.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Async/Task.h"
#include "Visualization/AIVisualizationWindowController.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace korvalen {

// The live visualization around a run's items: before an item is measured it opens a floating window
// with the workload's scene, frozen while the kernel runs; afterwards it shows the item's result for
// 1.2 s, closes the window and pauses 0.15 s. Main thread only; its waits are coroutine sleeps of at
// most 50 ms, so a stop, a closed window or the coordinator's end is noticed within one slice.
class AIVisualizationCoordinator : public QObject {
    Q_OBJECT

public:
    struct Services {
        // A window for a request; may give none (no display), and the item then simply has no window.
        std::function<AIVisualizationWindowController*(const AIVisualizationRequest&)> makeWindow;
        // Monotonic seconds.
        std::function<double()> uptimeSeconds;
        // Sleeps without blocking; true when the whole duration passed.
        std::function<Task<bool>(std::chrono::nanoseconds)> sleep;

        static Services standard();
    };

    static constexpr std::chrono::nanoseconds holdDuration{1'200'000'000};
    static constexpr std::chrono::nanoseconds pauseDuration{150'000'000};
    static constexpr double sliceSeconds = 0.05;

    explicit AIVisualizationCoordinator(Services services = Services::standard(), QObject* parent = nullptr);
    ~AIVisualizationCoordinator() override;

    // Before an item's measurement: closes any leftover window, then opens the item's window when it
    // has a scene. On the automatic backend a workload with only a GPU scene is recorded without one.
    void prepare(const AIWorkloadDefinition& workload, AIBackend backend, bool enabled);
    // After an item: shows its representative result for the hold, closes and pauses; on a stop it
    // closes at once.
    Task<> complete(std::vector<AIBenchmarkResult> results, bool cancelled,
                    std::shared_ptr<BenchmarkCancellationToken> cancellation);
    // A stop was requested: the open window says so and stays until the item ends.
    void markStopping();
    // Closes the window quietly and forgets the item.
    void close();

    AIVisualizationWindowController* controller() const { return controller_; }
    bool hasPending() const { return pending_.has_value(); }

    static std::optional<AIBenchmarkResult> representativeResult(const std::vector<AIBenchmarkResult>& results,
                                                                 AIBackend requestedBackend);

private:
    struct PendingVisualization {
        AIWorkloadDefinition workload;
        AIBackend requestedBackend;
    };

    AIVisualizationWindowController* makeController(const AIWorkloadDefinition& workload, AIBackend backend,
                                                    const AIVisualizationStyle& style);
    static void applyResult(const std::optional<AIBenchmarkResult>& result,
                            AIVisualizationWindowController& controller);
    void showController(AIVisualizationWindowController& controller);
    void closeQuietly(AIVisualizationWindowController* controller);
    Task<bool> waitForVisualDelay(std::chrono::nanoseconds duration,
                                  QPointer<AIVisualizationWindowController> controller,
                                  std::shared_ptr<BenchmarkCancellationToken> cancellation);
    Task<bool> waitForCancellationAwareDelay(std::chrono::nanoseconds duration,
                                             std::shared_ptr<BenchmarkCancellationToken> cancellation);
    Task<bool> wait(std::chrono::nanoseconds duration, QPointer<AIVisualizationWindowController> controller,
                    bool followController, std::shared_ptr<BenchmarkCancellationToken> cancellation);

    Services services_;
    QPointer<AIVisualizationWindowController> controller_;
    std::optional<PendingVisualization> pending_;
};

}  // namespace korvalen
