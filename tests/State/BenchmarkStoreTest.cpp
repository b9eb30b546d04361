#include "Model/AIRecordsJSON.h"
#include "Model/KorvalenAILogger.h"
#include "Model/NotificationNames.h"
#include "Platform/Async/Async.h"
#include "State/BenchmarkStore.h"
#include "support/FakeBenchmarkEngine.h"
#include "support/FileBytes.h"
#include "support/LogCapture.h"
#include "support/QtTestApp.h"
#include "support/RecordingRunVisualization.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

#include <sys/stat.h>

using namespace korvalen;
using korvalen::test::processEventsUntil;
using korvalen::testing::FakeBenchmarkEngine;

namespace {

struct BenchmarkStoreTest : ::testing::Test {
    QTemporaryDir dir;
    NotificationCenter notifications;
    FakeBenchmarkEngine engine;
    std::vector<std::string> posted;
    std::vector<ScopedObserver> observers;
    AISystemProfile launchProfile = korvalen::testing::comparableSystem();
    std::function<AISystemProfile(const AISystemProfile&)> snapshot = [](const AISystemProfile& base) {
        AISystemProfile s = base;
        s.availableMemoryGB = 7.5;
        return s;
    };

    void SetUp() override
    {
        korvalen::test::qtApp();
        for (auto name : {NotificationName::korvalenAIRunDidStart, NotificationName::korvalenAIRunDidFinish})
            observers.emplace_back(notifications, name, [this](const Notification& n) { posted.push_back(n.name); });
    }

    BenchmarkStoreServices services()
    {
        BenchmarkStoreServices s =
            engine.storeServices(notifications, dir.path() + "/data", dir.path() + "/settings.conf");
        s.currentProfile = [this] { return launchProfile; };
        s.runtimeSnapshot = [this](const AISystemProfile& base) { return snapshot(base); };
        return s;
    }

    std::unique_ptr<BenchmarkStore> makeStore() { return std::make_unique<BenchmarkStore>(services()); }

    static bool finished(const BenchmarkStore& store) { return !store.isBusy() && !store.hasActiveRunTask(); }
};

std::string describe(const AIRunState& s)
{
    if (auto r = std::get_if<AIRunState::Running>(&s.value))
        return "running " + std::to_string(r->index) + "/" + std::to_string(r->count);
    if (std::holds_alternative<AIRunState::Preparing>(s.value)) return "preparing";
    if (std::holds_alternative<AIRunState::Stopping>(s.value)) return "stopping";
    if (std::holds_alternative<AIRunState::Completed>(s.value)) return "completed";
    if (std::holds_alternative<AIRunState::Idle>(s.value)) return "idle";
    return "failed";
}

TEST_F(BenchmarkStoreTest, ARunWalksItsStatesMeasuresOffTheMainThreadAndEndsInTheHistory)
{
    auto store = makeStore();
    std::vector<std::string> states;
    std::vector<double> progress;
    QObject::connect(store.get(), &BenchmarkStore::runStateChanged,
                     [&] { states.push_back(describe(store->runState())); });
    QObject::connect(store.get(), &BenchmarkStore::progressChanged, [&](double p) { progress.push_back(p); });

    store->start();
    EXPECT_TRUE(store->isBusy());
    EXPECT_EQ(posted, std::vector<std::string>{"KorvalenAIRunDidStart"});
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));

    // Live visualizations are on by default: each item with a scene first prepares its window.
    EXPECT_EQ(states, (std::vector<std::string>{"preparing", "preparing", "running 1/3", "preparing", "running 2/3",
                                                "preparing", "running 3/3", "completed"}));
    ASSERT_EQ(progress.size(), 5u);
    EXPECT_DOUBLE_EQ(progress[0], 0.0);
    EXPECT_DOUBLE_EQ(progress[1], 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(progress[3], 1.0);
    EXPECT_DOUBLE_EQ(store->progress(), 1.0);
    EXPECT_EQ(posted, (std::vector<std::string>{"KorvalenAIRunDidStart", "KorvalenAIRunDidFinish"}));
    for (auto id : engine.state().runnerThreads) EXPECT_NE(id, std::this_thread::get_id());

    ASSERT_TRUE(store->currentSession());
    const AIBenchmarkSession& session = *store->currentSession();
    EXPECT_EQ(session.results.size(), 3u);
    EXPECT_FALSE(session.cancelled);
    EXPECT_TRUE(session.completedAt.has_value());
    EXPECT_EQ(session.methodologyVersion, 4);
    EXPECT_EQ(session.system.availableMemoryGB, 7.5) << "the session records the snapshot taken at the start";
    EXPECT_GT(session.scores.overall, 0);
    EXPECT_TRUE(session.certificationNotes.has_value());
    ASSERT_EQ(store->history().size(), 1u);
    EXPECT_EQ(store->history().front(), session);
    EXPECT_EQ(SessionPersistence(dir.path() + "/data").load(), store->history());
    EXPECT_TRUE(store->statusText().startsWith("Completed Quick AI"));
}

