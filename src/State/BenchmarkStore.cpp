#include "State/BenchmarkStore.h"

#include "Model/KorvalenAILogger.h"
#include "Model/NotificationNames.h"
#include "Model/ScoreCalculator.h"
#include "Platform/Async/Async.h"
#include "Platform/Foundation/NumberFormat.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <exception>
#include <string>

namespace korvalen {

namespace {

QString qtext(const std::string& s)
{
    return QString::fromStdString(s);
}

std::string boolText(bool value)
{
    return value ? "true" : "false";
}

std::string registryText(std::optional<std::uint64_t> id)
{
    return id ? std::to_string(*id) : "none";
}

// A runner that throws (the engine never should) must still leave a trace in the session: an
// invalid result with the failure's text, not a silently missing workload.
AIBenchmarkResult failedItemResult(const AIExecutionItem& item, const std::string& message, Date startedAt)
{
    AIBenchmarkResult result;
    result.id = Uuid::random();
    result.workloadID = item.workload.id;
    result.backend = item.backend;
    result.precision = item.workload.precision;
    result.startedAt = startedAt;
    result.throughputUnit = item.workload.throughputUnit;
    result.thermalStart = "Unknown";
    result.thermalEnd = "Unknown";
    result.error = message;
    result.scoreRole = item.role;
    result.gpuRegistryID = item.gpuRegistryID;
    result.certifiedForComparison = false;
    return result;
}

QString historyNoticeText(const SessionPersistence::LoadReport& load, const QString& changedKeptAs, bool saveFailed,
                          const QString& folder, const QString& historyPath)
{
    QStringList lines;
    if (!load.unreadable.isEmpty())
        lines << "The history file cannot be read (" + load.unreadable + "): " + historyPath;
    if (load.fromBackup)
        lines << (load.mainMissing ? "History restored from its backup: the history file was missing."
                                   : "History restored from its backup: the history file could not be read in full.");
    if (load.skippedSessions > 0)
        lines << qtext(std::to_string(load.skippedSessions) + (load.skippedSessions == 1
                                                                   ? " saved run could not be read."
                                                                   : " saved runs could not be read."));
    if (!load.quarantinedTo.isEmpty())
        lines << "The unreadable history file is kept as " + QFileInfo(load.quarantinedTo).fileName() + ".";
    if (!load.backupQuarantinedTo.isEmpty())
        lines << "The unreadable history backup is kept as " + QFileInfo(load.backupQuarantinedTo).fileName() + ".";
    // Its runs are in no list the window shows: the user needs the whole path to find them.
    if (!changedKeptAs.isEmpty())
        lines << "The history file was changed outside Korvalen AI and held runs not shown here: it is kept as " +
                     changedKeptAs + ".";
    if (saveFailed) lines << "History could not be saved in " + folder + ".";
    return lines.join('\n');
}

// The application's live visualization.
class CoordinatorVisualization : public RunVisualization {
public:
    explicit CoordinatorVisualization(AIVisualizationCoordinator& coordinator) : coordinator_(coordinator) {}
    void prepare(const AIWorkloadDefinition& workload, AIBackend backend, bool enabled) override
    {
        coordinator_.prepare(workload, backend, enabled);
    }
    Task<> complete(std::vector<AIBenchmarkResult> results, bool cancelled,
                    std::shared_ptr<BenchmarkCancellationToken> cancellation) override
    {
        return coordinator_.complete(std::move(results), cancelled, std::move(cancellation));
    }
    void markStopping() override { coordinator_.markStopping(); }
    void close() override { coordinator_.close(); }

private:
    AIVisualizationCoordinator& coordinator_;
};

int thermalRank(const std::string& state)
{
    if (state == "Critical") return 3;
    if (state == "Serious") return 2;
    if (state == "Fair") return 1;
    return 0;
}

}  // namespace

BenchmarkStore::BenchmarkStore(BenchmarkStoreServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)), cancellation_(std::make_shared<BenchmarkCancellationToken>())
{
    if (!services_.notifications) services_.notifications = &NotificationCenter::defaultCenter();
    if (!services_.clock) services_.clock = [] { return now(); };
    if (!services_.applicationIsTerminating) services_.applicationIsTerminating = [] { return false; };
    if (!services_.runtimeSnapshot) services_.runtimeSnapshot = [](const AISystemProfile& base) { return base; };
    if (!services_.persistence) services_.persistence = std::make_shared<SessionPersistence>();

    // Started first, so that reading a large history overlaps the machine's profile.
    history_ = std::make_shared<std::vector<AIBenchmarkSession>>();
    if (services_.loadHistoryInBackground) {
        historyNotice_ = loadingHistoryText;
        // The result travels through the event loop; the thread is joined before this object goes.
        historyLoader_ = std::jthread([this, persistence = services_.persistence] {
            SessionPersistence::LoadReport report;
            try {
                report = persistence->loadReport();
            } catch (const std::exception& e) {
                KorvalenAILogger::error(std::string("HISTORY_LOAD_FAILED reason=") + e.what());
                report = {};
                report.unreadable = "read error";
            }
            auto loaded = std::make_shared<SessionPersistence::LoadReport>(std::move(report));
            QMetaObject::invokeMethod(
                this, [this, loaded] { historyDidLoad(std::move(*loaded)); }, Qt::QueuedConnection);
        });
    } else {
        historyDidLoad(services_.persistence->loadReport());
    }

    visualization_ = std::make_unique<AIVisualizationCoordinator>(services_.visualization);
    runVisualization_ = services_.runVisualization ? services_.runVisualization
                                                   : std::make_shared<CoordinatorVisualization>(*visualization_);

    showLiveVisualizations_ = services_.settings.boolValue(Settings::Key::showLiveVisualizations, true);

    systemProfile_ = services_.currentProfile ? services_.currentProfile() : AISystemProfile{};
    if (services_.makeModelManager) {
        assistantModelManager_ = services_.makeModelManager(services_.settings);
    } else {
        AssistantModelManager::Options local;
        local.settings = services_.settings;
        assistantModelManager_ = std::make_unique<AssistantModelManager>(local);
    }
    selectedGPURegistryID_ = systemProfile_.gpuRegistryID;
    {
        // The conversation reads the store through this access only; its settings are read here.
        QPointer<BenchmarkStore> store(this);
        AssistantConversationController::Services assistant;
        assistant.store.runIsBusy = [store] { return store && store->isBusy(); };
        assistant.store.currentSession = [store] { return store ? store->currentSession_ : std::nullopt; };
        assistant.store.history = [store]() -> std::shared_ptr<const std::vector<AIBenchmarkSession>> {
            return store ? store->history_ : std::make_shared<const std::vector<AIBenchmarkSession>>();
        };
        assistant.store.systemProfile = [store] { return store ? store->systemProfile_ : AISystemProfile{}; };
        assistant.store.applicationIsTerminating = [store] {
            return store && store->services_.applicationIsTerminating();
        };
        assistant.settings = services_.settings;
        assistant.modelManager = assistantModelManager_.get();
        assistant.clock = services_.clock;
        assistant_ = std::make_unique<AssistantConversationController>(std::move(assistant));
    }

    const AISystemProfile& p = systemProfile_;
    KorvalenAILogger::info("SYSTEM_PROFILE cpu=" + p.cpuName + " arch=" + p.architecture +
                           " cores=" + std::to_string(p.physicalCores) + "/" + std::to_string(p.logicalCores) +
                           " memoryGB=" + formatFixed(p.memoryGB, 1) + " os=" + p.osVersion + " app=" + p.appVersion);
    KorvalenAILogger::info("SYSTEM_GPU name=" + p.gpuName + " registry=" + registryText(p.gpuRegistryID) +
                           " devices=" + std::to_string(p.gpuProfiles ? p.gpuProfiles->size() : 0) +
                           " neuralEngine=" + boolText(p.neuralEngineAvailable));

    // Said before any run: otherwise the first sign would be every model workload failing.
    if (services_.missingResourceFolder) {
        if (const auto folder = services_.missingResourceFolder()) {
            KorvalenAILogger::error("RESOURCES_MISSING path=" + *folder);
            statusText_ = qtext("Resource folder not found: " + *folder + " — model workloads cannot run");
        }
    }

    QPointer<BenchmarkStore> self(this);
    stopRequestObserver_ = ScopedObserver(*services_.notifications, NotificationName::korvalenAIStopRequested,
                                          [self](const Notification&) {
                                              if (self) self->stop();
                                          });
}

