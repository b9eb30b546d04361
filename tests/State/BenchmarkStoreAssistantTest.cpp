#include "Assistant/Expert/AIAssistantEngine.h"
#include "Model/NotificationNames.h"
#include "State/BenchmarkStore.h"
#include "support/FakeBenchmarkEngine.h"
#include "support/LogCapture.h"
#include "support/QtTestApp.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace korvalen {
namespace {

using test::processEventsUntil;

struct StoreAssistantTest : ::testing::Test {
    QTemporaryDir dir;
    NotificationCenter notifications;
    testing::FakeBenchmarkEngine engine;
    testing::LogCapture log;

    void SetUp() override { test::qtApp(); }

    // signalGroup: how the manager signals the engine's group (empty: for real).
    std::unique_ptr<BenchmarkStore> makeStore(std::function<void(pid_t, int)> signalGroup = {})
    {
        BenchmarkStoreServices services =
            engine.storeServices(notifications, dir.path() + "/data", dir.path() + "/settings.conf");
        services.settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
        const QString data = dir.path() + "/data";
        services.makeModelManager = [data, signalGroup](const Settings& settings) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            AssistantModelManager::Options options;
            options.dataFolder = data;
            options.settings = settings;
            options.port = probe.serverPort();
            options.probeInterval = std::chrono::milliseconds(20);
            options.terminateGrace = std::chrono::milliseconds(300);
            options.killWait = std::chrono::milliseconds(300);
            options.signalGroup = signalGroup;
            return std::make_unique<AssistantModelManager>(options);
        };
        return std::make_unique<BenchmarkStore>(std::move(services));
    }
};

TEST_F(StoreAssistantTest, TheExpertAnswersFromTheRunJustMeasured)
{
    auto store = makeStore();
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    ASSERT_TRUE(store->currentSession());
    EXPECT_EQ(store->assistant().status(), "Olvane Expert 2 ready") << "the pause ends with the run";
    EXPECT_FALSE(store->assistant().pausedForBenchmark());

    store->sendAssistantMessage(std::string("Analyze my result"));
    ASSERT_TRUE(processEventsUntil([&] { return !store->assistant().isResponding(); }));
    const auto expected =
        AIAssistantEngine::respond("Analyze my result", store->currentSession(), store->systemProfile(),
                                   store->history(), {}, [] { return false; });
    EXPECT_EQ(store->assistant().messages().back().text, expected->text);
    EXPECT_NE(expected->text.find("Quick AI"), std::string::npos);
    EXPECT_EQ(store->assistant().status(), "Olvane Expert 2 ready");
}

AssistantDownloadableModel installModel(BenchmarkStore& store)
{
    AssistantModelManager& manager = store.assistantModelManager();
    const auto model = manager.catalog()[0];
    QDir().mkpath(manager.modelsFolder());
    QFile file(manager.modelPath(model));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("GGUF");
    file.close();
    return model;
}

AssistantDownloadableModel startManagedModel(BenchmarkStore& store)
{
    const auto model = installModel(store);
    store.startManagedAssistantModel(model);
    EXPECT_TRUE(processEventsUntil([&] { return store.assistantModelManager().engineRunning(); }));
    return model;
}

TEST_F(StoreAssistantTest, ARunStopsTheManagedEngineFirstAndRestartsItAfter)
{
    auto store = makeStore();
    AssistantModelManager& manager = store->assistantModelManager();
    const auto model = startManagedModel(*store);

    engine.holdItems(true);
    store->start();
    EXPECT_FALSE(manager.engineRunning());
    EXPECT_TRUE(store->assistant().pausedForBenchmark());
    EXPECT_EQ(store->assistant().status(), "AI Assistant paused — official benchmark in progress");
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() > 0; }));
    EXPECT_FALSE(manager.serverProcessAlive()) << "no measurement while the engine lives";

    // A question during the run is refused.
    store->sendAssistantMessage(std::string("Analyze my result"));
    EXPECT_EQ(store->assistant().messages().size(), 1u);

    engine.holdItems(false);
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    ASSERT_TRUE(processEventsUntil([&] { return manager.engineRunning(); }));
    EXPECT_EQ(store->assistant().status().toStdString(), model.displayName + " ready");
}

TEST_F(StoreAssistantTest, ARunStartedWhileTheModelStartsGoesAndEndsTheStart)
{
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "600000");
    auto store = makeStore();
    AssistantModelManager& manager = store->assistantModelManager();
    store->startManagedAssistantModel(installModel(*store));
    ASSERT_TRUE(processEventsUntil([&] { return !manager.serverProcessIDs().empty(); }));
    qunsetenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS");
    ASSERT_TRUE(manager.isBusy());

    engine.holdItems(true);
    store->start();
    EXPECT_TRUE(store->isBusy()) << "the run starts";
    EXPECT_FALSE(store->assistant().hasPendingModelStart()) << "the start is cancelled and forgotten";
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() > 0; }));
    EXPECT_FALSE(manager.serverProcessAlive()) << "its engine stopped before the first measurement";
    EXPECT_FALSE(manager.engineRunning());
    engine.holdItems(false);
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    EXPECT_FALSE(manager.serverProcessAlive()) << "nothing started it again";
}

TEST_F(StoreAssistantTest, ARunIsRefusedWhileAProcessOfTheEngineOutlivesItsStop)
{
    // An engine that ignores SIGTERM and that the kill does not end in time.
    qputenv("KORVALEN_STANDIN_IGNORE_TERM", "1");
    auto store = makeStore([](pid_t group, int signal) {
        if (signal != SIGKILL) ::kill(-group, signal);
    });
    AssistantModelManager& manager = store->assistantModelManager();
    startManagedModel(*store);
    qunsetenv("KORVALEN_STANDIN_IGNORE_TERM");
    int finished = 0;
    ScopedObserver observer(notifications, NotificationName::korvalenAIRunDidFinish,
                            [&](const Notification&) { ++finished; });

    store->start();
    EXPECT_EQ(store->assistant().status(), "AI Assistant paused — official benchmark in progress");
    EXPECT_EQ(store->statusText(), "Waiting for the local AI engine to stop…");
    ASSERT_TRUE(processEventsUntil([&] { return !store->hasActiveRunTask(); }));
    EXPECT_EQ(engine.itemsStarted(), 0) << "nothing measured beside the engine";
    EXPECT_FALSE(store->isBusy());
    EXPECT_FALSE(store->currentSession()) << "the run that never ran is not shown";
    EXPECT_EQ(store->statusText(), "Local AI engine did not stop — benchmark blocked");
    EXPECT_EQ(store->assistant().status(), "Local AI engine did not stop — benchmark blocked");
    EXPECT_FALSE(store->assistant().pausedForBenchmark());
    EXPECT_EQ(finished, 1) << "a pending quit is not left waiting";
    EXPECT_EQ(log.events("RUN_REFUSED reason=local-engine-alive").size(), 1u);

    const std::vector<pid_t> engineProcesses = manager.serverProcessIDs();
    ASSERT_FALSE(engineProcesses.empty());
    for (pid_t pid : engineProcesses) ::kill(pid, SIGKILL);
    EXPECT_TRUE(processEventsUntil([&] { return !manager.serverProcessAlive(); }));
}

}  // namespace
}  // namespace korvalen