TEST_F(BenchmarkStoreTest, AnEmptyPlanIsRefusedWithAStatusAndNothingStarts)
{
    engine.state().workloads.clear();
    auto store = makeStore();
    store->start();
    EXPECT_FALSE(store->isBusy());
    EXPECT_FALSE(store->hasActiveRunTask());
    EXPECT_NE(store->statusText(), BenchmarkStore::readyStatusText);
    EXPECT_TRUE(posted.empty());
    EXPECT_FALSE(store->currentSession());

    // The engine not wired at all plans nothing as well.
    BenchmarkStoreServices s = services();
    s.engine = {};
    BenchmarkStore unwired(std::move(s));
    unwired.start();
    EXPECT_FALSE(unwired.isBusy());
    EXPECT_TRUE(posted.empty());
}

TEST_F(BenchmarkStoreTest, StopWhileBusyEndsAfterTheActiveItemAndDropsItsCancelledResult)
{
    korvalen::testing::LogCapture log;
    auto store = makeStore();
    const auto historyBefore = store->history();
    engine.holdItems(true);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));

    store->stop();
    EXPECT_TRUE(std::holds_alternative<AIRunState::Stopping>(store->runState().value));
    EXPECT_EQ(store->statusText(), "Stopping safely after the active kernel");
    store->start();  // busy: ignored
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));

    EXPECT_EQ(engine.itemsStarted(), 1) << "no further item starts after a stop";
    EXPECT_TRUE(std::holds_alternative<AIRunState::Idle>(store->runState().value));
    EXPECT_EQ(store->progress(), 0.0);
    ASSERT_TRUE(store->currentSession());
    EXPECT_TRUE(store->currentSession()->cancelled);
    EXPECT_TRUE(store->currentSession()->results.empty()) << "\"Benchmark cancelled.\" results are not kept";
    EXPECT_EQ(store->history(), historyBefore) << "a stopped run is not saved";
    EXPECT_EQ(store->statusText(), "Benchmark stopped — 0 of 3 workloads finished") << "the interrupted item did not";
    ASSERT_EQ(log.events("RUN_FINISH").size(), 1u);
    EXPECT_NE(log.events("RUN_FINISH")[0].find(" saved=false"), std::string::npos);
    EXPECT_EQ(posted, (std::vector<std::string>{"KorvalenAIRunDidStart", "KorvalenAIRunDidFinish"}));
}

TEST_F(BenchmarkStoreTest, StopWhileIdleChangesNothing)
{
    auto store = makeStore();
    int changes = 0;
    QObject::connect(store.get(), &BenchmarkStore::runStateChanged, [&] { ++changes; });
    store->stop();
    notifications.post(NotificationName::korvalenAIStopRequested);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(store->statusText(), "Ready");
}