BenchmarkStore::~BenchmarkStore()
{
    // A run still going ends at its next check; its task sees the store gone and stops there.
    cancellation_->cancel();
}

void BenchmarkStore::setSelectedMode(AIRunMode mode)
{
    selectedMode_ = mode;
    emit configurationChanged();
}

void BenchmarkStore::setSelectedBackend(AIBackend backend)
{
    selectedBackend_ = backend;
    emit configurationChanged();
}

void BenchmarkStore::setCompareAllBackends(bool on)
{
    compareAllBackends_ = on;
    emit configurationChanged();
}

void BenchmarkStore::setCompareAllGPUs(bool on)
{
    compareAllGPUs_ = on;
    emit configurationChanged();
}

void BenchmarkStore::setSelectedGPURegistryID(std::optional<std::uint64_t> registryID)
{
    selectedGPURegistryID_ = registryID;
    emit configurationChanged();
}

void BenchmarkStore::setShowLiveVisualizations(bool on)
{
    showLiveVisualizations_ = on;
    services_.settings.setBool(Settings::Key::showLiveVisualizations, on);
    emit showLiveVisualizationsChanged(on);
}

void BenchmarkStore::setRunState(AIRunState state)
{
    runState_ = std::move(state);
    emit runStateChanged();
}

void BenchmarkStore::setStatusText(const QString& text)
{
    statusText_ = text;
    emit statusTextChanged(text);
}

