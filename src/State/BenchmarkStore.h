#pragma once

#include "Assistant/AssistantConversationController.h"
#include "LocalModel/AssistantModelManager.h"
#include "Model/AIRecords.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Async/Task.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Settings.h"
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
#include <thread>
#include <vector>

namespace korvalen {

// What a run asks of the live visualization: the store's coordinator answers unless a test hands
// in a stand-in that records the calls.
class RunVisualization {
public:
    virtual ~RunVisualization() = default;
    virtual void prepare(const AIWorkloadDefinition& workload, AIBackend backend, bool enabled) = 0;
    virtual Task<> complete(std::vector<AIBenchmarkResult> results, bool cancelled,
                            std::shared_ptr<BenchmarkCancellationToken> cancellation) = 0;
    virtual void markStopping() = 0;
    virtual void close() = 0;
};

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
    // What the run's calls to the live visualization reach (none: the store's coordinator).
    std::shared_ptr<RunVisualization> runVisualization;
    // The local-model manager (default: the standard one over `settings`).
    std::function<std::unique_ptr<AssistantModelManager>(const Settings&)> makeModelManager;
    // The resource folder (models, manifest) when it does not exist; checked once at launch.
    std::function<std::optional<std::string>()> missingResourceFolder;
    // Decode the history on a thread of its own and show it when ready, so that a large history
    // does not hold up the window; otherwise it is loaded before the constructor returns.
    bool loadHistoryInBackground = false;

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
    static constexpr const char* engineBlockedStatusText = "Local AI engine did not stop — benchmark blocked";
    static constexpr const char* engineWaitStatusText = "Waiting for the local AI engine to stop…";
    static constexpr const char* loadingHistoryText = "Loading history…";
    static constexpr const char* historyNotLoadedStatusText = "Loading history… — a run can start once it is shown";

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
    const std::vector<AIBenchmarkSession>& history() const { return *history_; }
    // False while the history is still being read (runs wait for it: their save needs it).
    bool historyLoaded() const { return historyLoaded_; }
    // What the user must know about the history file: restored from the backup, an unreadable file
    // or one changed by another program kept aside, or the history could not be saved. Empty when
    // all is well.
    const QString& historyNotice() const { return historyNotice_; }
    const AISystemProfile& systemProfile() const { return systemProfile_; }

    // Starts a run with the current configuration; does nothing while a run is busy.
    void start();
    // Asks the running run to stop after the active kernel; does nothing unless busy.
    void stop();
    // Unloads the current session; refused while busy.
    void clearCurrent();
    // Shows a saved session; refused while busy.
    void showSession(const Uuid& sessionID);

    // Around a run: the assistant's pause and resume.
    bool pauseAssistantForBenchmark();
    void resumeAssistantAfterBenchmark();

    // The live visualization, kept for the life of the store.
    AIVisualizationCoordinator& visualization() { return *visualization_; }
    // The assistant: its conversation state and signals live in the controller; these forward.
    AssistantConversationController& assistant() const { return *assistant_; }
    AssistantModelManager& assistantModelManager() const { return *assistantModelManager_; }
    void sendAssistantMessage(std::optional<std::string> text = std::nullopt)
    {
        assistant_->sendMessage(std::move(text));
    }
    void selectAssistantProvider(AIAssistantProvider provider) { assistant_->selectProvider(provider); }
    void selectManagedAssistantModel(const AssistantDownloadableModel& model) { assistant_->selectManagedModel(model); }
    void installEngineForManagedAssistant(const AssistantDownloadableModel& model)
    {
        assistant_->installEngineForManagedModel(model);
    }
    void startManagedAssistantModel(const AssistantDownloadableModel& model) { assistant_->startManagedModel(model); }
    void stopManagedAssistantModel() { assistant_->stopManagedModel(); }
    void stopAssistantResponse() { assistant_->stopResponse(); }
    void clearAssistantConversation() { assistant_->clearConversation(); }
    void exportAssistantConversation() { assistant_->exportConversation(); }
    static bool isManagedAssistantEndpoint(const std::string& text)
    {
        return AssistantConversationController::isManagedEndpoint(text);
    }

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
    void historyNoticeChanged(const QString& notice);

private:
    // Everything one run needs, owned by its task.
    struct Run {
        std::vector<AIExecutionItem> items;
        AIBenchmarkEngine engine;
        AIRunMode mode = AIRunMode::quick;
        bool showVisuals = true;
        AIBenchmarkSession session;
        int finishedItems = 0;  // items whose measurement completed (not cut short by a stop)
        bool cancelled = false;
        std::optional<AIBenchmarkSession> previousSession;  // shown again when the run is refused
    };

    static Task<> runTask(QPointer<BenchmarkStore> self, Run run);
    void recordItemResults(Run& run, std::vector<AIBenchmarkResult> results);
    void closeSession(Run& run);
    std::shared_ptr<const std::vector<AIBenchmarkSession>> keepInHistory(const Run& run);
    void finishRun(Run& run, bool saved);
    void failRun(Run& run, const std::string& reason);
    // A process of the local engine outlived its stop: nothing was measured, and nothing may be.
    void refuseRunBesideEngine(Run& run);
    std::vector<AIExecutionItem> buildPlan(const AIBenchmarkEngine& engine) const;
    AIBenchmarkEngine makeEngine(const AISystemProfile& system) const;
    std::vector<std::string> endOfRunNotes(const Run& run, const AISystemProfile& endSnapshot, bool cancelled) const;
    void noteHistorySave(const SessionPersistence::SaveReport& report);
    void historyDidLoad(SessionPersistence::LoadReport report);

    void setRunState(AIRunState state);
    void setStatusText(const QString& text);
    void setProgress(double progress);
    void setCurrentSession(std::optional<AIBenchmarkSession> session);

    BenchmarkStoreServices services_;
    std::shared_ptr<BenchmarkCancellationToken> cancellation_;
    std::unique_ptr<AIVisualizationCoordinator> visualization_;
    std::shared_ptr<RunVisualization> runVisualization_;

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
    // Shared with a save in progress on a worker; copied before a change while shared.
    std::shared_ptr<std::vector<AIBenchmarkSession>> history_;
    SessionPersistence::LoadReport historyLoad_;  // without its sessions
    QString historyChangedKeptAs_;                // where a save kept a history changed by another program
    bool historyLoaded_ = false;
    QString historyNotice_;
    AISystemProfile systemProfile_;

    Task<> runTask_;
    ScopedObserver stopRequestObserver_;
    // Declared in this order so that the conversation, which uses the manager, goes first.
    std::unique_ptr<AssistantModelManager> assistantModelManager_;
    std::unique_ptr<AssistantConversationController> assistant_;
    // Last, so that it is joined first: its result is posted to this object.
    std::jthread historyLoader_;
};

}  // namespace korvalen