TEST_F(BenchmarkStoreTest, AStopRequestFromTheApplicationStopsTheRun)
{
    auto store = makeStore();
    engine.holdItems(true);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));
    notifications.post(NotificationName::korvalenAIStopRequested);
    EXPECT_TRUE(std::holds_alternative<AIRunState::Stopping>(store->runState().value));
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    EXPECT_TRUE(store->currentSession()->cancelled);
}

// A quit waits for the workload in progress: with the store gone, nothing else would end it.
TEST_F(BenchmarkStoreTest, AStoreDestroyedDuringARunCancelsIt)
{
    auto store = makeStore();
    engine.holdItems(true);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));
    store.reset();
    const bool ended = processEventsUntil([&] {
        std::lock_guard lock(engine.state().mutex);
        return engine.state().itemsFinished == 1;
    });
    engine.holdItems(false);
    EXPECT_TRUE(ended) << "the held workload saw the cancellation";
    ASSERT_TRUE(processEventsUntil([&] {
        std::lock_guard lock(engine.state().mutex);
        return engine.state().itemsFinished == 1;
    }));
    for (int turn = 0; turn < 20; ++turn) QCoreApplication::processEvents();
    EXPECT_EQ(engine.itemsStarted(), 1) << "no further workload starts";
}

TEST_F(BenchmarkStoreTest, OnlyCancelledResultsAreDroppedFromAnItem)
{
    engine.state().edit = [](const AIExecutionItem& item, std::vector<AIBenchmarkResult> results) {
        results.push_back(FakeBenchmarkEngine::cancelledResult(item));
        AIBenchmarkResult similar = FakeBenchmarkEngine::cancelledResult(item);
        similar.error = "Benchmark cancelled. (late)";  // not the exact text: kept as an invalid result
        results.push_back(similar);
        return results;
    };
    auto store = makeStore();
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    const auto& results = store->currentSession()->results;
    ASSERT_EQ(results.size(), 6u);
    for (std::size_t i = 0; i < results.size(); i += 2) {
        EXPECT_TRUE(results[i].valid);
        EXPECT_EQ(results[i + 1].error, "Benchmark cancelled. (late)");
    }
}

TEST_F(BenchmarkStoreTest, AFailingRunnerLeavesAnInvalidResultWithItsReasonAndTheRunGoesOn)
{
    engine.state().edit = [](const AIExecutionItem& item, std::vector<AIBenchmarkResult> results) {
        if (item.workload.id == AIWorkloadID::textEmbeddings) throw std::runtime_error("device lost");
        return results;
    };
    auto store = makeStore();
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    const auto& results = store->currentSession()->results;
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[1].valid);
    EXPECT_EQ(results[1].workloadID, AIWorkloadID::textEmbeddings);
    EXPECT_EQ(results[1].error, "device lost");
    EXPECT_TRUE(results[2].valid);
    EXPECT_EQ(store->currentSession()->scores.invalidResults, 1);
}

TEST_F(BenchmarkStoreTest, HistoryKeepsTheTwentyNewestWithTheNewRunFirst)
{
    std::vector<AIBenchmarkSession> saved;
    for (int i = 0; i < 20; ++i) saved.push_back(korvalen::testing::sampleSession(i + 1));
    ASSERT_TRUE(SessionPersistence(dir.path() + "/data").save(saved));

    auto store = makeStore();
    ASSERT_EQ(store->history(), saved);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    ASSERT_EQ(store->history().size(), 20u);
    EXPECT_EQ(store->history().front().id, store->currentSession()->id);
    EXPECT_EQ(store->history()[1], saved[0]);
    EXPECT_EQ(store->history().back(), saved[18]);
    EXPECT_EQ(SessionPersistence(dir.path() + "/data").load(), store->history());
}