void BenchmarkStore::setProgress(double progress)
{
    progress_ = progress;
    emit progressChanged(progress);
}

void BenchmarkStore::setCurrentSession(std::optional<AIBenchmarkSession> session)
{
    currentSession_ = std::move(session);
    emit currentSessionChanged();
}

bool BenchmarkStore::pauseAssistantForBenchmark()
{
    return assistant_->pauseForBenchmark();
}

void BenchmarkStore::resumeAssistantAfterBenchmark()
{
    if (!services_.applicationIsTerminating()) assistant_->resumeAfterBenchmark();
}

AIBenchmarkEngine BenchmarkStore::makeEngine(const AISystemProfile& system) const
{
    return AIBenchmarkEngine{cancellation_, system, selectedGPURegistryID_};
}

std::vector<AIExecutionItem> BenchmarkStore::buildPlan(const AIBenchmarkEngine& engine) const
{
    if (!services_.engine.executionPlan) return {};
    return services_.engine.executionPlan(engine, selectedMode_, selectedBackend_, compareAllBackends_,
                                          compareAllGPUs_);
}

void BenchmarkStore::start()
{
    if (isBusy()) return;
    // The run's save writes the history: it must hold what was on disk.
    if (!historyLoaded_) {
        setStatusText(historyNotLoadedStatusText);
        KorvalenAILogger::warning("RUN_REFUSED reason=history-loading");
        return;
    }
    // A pending quit waits for running work; a new run would only hold it up.
    if (services_.applicationIsTerminating()) {
        KorvalenAILogger::warning("RUN_REFUSED reason=terminating");
        return;
    }

    static const QString emptyPlanText =
        "No workload of this run mode can run on the selected accelerator on this machine";
    cancellation_->reset();
    if (buildPlan(makeEngine(systemProfile_)).empty()) {
        // The bar must not go on showing the previous run as done beside a refusal.
        setProgress(0);
        setStatusText(emptyPlanText);
        KorvalenAILogger::warning("RUN_REFUSED reason=empty-plan mode=" + std::string(rawValue(selectedMode_)) +
                                  " backend=" + std::string(rawValue(selectedBackend_)));
        return;
    }
    if (!pauseAssistantForBenchmark()) {
        setProgress(0);
        setStatusText(engineBlockedStatusText);
        return;
    }

    const AISystemProfile snapshot = services_.runtimeSnapshot(systemProfile_);
    if (selectedGPURegistryID_) {
        const auto& gpus = snapshot.gpuProfiles ? *snapshot.gpuProfiles : std::vector<AIGPUProfile>{};
        const bool present = std::any_of(
            gpus.begin(), gpus.end(), [&](const AIGPUProfile& g) { return g.registryID == *selectedGPURegistryID_; });
        if (!present) {
            // The chosen GPU went away since it was chosen: run on the machine's current default
            // rather than plan work for a device that no longer exists.
            KorvalenAILogger::warning("RUN_SELECTED_GPU_MISSING registry=" + registryText(selectedGPURegistryID_) +
                                      " fallback=" + registryText(snapshot.gpuRegistryID));
            setSelectedGPURegistryID(snapshot.gpuRegistryID);
        }
    }

    Run run;
    run.engine = makeEngine(snapshot);
    run.items = buildPlan(run.engine);
    run.mode = selectedMode_;
    run.showVisuals = showLiveVisualizations_;
    if (run.items.empty()) {
        setProgress(0);
        setStatusText(emptyPlanText);
        KorvalenAILogger::warning("RUN_REFUSED reason=empty-plan-after-snapshot");
        resumeAssistantAfterBenchmark();
        return;
    }

    AIBenchmarkSession& session = run.session;
    session.id = Uuid::random();
    session.startedAt = services_.clock();
    session.mode = selectedMode_;
    session.requestedBackend = selectedBackend_;
    session.compareAllBackends = compareAllBackends_;
    session.system = snapshot;
    session.selectedGPURegistryID = selectedGPURegistryID_;
    session.compareAllGPUs = compareAllGPUs_;
    session.methodologyVersion = methodologyVersion;
    session.scores = ScoreCalculator::summarize({});

    run.previousSession = currentSession_;
    setCurrentSession(session);
    setProgress(0);
    setRunState(AIRunState::preparing());
    setStatusText(qtext("Preparing " + std::string(rawValue(run.mode)) + " — " + std::to_string(run.items.size()) +
                        (run.items.size() == 1 ? " workload" : " workloads")));
    KorvalenAILogger::info(
        "RUN_START session=" + session.id.text() + " mode=" + std::string(rawValue(run.mode)) +
        " backend=" + std::string(rawValue(selectedBackend_)) + " items=" + std::to_string(run.items.size()) +
        " compareAllBackends=" + boolText(compareAllBackends_) + " compareAllGPUs=" + boolText(compareAllGPUs_) +
        " gpu=" + registryText(selectedGPURegistryID_) + " visuals=" + boolText(run.showVisuals));
    services_.notifications->post(NotificationName::korvalenAIRunDidStart);
    runTask_ = runTask(QPointer<BenchmarkStore>(this), std::move(run));
}

