#pragma once

#include "Model/AIRecords.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Async/Settings.h"
#include "Platform/Async/Task.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "State/BenchmarkEngineAccess.h"
#include "State/SessionPersistence.h"
#include "Visualization/AIVisualizationCoordinator.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace korvalen {

// What the store is made from; every member has a real default (see standard()).
struct BenchmarkStoreServices {
    BenchmarkEngineAccess engine;
    // The full profile taken once at start-up, and the snapshot taken around each run.
    std::function<AISystemProfile()> currentProfile;
    std::function<AISystemProfile(const AISystemProfile&)> runtimeSnapshot;
    std::shared_ptr<SessionPersistence> persistence;
    Settings settings;
    NotificationCenter* notifications = nullptr;
    // Whether the application has a deferred quit pending (the delegate's terminationPending).
    std::function<bool()> applicationIsTerminating;
    std::function<Date()> clock;
    // The live visualization's windows and waits; members left empty take their standard values.
    AIVisualizationCoordinator::Services visualization;

    static BenchmarkStoreServices standard();
};

// The application's state: run configuration, run lifecycle, the loaded session and the history.
// Lives on the main thread; views read its getters and follow its signals. Setters emit on every
// assignment, also of an equal value.
class BenchmarkStore : public QObject {
    Q_OBJECT

public:
    static constexpr int methodologyVersion = 4;
    static constexpr const char* cancelledErrorText = "Benchmark cancelled.";
    static constexpr const char* stoppingStatusText = "Stopping safely after the active kernel";
    static constexpr const char* readyStatusText = "Ready";

    explicit BenchmarkStore(BenchmarkStoreServices services, QObject* parent = nullptr);
    ~BenchmarkStore() override;

    // Run configuration, chosen in the sidebar.
    AIRunMode selectedMode() const { return selectedMode_; }
    void setSelectedMode(AIRunMode mode);
    AIBackend selectedBackend() const { return selectedBackend_; }
    void setSelectedBackend(AIBackend backend);
    bool compareAllBackends() const { return compareAllBackends_; }
    void setCompareAllBackends(bool on);
    bool compareAllGPUs() const { return compareAllGPUs_; }
    void setCompareAllGPUs(bool on);
    std::optional<std::uint64_t> selectedGPURegistryID() const { return selectedGPURegistryID_; }
    void setSelectedGPURegistryID(std::optional<std::uint64_t> registryID);
    // Backed by the setting "KorvalenAIShowLiveVisualizations" (absent: true); a run keeps the
    // value it started with.
    bool showLiveVisualizations() const { return showLiveVisualizations_; }
    void setShowLiveVisualizations(bool on);

    // Published state.
    const AIRunState& runState() const { return runState_; }
    bool isBusy() const { return runState_.isBusy(); }
    const QString& statusText() const { return statusText_; }
    double progress() const { return progress_; }
    const std::optional<AIBenchmarkSession>& currentSession() const { return currentSession_; }
    const std::vector<AIBenchmarkSession>& history() const { return history_; }
    const AISystemProfile& systemProfile() const { return systemProfile_; }

    // Starts a run with the current configuration; does nothing while a run is busy.
    void start();
    // Asks the running run to stop after the active kernel; does nothing unless busy.
    void stop();
    // Unloads the current session; refused while busy.
    void clearCurrent();
    // Shows a saved session; refused while busy.
    void showSession(const Uuid& sessionID);

    // Around a run: the assistant's pause and resume (the assistant's own operations join here).
    bool pauseAssistantForBenchmark();
    void resumeAssistantAfterBenchmark();

    // The live visualization, kept for the life of the store.
    AIVisualizationCoordinator& visualization() { return *visualization_; }

    // The live run, for tests and the shell: whether its task is still going.
    bool hasActiveRunTask() const { return !runTask_.isDone(); }

signals:
    void configurationChanged();
    void showLiveVisualizationsChanged(bool on);
    void runStateChanged();
    void statusTextChanged(const QString& text);
    void progressChanged(double progress);
    void currentSessionChanged();
    void historyChanged();

private:
    // Everything one run needs, owned by its task.
    struct Run {
        std::vector<AIExecutionItem> items;
        AIBenchmarkEngine engine;
        AIRunMode mode = AIRunMode::quick;
        bool showVisuals = true;
        AIBenchmarkSession session;
        int finishedItems = 0;
    };

    static Task<> runTask(QPointer<BenchmarkStore> self, Run run);
    void recordItemResults(Run& run, std::vector<AIBenchmarkResult> results);
    void finishRun(Run& run);
    void failRun(Run& run, const std::string& reason);
    std::vector<AIExecutionItem> buildPlan(const AIBenchmarkEngine& engine) const;
    AIBenchmarkEngine makeEngine(const AISystemProfile& system) const;
    std::vector<std::string> endOfRunNotes(const Run& run, const AISystemProfile& endSnapshot, bool cancelled) const;
    bool insertIntoHistory(const AIBenchmarkSession& session);

    void setRunState(AIRunState state);
    void setStatusText(const QString& text);
    void setProgress(double progress);
    void setCurrentSession(std::optional<AIBenchmarkSession> session);

    BenchmarkStoreServices services_;
    std::shared_ptr<BenchmarkCancellationToken> cancellation_;
    std::unique_ptr<AIVisualizationCoordinator> visualization_;

    AIRunMode selectedMode_ = AIRunMode::quick;
    AIBackend selectedBackend_ = AIBackend::automatic;
    bool compareAllBackends_ = false;
    bool compareAllGPUs_ = false;
    std::optional<std::uint64_t> selectedGPURegistryID_;
    bool showLiveVisualizations_ = true;

    AIRunState runState_ = AIRunState::idle();
    QString statusText_ = readyStatusText;
    double progress_ = 0;
    std::optional<AIBenchmarkSession> currentSession_;
    std::vector<AIBenchmarkSession> history_;
    AISystemProfile systemProfile_;

    Task<> runTask_;
    ScopedObserver stopRequestObserver_;
};

}  // namespace korvalen