TEST_F(BenchmarkStoreTest, TheWindowIsToldWhenTheHistoryWasRestoredSetAsideOrCannotBeSaved)
{
    korvalen::testing::LogCapture log;
    const QString data = dir.path() + "/data";
    SessionPersistence persistence(data);
    ASSERT_TRUE(persistence.save({korvalen::testing::sampleSession(3)}));
    ASSERT_TRUE(persistence.save({korvalen::testing::sampleSession(3)}));
    QFile main(persistence.historyPath());
    ASSERT_TRUE(main.open(QIODevice::WriteOnly | QIODevice::Truncate));
    main.write("[{\"truncated");
    main.close();

    auto store = makeStore();
    EXPECT_EQ(store->history().size(), 1u);
    EXPECT_EQ(store->historyNotice(),
              "History restored from its backup: the history file could not be read in full.\n"
              "The unreadable history file is kept as history.corrupt.json.");

    // Another program puts a run the window does not show in place: the run's save keeps it aside
    // and says where.
    std::vector<AIBenchmarkSession> changed = store->history();
    changed.insert(changed.begin(), korvalen::testing::sampleSession(2));
    korvalen::test::writeAll(persistence.historyPath(), QByteArray::fromStdString(toJSON(changed).dump()));
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    const QStringList kept = QDir(data).entryList({"history.changed-*.json"}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_TRUE(store->historyNotice().endsWith(
        "\nThe history file was changed outside Korvalen AI and held runs not shown here: it is kept as " + data + "/" +
        kept[0] + "."))
        << store->historyNotice().toStdString();

    // The folder turns into a file: the run's save fails, and the window hears of it.
    QStringList notices;
    QObject::connect(store.get(), &BenchmarkStore::historyNoticeChanged, [&](const QString& n) { notices << n; });
    ASSERT_TRUE(QDir(data).removeRecursively());
    ASSERT_TRUE(QFile(data).open(QIODevice::WriteOnly));
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    EXPECT_TRUE(store->statusText().endsWith(" (history could not be saved)"));
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].endsWith("History could not be saved in " + data + "."));
    EXPECT_EQ(store->history().size(), 3u) << "the run stays in the window's history";
    EXPECT_NE(log.events("RUN_FINISH").at(1).find(" saved=false"), std::string::npos);
    EXPECT_EQ(log.events("HISTORY_SAVE_FAILED reason=folder").size(), 1u);
}