Task<> BenchmarkStore::runTask(QPointer<BenchmarkStore> self, Run run)
{
    std::string failure;
    try {
        // The local engine was asked to stop before the run; no measurement starts while a process
        // of it lives. The wait (the grace period, then the kill) leaves the window responsive.
        if (self->assistantModelManager_->serverProcessAlive()) {
            // Until the run starts or is refused, the window says what it waits for.
            self->setStatusText(engineWaitStatusText);
            Task<bool> engineExit = self->assistantModelManager_->waitForServerExit();
            const bool stopped = co_await std::move(engineExit);
            if (!self) co_return;
            if (!stopped) {
                self->refuseRunBesideEngine(run);
                co_return;
            }
        }
        const int count = static_cast<int>(run.items.size());
        for (int index = 0; index < count; ++index) {
            if (run.engine.cancellation->isCancelled()) break;
            const AIExecutionItem item = run.items[static_cast<std::size_t>(index)];

            if (run.showVisuals && visualizationSceneCanExist(item.workload.id, item.backend)) {
                self->setRunState(AIRunState::preparing());
                self->setStatusText(qtext("Preparing benchmark visual — " + item.workload.title));
                self->runVisualization_->prepare(item.workload, item.backend, true);
                if (run.engine.cancellation->isCancelled()) {
                    std::vector<AIBenchmarkResult> none;
                    const auto token = run.engine.cancellation;
                    co_await self->runVisualization_->complete(std::move(none), true, token);
                    if (!self) co_return;
                    break;
                }
            } else {
                self->runVisualization_->close();
            }

            self->setRunState(AIRunState::running(item.workload.id, item.backend, index + 1, count));
            self->setStatusText(qtext("Running " + item.workload.title + " on " + std::string(rawValue(item.backend)) +
                                      " (" + std::to_string(index + 1) + " of " + std::to_string(count) + ")"));

            const Date itemStart = self->services_.clock();
            std::vector<AIBenchmarkResult> results;
            try {
                auto measure = [runItem = self->services_.engine.runItem, engine = run.engine, item, mode = run.mode] {
                    return runItem(engine, item, mode);
                };
                results = co_await runDetached(measure);
            } catch (const std::exception& e) {
                KorvalenAILogger::error("RUN_ITEM_FAILED workload=" + std::string(rawValue(item.workload.id)) +
                                        " reason=" + e.what());
                results = {failedItemResult(item, e.what(), itemStart)};
            } catch (...) {
                results = {failedItemResult(item, "Unknown failure while measuring", itemStart)};
            }
            if (!self) co_return;

            std::vector<AIBenchmarkResult> shown = results;
            std::erase_if(shown, [](const AIBenchmarkResult& r) { return r.error && *r.error == cancelledErrorText; });
            self->recordItemResults(run, std::move(results));
            const auto token = run.engine.cancellation;
            const bool cancelled = token->isCancelled();
            co_await self->runVisualization_->complete(std::move(shown), cancelled, token);
            if (!self) co_return;
        }
        self->closeSession(run);
        bool saved = false;
        if (auto history = self->keepInHistory(run)) {
            // Encoding and writing a large history takes seconds: never on the main thread.
            auto write = [persistence = self->services_.persistence, history] {
                return persistence->saveReport(*history);
            };
            const SessionPersistence::SaveReport report = co_await runDetached(write);
            if (!self) co_return;
            saved = report.saved;
            self->noteHistorySave(report);
        }
        self->finishRun(run, saved);
        co_return;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown error";
    }
    if (self) self->failRun(run, failure);
}

