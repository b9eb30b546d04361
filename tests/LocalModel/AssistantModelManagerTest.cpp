#include "LocalModel/AssistantModelManager.h"

#include "FreePort.h"
#include "StandInLlamaServer.h"
#include "support/LogCapture.h"
#include "support/TaskResult.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace korvalen {
namespace {

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

class ModelManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        ASSERT_TRUE(data.isValid());
        settings = Settings(data.filePath("settings.ini"));
        for (const char* name : {"KORVALEN_STANDIN_ANSWER", "KORVALEN_STANDIN_HEALTHY_AFTER_MS",
                                 "KORVALEN_STANDIN_IGNORE_TERM", "KORVALEN_STANDIN_ARGS_FILE"})
            qunsetenv(name);
    }

    std::unique_ptr<AssistantModelManager> makeManager(bool withEngine = true)
    {
        if (withEngine) settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
        AssistantModelManager::Options options;
        options.dataFolder = data.path();
        options.settings = settings;
        options.port = test::freeLoopbackPort();
        options.searchPath = data.filePath("no-such-bin");
        options.startDeadline = std::chrono::seconds(10);
        options.probeInterval = std::chrono::milliseconds(20);
        options.terminateGrace = std::chrono::milliseconds(300);
        return std::make_unique<AssistantModelManager>(options);
    }

    void writeModel(const AssistantDownloadableModel& model, const QByteArray& bytes = "GGUF\x03\0\0\0")
    {
        QDir().mkpath(data.filePath("Models"));
        QFile file(data.filePath("Models/" + QString::fromStdString(model.fileName)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    qint64 serverPid(const AssistantModelManager& manager) const
    {
        const auto* process = manager.findChild<QProcess*>();
        return process ? process->processId() : 0;
    }

    QTemporaryDir data;
    Settings settings{QString()};
    testing::LogCapture log;
};

TEST_F(ModelManagerTest, InstalledModelsAndEngineLookUp)
{
    auto manager = makeManager(false);
    const auto& catalog = manager->catalog();
    ASSERT_EQ(catalog.size(), 2u);
    writeModel(catalog[0]);
    writeModel(catalog[1], "<html>not a model</html>");
    manager->refresh();
    EXPECT_TRUE(manager->state(catalog[0].id).isInstalled());
    EXPECT_FALSE(manager->state(catalog[1].id).isInstalled()) << "a file without the GGUF magic is not a model";

    // Engine: settings path first, then the data folder's Engine folder, then PATH.
    EXPECT_FALSE(manager->engineInstalled());
    manager->installEngine();
    EXPECT_TRUE(manager->statusText().startsWith("llama.cpp engine not found"));
    QDir().mkpath(data.filePath("Engine"));
    ASSERT_TRUE(QFile::copy(KORVALEN_STAND_IN_LLAMA_SERVER, data.filePath("Engine/llama-server")));
    manager->installEngine();
    EXPECT_EQ(manager->enginePath(), data.filePath("Engine/llama-server"));
    settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
    manager->refresh();
    EXPECT_EQ(manager->enginePath(), QString(KORVALEN_STAND_IN_LLAMA_SERVER));

    // Selection takes installed models only, and persists.
    manager->select(catalog[1]);
    EXPECT_FALSE(manager->selectedModelID());
    EXPECT_EQ(manager->statusText(),
              "Download " + QString::fromStdString(catalog[1].displayName) + " before selecting it");
    manager->select(catalog[0]);
    EXPECT_EQ(manager->selectedModelID(), catalog[0].id);
    EXPECT_EQ(settings.stringValue(Settings::Key::managedModel), QString::fromStdString(catalog[0].id));
}

TEST_F(ModelManagerTest, StartsTheEngineOnLoopbackAndStopsIt)
{
    auto manager = makeManager();
    const auto model = manager->catalog()[0];
    writeModel(model);
    qputenv("KORVALEN_STANDIN_ARGS_FILE", data.filePath("args.txt").toUtf8());
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "200");

    auto outcome = test::watch(manager->startServer(model));
    EXPECT_TRUE(manager->isBusy());
    test::processEventsUntil([&] { return outcome->finished; });
    ASSERT_TRUE(outcome->value) << "start failed";
    EXPECT_FALSE(manager->isBusy());
    EXPECT_TRUE(manager->engineRunning());
    EXPECT_EQ(manager->activeModelID(), model.id);

    QFile args(data.filePath("args.txt"));
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(args.readAll()).split('\n');
    const QString port = QString::number(manager->port());
    EXPECT_EQ(lines.mid(0, 8), (QStringList{"--host", "127.0.0.1", "--port", port, "-m", manager->modelPath(model),
                                            "--alias", QString::fromStdString(model.modelAlias)}));
    EXPECT_TRUE(lines.contains("LLAMA_CACHE=" + data.filePath("Cache")));
    EXPECT_TRUE(QFile::exists(manager->serverLogPath()));

    const qint64 pid = serverPid(*manager);
    ASSERT_TRUE(processAlive(pid));
    manager->stopServerProcess(manager->serverStartGeneration() + 1);
    EXPECT_TRUE(manager->engineRunning()) << "a stale generation stops nothing";
    manager->stopServerProcess(std::nullopt);
    EXPECT_FALSE(manager->engineRunning());
    test::await(manager->waitForServerExit());
    EXPECT_FALSE(manager->serverProcessAlive());
    EXPECT_FALSE(processAlive(pid));
}

TEST_F(ModelManagerTest, AnEngineThatIgnoresTerminationIsKilledAfterTheGracePeriod)
{
    auto manager = makeManager();
    const auto model = manager->catalog()[0];
    writeModel(model);
    qputenv("KORVALEN_STANDIN_IGNORE_TERM", "1");
    ASSERT_TRUE(test::await(manager->startServer(model))->value);
    const qint64 pid = serverPid(*manager);
    manager->stopServerProcess(std::nullopt);
    test::await(manager->waitForServerExit());
    EXPECT_FALSE(manager->serverProcessAlive());
    EXPECT_FALSE(processAlive(pid));

    // Shutting down waits for the engine, so none outlives the application.
    ASSERT_TRUE(test::await(manager->startServer(model))->value);
    const qint64 second = serverPid(*manager);
    manager->shutdown();
    EXPECT_TRUE(manager->isShuttingDown());
    EXPECT_FALSE(processAlive(second));
}

TEST_F(ModelManagerTest, FailedStartsSayWhyAndLeaveNoProcess)
{
    auto manager = makeManager();
    const auto model = manager->catalog()[0];

    auto failure = [&](std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto outcome = test::await(manager->startServer(model), timeout);
        const auto* e = outcome->errorAs<ModelManagerError>();
        test::await(manager->waitForServerExit());
        EXPECT_FALSE(manager->serverProcessAlive());
        EXPECT_FALSE(manager->engineRunning());
        EXPECT_FALSE(manager->isBusy());
        return e ? std::string(e->what()) : std::string("(no manager error)");
    };

    EXPECT_EQ(failure(), model.displayName + " is not downloaded");
    writeModel(model);

    // Something else answers on the port: refused before launching anything.
    test::StandInLlamaServer other;
    ASSERT_TRUE(other.listen(manager->port()));
    EXPECT_EQ(failure().rfind("Another program already answers on 127.0.0.1:", 0), 0u);
    EXPECT_TRUE(other.requests().empty());
    other.close();

    // An engine that exits at once.
    settings.setString(Settings::Key::customLlamaServerPath, "/bin/false");
    EXPECT_EQ(failure().rfind("llama-server stopped before it was ready", 0), 0u);

    // An engine that never becomes healthy: the deadline stops it.
    settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "600000");
    AssistantModelManager::Options quick;
    quick.dataFolder = data.path();
    quick.settings = settings;
    quick.port = test::freeLoopbackPort();
    quick.startDeadline = std::chrono::milliseconds(600);
    quick.probeInterval = std::chrono::milliseconds(20);
    quick.terminateGrace = std::chrono::milliseconds(300);
    manager = std::make_unique<AssistantModelManager>(quick);
    EXPECT_EQ(failure(), "llama-server did not become ready within 0 seconds");
}

TEST_F(ModelManagerTest, ACancelledOrSupersededStartStopsItsEngine)
{
    auto manager = makeManager();
    const auto model = manager->catalog()[0];
    writeModel(model);
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "600000");

    CancelFlag cancel;
    auto outcome = test::watch(manager->startServer(model, cancel));
    test::processEventsUntil([&] { return serverPid(*manager) > 0; });
    const qint64 pid = serverPid(*manager);
    cancel.cancel();
    test::processEventsUntil([&] { return outcome->finished; });
    EXPECT_NE(outcome->errorAs<LocalTaskCancelled>(), nullptr);
    test::await(manager->waitForServerExit());
    EXPECT_FALSE(processAlive(pid));

    // A stop while starting (the generation advanced) ends the start the same way.
    outcome = test::watch(manager->startServer(model));
    test::processEventsUntil([&] { return serverPid(*manager) > 0; });
    manager->advanceServerStartGeneration();
    manager->stopServerProcess(std::nullopt);
    test::processEventsUntil([&] { return outcome->finished; });
    EXPECT_NE(outcome->errorAs<LocalTaskCancelled>(), nullptr);
    EXPECT_FALSE(manager->engineRunning());
}

}  // namespace
}  // namespace korvalen