// The application reads its history while the window shows; a FIFO where the history belongs is
// refused without blocking and the backup is shown instead.
TEST_F(BenchmarkStoreTest, AHistoryReadInTheBackgroundFillsInLaterAndNoRunStartsBefore)
{
    korvalen::testing::LogCapture log;
    const QString data = dir.path() + "/data";
    SessionPersistence persistence(data);
    const std::vector<AIBenchmarkSession> saved{korvalen::testing::sampleSession(2),
                                                korvalen::testing::sampleSession(3)};
    ASSERT_TRUE(persistence.save(saved));
    ASSERT_TRUE(persistence.save(saved));
    ASSERT_TRUE(QFile::remove(persistence.historyPath()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(persistence.historyPath()), 0600), 0);

    BenchmarkStoreServices s = services();
    s.loadHistoryInBackground = true;
    auto store = std::make_unique<BenchmarkStore>(std::move(s));
    int historyChanges = 0;
    QObject::connect(store.get(), &BenchmarkStore::historyChanged, [&] { ++historyChanges; });
    EXPECT_FALSE(store->historyLoaded());
    EXPECT_EQ(store->historyNotice(), "Loading history…");
    EXPECT_TRUE(store->history().empty());
    store->start();
    EXPECT_FALSE(store->isBusy());
    EXPECT_FALSE(store->hasActiveRunTask());
    EXPECT_EQ(store->statusText(), BenchmarkStore::historyNotLoadedStatusText);
    EXPECT_TRUE(posted.empty());

    ASSERT_TRUE(processEventsUntil([&] { return store->historyLoaded(); }));
    EXPECT_EQ(historyChanges, 1);
    EXPECT_EQ(store->history(), saved);
    EXPECT_EQ(store->historyNotice(),
              "The history file cannot be read (not a regular file): " + persistence.historyPath() +
                  "\nHistory restored from its backup: the history file could not be read in full.");
    EXPECT_EQ(store->statusText(), BenchmarkStore::readyStatusText);

    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    EXPECT_TRUE(store->statusText().endsWith(" (history could not be saved)")) << "nothing written over the FIFO";
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(persistence.historyPath()), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(BenchmarkStoreTest, AMissingResourceFolderIsReportedAtLaunchNotAfterARun)
{
    korvalen::testing::LogCapture log;
    const QByteArray previous = qgetenv("KORVALEN_RESOURCES");
    qputenv("KORVALEN_RESOURCES", QByteArray(dir.path().toUtf8() + "/no such folder"));
    BenchmarkStoreServices s = services();
    s.missingResourceFolder = BenchmarkStoreServices::standard().missingResourceFolder;
    BenchmarkStore store(std::move(s));
    const std::string folder = dir.path().toStdString() + "/no such folder";
    EXPECT_EQ(store.statusText().toStdString(),
              "Resource folder not found: " + folder + " — model workloads cannot run");
    EXPECT_TRUE(log.contains("RESOURCES_MISSING path=" + folder));

    qputenv("KORVALEN_RESOURCES", dir.path().toUtf8());
    s = services();
    s.missingResourceFolder = BenchmarkStoreServices::standard().missingResourceFolder;
    EXPECT_EQ(BenchmarkStore(std::move(s)).statusText(), "Ready");
    qputenv("KORVALEN_RESOURCES", previous);
}

TEST_F(BenchmarkStoreTest, LiveVisualizationSwitchIsBackedByItsSetting)
{
    {
        auto store = makeStore();
        EXPECT_TRUE(store->showLiveVisualizations()) << "absent means on";
        store->setShowLiveVisualizations(false);
    }
    Settings settings(dir.path() + "/settings.conf");
    EXPECT_EQ(settings.boolValue("KorvalenAIShowLiveVisualizations"), false);
    EXPECT_FALSE(makeStore()->showLiveVisualizations());
}

TEST_F(BenchmarkStoreTest, AVanishedGPUFallsBackToTheCurrentDefaultBeforeThePlanIsMade)
{
    launchProfile.gpuRegistryID = 11;
    launchProfile.gpuProfiles = std::vector<AIGPUProfile>{{.name = "Old", .registryID = 11}};
    snapshot = [](const AISystemProfile& base) {
        AISystemProfile s = base;
        s.gpuRegistryID = 22;
        s.gpuProfiles = std::vector<AIGPUProfile>{{.name = "New", .registryID = 22}};
        return s;
    };
    auto store = makeStore();
    EXPECT_EQ(store->selectedGPURegistryID(), 11u);
    store->setSelectedBackend(AIBackend::gpu);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    EXPECT_EQ(store->selectedGPURegistryID(), 22u);
    EXPECT_EQ(store->currentSession()->selectedGPURegistryID, 22u);
    for (const auto& r : store->currentSession()->results) EXPECT_EQ(r.gpuRegistryID, 22u);
}

TEST_F(BenchmarkStoreTest, ClearingAndShowingSessionsIsRefusedWhileBusy)
{
    auto visualization = std::make_shared<korvalen::testing::RecordingRunVisualization>();
    BenchmarkStoreServices s = services();
    s.runVisualization = visualization;
    auto store = std::make_unique<BenchmarkStore>(std::move(s));
    engine.holdItems(true);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));
    const Uuid running = store->currentSession()->id;
    store->clearCurrent();
    EXPECT_EQ(store->currentSession()->id, running);
    engine.holdItems(false);
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));

    visualization->calls.clear();
    store->clearCurrent();
    EXPECT_EQ(visualization->calls, std::vector<std::string>{"close"}) << "nothing of the run stays on screen";
    EXPECT_FALSE(store->currentSession());
    EXPECT_EQ(store->statusText(), "Ready");
    EXPECT_EQ(store->progress(), 0.0);
    store->showSession(running);
    EXPECT_EQ(store->currentSession()->id, running);
}