void BenchmarkStore::recordItemResults(Run& run, std::vector<AIBenchmarkResult> results)
{
    // A result cut short by a stop is not a measurement: it is dropped, not stored as invalid.
    auto isCancelled = [](const AIBenchmarkResult& r) { return r.error && *r.error == cancelledErrorText; };
    // An item cut short by a stop did not finish, whatever else it handed back.
    const bool completed = !cancellation_->isCancelled() ||
                           (!results.empty() && std::none_of(results.begin(), results.end(), isCancelled));
    std::erase_if(results, isCancelled);
    for (auto& result : results) run.session.results.push_back(std::move(result));
    run.session.scores = ScoreCalculator::summarize(run.session.results);
    if (completed) ++run.finishedItems;
    setCurrentSession(run.session);
    setProgress(static_cast<double>(run.finishedItems) / static_cast<double>(run.items.size()));
}

std::vector<std::string> BenchmarkStore::endOfRunNotes(const Run& run, const AISystemProfile& endSnapshot,
                                                       bool cancelled) const
{
    const AIBenchmarkSession& session = run.session;
    std::vector<std::string> notes = ScoreCalculator::runtimeConditionChangeNotes(session.system, endSnapshot);

    std::string worst;
    for (const auto& result : session.results) {
        auto consider = [&](const std::string& state) {
            if (thermalRank(state) > thermalRank(worst)) worst = state;
        };
        consider(result.thermalStart);
        consider(result.thermalEnd);
        if (result.thermalStateSamples)
            for (const auto& state : *result.thermalStateSamples) consider(state);
    }
    if (thermalRank(worst) >= 2) notes.push_back("Thermal state reached " + worst + " during the run");
    if (cancelled) notes.push_back("Run was stopped before every workload finished");

    for (auto& note : ScoreCalculator::sessionCertificationNotes(session.system, session.results))
        notes.push_back(std::move(note));
    std::vector<std::string> unique;
    for (auto& note : notes)
        if (std::find(unique.begin(), unique.end(), note) == unique.end()) unique.push_back(std::move(note));
    return unique;
}