// Every way a run ends, seen from the window, the live visualization and the assistant: the kept
// results of each item are published and shown as they arrive, the session keeps its notes, and the
// run always ends with the visualization closed, the assistant back and the end announced.
TEST_F(BenchmarkStoreTest, EachWayARunEndsIsToldToTheWindowTheVisualizationAndTheAssistant)
{
    enum class Ending { completes, stopDuringItem2, endSnapshotFails, planEmptyAfterSnapshot };
    struct Case {
        const char* name;
        Ending ending;
        bool visuals;
        std::vector<std::string> calls;  // to the live visualization, and what the window showed meanwhile
        std::string state;
        QString status;
        double progress;
        std::size_t results;
        std::vector<std::string> notes;
        std::size_t history;
        std::vector<std::string> posted;
        // The first item's thermal state at its start, and the states sampled during the second.
        std::string firstStart = "Serious";
        std::vector<std::string> secondSamples = {"Fair", "Critical", "Fair"};
    };
    const std::string on = " on Best Available (Calibrated) ";
    auto item = [&](int i, const char* workload, const char* title, bool visuals) {
        const std::string index = std::to_string(i);
        return std::vector<std::string>{
            visuals ? "prepare " + std::string(workload) : "close", "complete " + std::string(workload) + " done",
            index + " kept, " + index + "/3, Running " + title + on + "(" + index + " of 3), assistant paused"};
    };
    auto threeItems = [&](bool visuals) {
        std::vector<std::string> calls;
        for (const auto& part : {item(1, "imageClassification", "Image Classification", visuals),
                                 item(2, "textEmbeddings", "Text Embeddings", visuals),
                                 item(3, "matrixFP32", "Matrix Multiplication FP32", visuals),
                                 {std::string("close")}})
            calls.insert(calls.end(), part.begin(), part.end());
        return calls;
    };
    std::vector<std::string> stopped = item(1, "imageClassification", "Image Classification", true);
    for (const char* call : {"prepare textEmbeddings", "stopping", "complete cancelled",
                             "1 kept, 1/3, Stopping safely after the active kernel, assistant paused", "close"})
        stopped.push_back(call);
    const std::string lowPower = "Low Power Mode changed during the run",
                      diagnostic = "One or more valid results are diagnostic-only due to run conditions or variation";
    const std::vector<std::string> startAndFinish{"KorvalenAIRunDidStart", "KorvalenAIRunDidFinish"};
    const Case cases[] = {
        {"completed",
         Ending::completes,
         true,
         threeItems(true),
         "completed",
         "Completed Quick AI — overall score 1000, 3 of 3 results valid",
         1.0,
         3,
         {lowPower, "Thermal state reached Critical during the run", diagnostic},
         1,
         startAndFinish},
        {"completed no hotter than Fair",
         Ending::completes,
         true,
         threeItems(true),
         "completed",
         "Completed Quick AI — overall score 1000, 3 of 3 results valid",
         1.0,
         3,
         {lowPower, diagnostic},
         1,
         startAndFinish,
         "Fair",
         {"Fair", "Nominal"}},
        {"completed, Serious after Fair",
         Ending::completes,
         true,
         threeItems(true),
         "completed",
         "Completed Quick AI — overall score 1000, 3 of 3 results valid",
         1.0,
         3,
         {lowPower, "Thermal state reached Serious during the run", diagnostic},
         1,
         startAndFinish,
         "Fair",
         {"Fair", "Serious"}},
        {"stopped during the second item",
         Ending::stopDuringItem2,
         true,
         stopped,
         "idle",
         "Benchmark stopped — 1 of 3 workloads finished",
         0.0,
         1,
         {lowPower, "Thermal state reached Serious during the run", "Run was stopped before every workload finished",
          diagnostic},
         0,
         startAndFinish},
        {"failed at its end, without live visuals",
         Ending::endSnapshotFails,
         false,
         threeItems(false),
         "failed",
         "Benchmark failed: sensors gone",
         0.0,
         3,
         {},
         0,
         startAndFinish},
        {"refused after the snapshot",
         Ending::planEmptyAfterSnapshot,
         true,
         {},
         "idle",
         "No workload of this run mode can run on the selected accelerator on this machine",
         0.0,
         0,
         {},
         0,
         {}},
    };
    // The first item started warm and is not certified, the second got hotter; every item also hands
    // back a result cut short.
    const Case* current = nullptr;
    engine.state().edit = [&](const AIExecutionItem& item, std::vector<AIBenchmarkResult> results) {
        if (item.workload.id == AIWorkloadID::imageClassification && results[0].valid) {
            results[0].thermalStart = current->firstStart;
            results[0].certifiedForComparison = false;
        }
        if (item.workload.id == AIWorkloadID::textEmbeddings) results[0].thermalStateSamples = current->secondSamples;
        results.push_back(FakeBenchmarkEngine::cancelledResult(item));
        return results;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        current = &c;
        korvalen::testing::LogCapture log;
        posted.clear();
        int snapshots = 0;
        snapshot = [&](const AISystemProfile& base) {
            AISystemProfile s = base;
            if (++snapshots == 2) {
                if (c.ending == Ending::endSnapshotFails) throw std::runtime_error("sensors gone");
                s.power->lowPowerMode = true;
            }
            return s;
        };
        BenchmarkStoreServices s = services();
        int plans = 0;
        s.engine.executionPlan = [&, plan = s.engine.executionPlan](const AIBenchmarkEngine& e, AIRunMode mode,
                                                                    AIBackend backend, bool all, bool gpus) {
            return ++plans == 2 && c.ending == Ending::planEmptyAfterSnapshot ? std::vector<AIExecutionItem>{}
                                                                              : plan(e, mode, backend, all, gpus);
        };
        auto visualization = std::make_shared<korvalen::testing::RecordingRunVisualization>();
        s.runVisualization = visualization;
        QTemporaryDir folder;
        s.persistence = std::make_shared<SessionPersistence>(folder.path());
        auto store = std::make_unique<BenchmarkStore>(std::move(s));
        store->setShowLiveVisualizations(c.visuals);
        visualization->whileHeld = [&] {
            if (c.ending == Ending::stopDuringItem2 && visualization->calls.size() == 2) engine.holdItems(true);
            return std::to_string(store->currentSession()->results.size()) + " kept, " +
                   std::to_string(std::lround(store->progress() * 3)) + "/3, " + store->statusText().toStdString() +
                   (store->assistant().pausedForBenchmark() ? ", assistant paused" : ", assistant free");
        };

        store->start();
        if (c.ending == Ending::stopDuringItem2) {
            ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 2; }));
            store->stop();
            engine.holdItems(false);
        }
        ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
        engine.state().itemsStarted = 0;

        EXPECT_EQ(visualization->calls, c.calls);
        EXPECT_EQ(describe(store->runState()), c.state);
        EXPECT_EQ(store->statusText(), c.status);
        EXPECT_EQ(store->progress(), c.progress);
        EXPECT_EQ(store->currentSession() ? store->currentSession()->results.size() : 0u, c.results);
        if (store->currentSession()) {
            EXPECT_EQ(store->currentSession()->certificationNotes.value_or(std::vector<std::string>{}), c.notes);
            EXPECT_EQ(store->currentSession()->cancelled, c.ending == Ending::stopDuringItem2);
            EXPECT_TRUE(store->currentSession()->completedAt);
        }
        EXPECT_EQ(store->history().size(), c.history);
        EXPECT_EQ(SessionPersistence(folder.path()).load().size(), c.history);
        EXPECT_EQ(posted, c.posted);
        EXPECT_EQ(log.events("RUN_FAILED").size(), c.ending == Ending::endSnapshotFails ? 1u : 0u);
        EXPECT_FALSE(store->assistant().pausedForBenchmark());
        EXPECT_EQ(store->assistant().status(), "Olvane Expert 2 ready");
    }
}

// A visualization window without a window: remembers what it showed.
class RecordingWindow : public AIVisualizationWindowController {
public:
    RecordingWindow(const AIVisualizationRequest& request, std::vector<std::string>& log)
        : AIVisualizationWindowController(request, WithoutWindow{}), log_(log)
    {
        connect(&model(), &AIVisualizationModel::changed, this,
                [this] { log_.push_back(std::string(rawValue(model().phase())) + " " + model().scoreText()); });
    }
    void showWindow() override { log_.push_back("show " + std::string(rawValue(model().request().backend))); }
    void close() override
    {
        log_.push_back(closingQuietly ? "close" : "user close");
        windowWillClose();
    }

private:
    std::vector<std::string>& log_;
};

TEST_F(BenchmarkStoreTest, LiveVisualizationsFollowTheRunAndStop)
{
    std::vector<std::string> log;
    std::vector<QString> statuses;
    double clock = 0;
    auto withWindows = [&](bool on) {
        BenchmarkStoreServices s = services();
        s.visualization.makeWindow = [&](const AIVisualizationRequest& r) { return new RecordingWindow(r, log); };
        s.visualization.uptimeSeconds = [&] { return clock; };
        s.visualization.sleep = [&](std::chrono::nanoseconds d) -> Task<bool> {
            clock += double(d.count()) / 1e9;
            co_await nextEventLoopTurn();
            co_return true;
        };
        auto store = std::make_unique<BenchmarkStore>(std::move(s));
        store->setShowLiveVisualizations(on);
        QObject::connect(store.get(), &BenchmarkStore::statusTextChanged,
                         [&](const QString& t) { statuses.push_back(t); });
        return store;
    };

    // Automatic backend: image classification has a scene and the CPU "wins", so its window reopens with
    // the CPU named; textEmbeddings and matrixFP32 have only GPU scenes and the CPU wins: no window.
    auto store = withWindows(true);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    EXPECT_EQ(log, (std::vector<std::string>{"SCORING — VISUAL FROZEN ", "show Best Available (Calibrated)", "close",
                                             "RESULT VALIDATED ", "RESULT VALIDATED Score 1000",
                                             "RESULT VALIDATED Score 1000", "show CPU", "close"}));
    EXPECT_NEAR(clock, 1.35, 1e-6) << "one hold and one pause";
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Preparing benchmark visual — Image Classification"), 1);
    EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(),
                            [](const QString& t) { return t.startsWith("Preparing benchmark visual"); }),
              3);

    // A stop during the measurement: the window says so and closes when the item ends, with no hold.
    log.clear();
    clock = 0;
    engine.holdItems(true);
    store->setSelectedBackend(AIBackend::gpu);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 4; }));
    store->stop();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*store); }));
    EXPECT_EQ(log, (std::vector<std::string>{"SCORING — VISUAL FROZEN ", "show GPU", "STOPPED ",
                                             "STOPPED Stopping after active AI kernel",
                                             "STOPPED Stopping after active AI kernel", "close"}));
    EXPECT_EQ(clock, 0);
    engine.holdItems(false);

    // Switched off: no window at all.
    log.clear();
    auto quiet = withWindows(false);
    quiet->start();
    ASSERT_TRUE(processEventsUntil([&] { return finished(*quiet); }));
    EXPECT_TRUE(log.empty());
}

}  // namespace