std::shared_ptr<const std::vector<AIBenchmarkSession>> BenchmarkStore::keepInHistory(const Run& run)
{
    if (run.cancelled || run.session.results.empty()) return nullptr;
    // A save still writing the previous list keeps its own copy.
    if (history_.use_count() > 1) history_ = std::make_shared<std::vector<AIBenchmarkSession>>(*history_);
    auto& history = *history_;
    std::erase_if(history, [&](const AIBenchmarkSession& s) { return s.id == run.session.id; });
    history.insert(history.begin(), run.session);
    if (history.size() > static_cast<std::size_t>(SessionPersistence::historyLimit))
        history.resize(SessionPersistence::historyLimit);
    emit historyChanged();
    return history_;
}

void BenchmarkStore::historyDidLoad(SessionPersistence::LoadReport report)
{
    history_ = std::make_shared<std::vector<AIBenchmarkSession>>(std::move(report.sessions));
    historyLoad_ = std::move(report);
    historyLoad_.sessions.clear();
    historyLoaded_ = true;
    historyNotice_ = historyNoticeText(historyLoad_, historyChangedKeptAs_, false, services_.persistence->folder(),
                                       services_.persistence->historyPath());
    // Loaded in the constructor, there is nobody to tell yet.
    if (!services_.loadHistoryInBackground) return;
    emit historyChanged();
    emit historyNoticeChanged(historyNotice_);
    if (statusText_ == historyNotLoadedStatusText) setStatusText(readyStatusText);
}

void BenchmarkStore::noteHistorySave(const SessionPersistence::SaveReport& report)
{
    // What a save had to put aside is told like what loading put aside.
    if (!report.quarantinedTo.isEmpty()) historyLoad_.quarantinedTo = report.quarantinedTo;
    if (!report.backupQuarantinedTo.isEmpty()) historyLoad_.backupQuarantinedTo = report.backupQuarantinedTo;
    if (!report.changedKeptAs.isEmpty()) historyChangedKeptAs_ = report.changedKeptAs;
    historyNotice_ = historyNoticeText(historyLoad_, historyChangedKeptAs_, !report.saved,
                                       services_.persistence->folder(), services_.persistence->historyPath());
    emit historyNoticeChanged(historyNotice_);
}

void BenchmarkStore::closeSession(Run& run)
{
    run.cancelled = cancellation_->isCancelled();
    AIBenchmarkSession& session = run.session;
    session.completedAt = services_.clock();
    session.cancelled = run.cancelled;
    const AISystemProfile endSnapshot = services_.runtimeSnapshot(systemProfile_);
    session.scores = ScoreCalculator::summarize(session.results);
    session.certificationNotes = endOfRunNotes(run, endSnapshot, run.cancelled);
    setCurrentSession(session);
}

void BenchmarkStore::finishRun(Run& run, bool saved)
{
    const bool cancelled = run.cancelled;
    const AIBenchmarkSession& session = run.session;
    const bool kept = !cancelled && !session.results.empty();

    const std::size_t total = run.items.size();
    QString status;
    if (cancelled) {
        status = qtext("Benchmark stopped — " + std::to_string(run.finishedItems) + " of " + std::to_string(total) +
                       " workloads finished");
    } else if (session.results.empty()) {
        status = "Benchmark finished without results";
    } else {
        status = qtext("Completed " + std::string(rawValue(session.mode)) + " — overall score " +
                       formatFixed(session.scores.overall, 0) + ", " + std::to_string(session.scores.validResults) +
                       " of " + std::to_string(session.results.size()) + " results valid");
    }
    if (kept && !saved) status += " (history could not be saved)";

    setRunState(cancelled ? AIRunState::idle() : AIRunState::completed());
    setProgress(cancelled ? 0.0 : 1.0);
    setStatusText(status);
    runVisualization_->close();
    if (!services_.applicationIsTerminating()) resumeAssistantAfterBenchmark();

    KorvalenAILogger::info("RUN_FINISH session=" + session.id.text() + " cancelled=" + boolText(cancelled) +
                           " results=" + std::to_string(session.results.size()) +
                           " valid=" + std::to_string(session.scores.validResults) +
                           " overall=" + formatFixed(session.scores.overall, 2) + " saved=" + boolText(saved));
    services_.notifications->post(NotificationName::korvalenAIRunDidFinish);
}

void BenchmarkStore::failRun(Run& run, const std::string& reason)
{
    // Whatever went wrong, the run must end visibly and announce its end, or a pending quit would
    // wait for it forever.
    KorvalenAILogger::error("RUN_FAILED session=" + run.session.id.text() + " reason=" + reason);
    run.session.completedAt = services_.clock();
    setCurrentSession(run.session);
    setRunState(AIRunState::failed(reason));
    setProgress(0);
    setStatusText(qtext("Benchmark failed: " + reason));
    runVisualization_->close();
    if (!services_.applicationIsTerminating()) resumeAssistantAfterBenchmark();
    services_.notifications->post(NotificationName::korvalenAIRunDidFinish);
}

void BenchmarkStore::refuseRunBesideEngine(Run& run)
{
    KorvalenAILogger::warning("RUN_REFUSED reason=local-engine-alive session=" + run.session.id.text());
    setCurrentSession(std::move(run.previousSession));
    setRunState(AIRunState::idle());
    setProgress(0);
    setStatusText(engineBlockedStatusText);
    runVisualization_->close();
    assistant_->benchmarkBlockedByEngine();
    services_.notifications->post(NotificationName::korvalenAIRunDidFinish);
}

void BenchmarkStore::stop()
{
    if (!isBusy()) return;
    setRunState(AIRunState::stopping());
    setStatusText(stoppingStatusText);
    cancellation_->cancel();
    KorvalenAILogger::info("RUN_STOP_REQUESTED");
    runVisualization_->markStopping();
}

void BenchmarkStore::clearCurrent()
{
    if (isBusy()) return;
    runVisualization_->close();
    // The publication state is reset here with the session.
    setCurrentSession(std::nullopt);
    setProgress(0);
    setStatusText(readyStatusText);
    setRunState(AIRunState::idle());
}

void BenchmarkStore::showSession(const Uuid& sessionID)
{
    if (isBusy()) return;
    const auto& history = *history_;
    auto it =
        std::find_if(history.begin(), history.end(), [&](const AIBenchmarkSession& s) { return s.id == sessionID; });
    if (it == history.end()) return;
    const bool another = !currentSession_ || currentSession_->id != sessionID;
    setCurrentSession(*it);
    if (another) {
        // The last run's status and bar describe that run, not the session now shown.
        setProgress(0);
        setStatusText(readyStatusText);
        setRunState(AIRunState::idle());
    }
}

}  // namespace korvalen
