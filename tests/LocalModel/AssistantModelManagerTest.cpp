#include "LocalModel/AssistantModelManager.h"
#include "LocalModel/EngineProcessGroup.h"
#include "LocalModel/LoopbackNetwork.h"

#include "QuickManagerOptions.h"
#include "StandInLlamaServer.h"
#include "support/FixtureTree.h"
#include "support/LogCapture.h"
#include "support/TaskResult.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace korvalen {
namespace {

namespace fs = std::filesystem;

// What a loaded machine may delay (a process's start or end) is waited for this long at most: the
// waits end as soon as what they wait for holds, so only a fault meets this bound.
constexpr std::chrono::seconds patiently{180};

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// SIGKILL for a process or its whole group; never for 0 or -1, which would reach the tests
// themselves or every process.
void killForTest(qint64 pid, bool wholeGroup = false)
{
    if (pid > 1) ::kill(wholeGroup ? -static_cast<pid_t>(pid) : static_cast<pid_t>(pid), SIGKILL);
}

// State and parent of a process from /proc ('?' when it is gone). Any process of the machine can
// end between the open and the read, which then fails with ESRCH: that too is "gone".
std::pair<char, pid_t> processStat(pid_t pid)
{
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return {'?', 0};
    const std::string text = file.readAll().toStdString();
    const auto close = text.rfind(')');
    if (close == std::string::npos) return {'?', 0};
    char state = '?';
    pid_t parent = 0;
    std::istringstream(text.substr(close + 2)) >> state >> parent;
    return {state, parent};
}

// Alive and not a zombie waiting to be reaped by whoever adopted it.
bool running(pid_t pid)
{
    const char state = processStat(pid).first;
    return state != '?' && state != 'Z' && state != 'X';
}

// Every process descended from `root`, found through the parents in /proc.
std::set<pid_t> descendants(pid_t root)
{
    std::set<pid_t> family{root};
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const pid_t pid = std::stoi(name);
            if (!family.count(pid) && family.count(processStat(pid).second) && running(pid))
                grew = family.insert(pid).second || grew;
        }
    }
    family.erase(root);
    return family;
}

bool allGoneWithin(const std::set<pid_t>& pids, std::chrono::milliseconds limit)
{
    return test::processEventsUntil(
        [&] { return std::none_of(pids.begin(), pids.end(), [](pid_t pid) { return running(pid); }); }, limit);
}

// The engines that must never outlive a stop or the application: one that ignores SIGTERM, and
// wrapper scripts that run the server without exec (ignoring SIGTERM themselves, or not).
struct StubbornEngine {
    const char* name;
    const char* script;  // empty: the stand-in itself
    bool serverIgnoresTerm;
};
const StubbornEngine stubbornEngines[] = {
    {"engine ignoring SIGTERM", "", true},
    {"wrapper ignoring SIGTERM", "#!/bin/sh\ntrap '' TERM\n\"$ENGINE\" \"$@\"\necho ended\n", true},
    {"wrapper whose server ignores SIGTERM", "#!/bin/sh\n\"$ENGINE\" \"$@\"\necho ended\n", true},
};

QString installEngine(const QTemporaryDir& data, const StubbornEngine& engine)
{
    if (!*engine.script) return KORVALEN_STAND_IN_LLAMA_SERVER;
    const QString path = data.filePath("wrapper.sh");
    QFile::remove(path);
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(QByteArray(engine.script).replace("$ENGINE", KORVALEN_STAND_IN_LLAMA_SERVER));
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

class ModelManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        ASSERT_TRUE(data.isValid());
        settings = Settings(data.filePath("settings.ini"));
        for (const char* name :
             {"KORVALEN_STANDIN_ANSWER", "KORVALEN_STANDIN_HEALTHY_AFTER_MS", "KORVALEN_STANDIN_MODELS_AFTER_MS",
              "KORVALEN_STANDIN_IGNORE_TERM", "KORVALEN_STANDIN_ARGS_FILE", "KORVALEN_STANDIN_TERM_LINGER_MS",
              "KORVALEN_STANDIN_CLOSE"})
            qunsetenv(name);
    }

    std::unique_ptr<AssistantModelManager> makeManager(
        bool withEngine = true, const std::function<void(AssistantModelManager::Options&)>& adjust = {})
    {
        if (withEngine) settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
        AssistantModelManager::Options options = test::quickManagerOptions(data.path(), settings);
        options.startDeadline = patiently;
        if (adjust) adjust(options);
        return std::make_unique<AssistantModelManager>(options);
    }

    void writeModel(const AssistantDownloadableModel& model, const QByteArray& bytes = "GGUF\x03\0\0\0")
    {
        QDir().mkpath(data.filePath("Models"));
        QFile file(data.filePath("Models/" + QString::fromStdString(model.fileName)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    // The engine's QProcess that still has a process (an ended one may await its deletion).
    QProcess* serverProcess(const AssistantModelManager& manager) const
    {
        for (auto* process : manager.findChildren<QProcess*>())
            if (process->processId() > 0) return process;
        return nullptr;
    }
    qint64 serverPid(const AssistantModelManager& manager) const
    {
        const auto* process = serverProcess(manager);
        return process ? process->processId() : 0;
    }

    QTemporaryDir data;
    Settings settings{QString()};
    testing::LogCapture log;
};

TEST_F(ModelManagerTest, InstalledModelsAndEngineLookUp)
{
    // A remembered choice whose file is gone is no selection to report.
    settings.setString(Settings::Key::managedModel,
                       QString::fromStdString(AssistantModelManager::standardCatalog()[0].id));
    EXPECT_EQ(makeManager(false)->statusText(), "Select an installed local model");
    settings.setString(Settings::Key::managedModel, QString());
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
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_MISSING folder=" + data.filePath("Engine").toStdString()).size(), 1u);
    QDir().mkpath(data.filePath("Engine"));
    ASSERT_TRUE(QFile::copy(KORVALEN_STAND_IN_LLAMA_SERVER, data.filePath("Engine/llama-server")));
    manager->installEngine();
    EXPECT_EQ(manager->enginePath(), data.filePath("Engine/llama-server"));
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_FOUND path=" + manager->enginePath().toStdString()).size(), 1u);
    EXPECT_EQ(manager->statusText(), "llama.cpp engine ready: " + manager->enginePath());
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

// Only an executable file named llama-server in "Engine" is an engine: a folder or a file that
// cannot run sends the look-up on to PATH.
TEST_F(ModelManagerTest, WhatInEngineCountsAsTheEngine)
{
    struct Case {
        const char* name;
        bool folder;  // else a file without execute permission
        bool onPath;
    };
    const Case cases[] = {
        {"folder, nothing on PATH", true, false},
        {"folder, an engine on PATH", true, true},
        {"file that cannot run, nothing on PATH", false, false},
        {"file that cannot run, an engine on PATH", false, true},
    };
    const QString bundled = data.filePath("Engine/llama-server");
    const QString onPath = data.filePath("bin/llama-server");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(bundled).removeRecursively();
        QFile::remove(bundled);
        QFile::remove(onPath);
        QDir().mkpath(data.filePath("bin"));
        if (c.folder) {
            ASSERT_TRUE(QDir().mkpath(bundled));
        } else {
            ASSERT_TRUE(QDir().mkpath(data.filePath("Engine")));
            ASSERT_TRUE(QFile::copy(KORVALEN_STAND_IN_LLAMA_SERVER, bundled));
            ASSERT_TRUE(QFile::setPermissions(bundled, QFile::ReadOwner | QFile::WriteOwner));
        }
        if (c.onPath) {
            ASSERT_TRUE(QFile::copy(KORVALEN_STAND_IN_LLAMA_SERVER, onPath));
        }
        auto manager = makeManager(false, [&](auto& options) { options.searchPath = data.filePath("bin"); });
        manager->installEngine();
        EXPECT_EQ(manager->engineInstalled(), c.onPath);
        EXPECT_EQ(manager->enginePath(), c.onPath ? onPath : QString());
        EXPECT_EQ(manager->statusText().startsWith("llama.cpp engine not found"), !c.onPath);
    }
}

TEST_F(ModelManagerTest, AModelPutInPlaceByHandShowsWithoutALookUp)
{
    auto manager = makeManager(false);
    const auto model = manager->catalog()[0];
    auto installed = [&] { return manager->state(model.id).isInstalled(); };
    EXPECT_FALSE(installed());
    writeModel(model);  // also makes the "Models" folder
    EXPECT_TRUE(test::processEventsUntil(installed, patiently));
    QFile::remove(data.filePath("Models/" + QString::fromStdString(model.fileName)));
    EXPECT_TRUE(test::processEventsUntil([&] { return !installed(); }, patiently));

    // A FIFO in the model's place is no model, and looking at it blocks nothing.
    const QByteArray fifo = data.filePath("Models/" + QString::fromStdString(model.fileName)).toUtf8();
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    manager->refresh();
    EXPECT_FALSE(installed());
}

TEST_F(ModelManagerTest, StartsTheEngineOnLoopbackAndStopsIt)
{
    auto manager = makeManager();
    const auto model = manager->catalog()[0];
    writeModel(model);
    qputenv("KORVALEN_STANDIN_ARGS_FILE", data.filePath("args.txt").toUtf8());
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "100");
    qputenv("KORVALEN_STANDIN_MODELS_AFTER_MS", "300");

    auto outcome = test::watch(manager->startServer(model));
    EXPECT_TRUE(manager->isBusy());
    test::processEventsUntil([&] { return outcome->finished; }, patiently);
    ASSERT_TRUE(outcome->value) << "start failed";
    EXPECT_FALSE(manager->isBusy());
    EXPECT_TRUE(manager->engineRunning());
    EXPECT_EQ(manager->activeModelID(), model.id);
    EXPECT_EQ(manager->statusText().toStdString(), model.displayName + " running");
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_READY model=" + model.id).size(), 1u);
    // Ready means healthy and listing its model, not healthy alone.
    const QUrl models("http://127.0.0.1:" + QString::number(manager->port()) + "/v1/models");
    EXPECT_EQ(test::await(loopbackRequest(models, "GET", {}, {}))->value->status, 200);

    QFile args(data.filePath("args.txt"));
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(args.readAll()).split('\n');
    const QString port = QString::number(manager->port());
    EXPECT_EQ(lines.mid(0, 8), (QStringList{"--host", "127.0.0.1", "--port", port, "-m", manager->modelPath(model),
                                            "--alias", QString::fromStdString(model.modelAlias)}));
    EXPECT_TRUE(lines.contains("LLAMA_CACHE=" + data.filePath("Cache")));
    EXPECT_TRUE(QDir(data.filePath("Cache")).exists());
    // Both of the engine's output streams go to its log; it reads nothing.
    QFile serverLog(manager->serverLogPath());
    ASSERT_TRUE(serverLog.open(QIODevice::ReadOnly));
    const QByteArray logged = serverLog.readAll();
    EXPECT_TRUE(logged.contains("model loaded") && logged.contains("listening on")) << logged.toStdString();
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(serverPid(*manager)) + "/fd/0"), "/dev/null");

    const qint64 pid = serverPid(*manager);
    ASSERT_TRUE(processAlive(pid));
    // Selecting the model it serves keeps the engine; only another model stops it.
    manager->select(model);
    EXPECT_TRUE(manager->engineRunning());

    // The watcher beside the engine holds nothing of the application's (a start-up pipe held open
    // would keep Qt waiting for an exec, a socket would keep a port open) but the application's pidfd.
    std::vector<std::string> held;
    for (pid_t child : descendants(static_cast<pid_t>(pid)))
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/fd"))
            if (std::stoi(fd.path().filename().string()) > 2) held.push_back(fs::read_symlink(fd.path()).string());
    EXPECT_EQ(held, std::vector<std::string>{"anon_inode:[pidfd]"});

    // Another model replaces the engine.
    const auto other = manager->catalog()[1];
    writeModel(other);
    ASSERT_TRUE(test::await(manager->startServer(other), patiently)->value);
    EXPECT_EQ(manager->activeModelID(), other.id);
    EXPECT_FALSE(processAlive(pid));
    const qint64 second = serverPid(*manager);

    manager->stopServerProcess(manager->serverStartGeneration() + 1);
    EXPECT_TRUE(manager->engineRunning()) << "a stale generation stops nothing";
    manager->stopServerProcess(std::nullopt);
    manager->stopServerProcess(std::nullopt);
    EXPECT_FALSE(manager->engineRunning());
    EXPECT_FALSE(manager->activeModelID());
    EXPECT_EQ(manager->statusText(), "Local model stopped");
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_STOP").size(), 2u) << "once for each engine";
    test::await(manager->waitForServerExit());
    EXPECT_FALSE(manager->serverProcessAlive());
    EXPECT_FALSE(processAlive(second));
    EXPECT_TRUE(log.events("ASSISTANT_ENGINE_KILL").empty()) << "an engine that heeds SIGTERM is not killed";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(manager->findChildren<QProcess*>().isEmpty()) << "an ended engine's process object is freed";
    EXPECT_TRUE(manager->findChildren<QTcpSocket*>().isEmpty()) << "and so are the port probes' sockets";

    // An engine that ends by itself (a crash) is no longer reported as serving.
    ASSERT_TRUE(test::await(manager->startServer(model), patiently)->value);
    killForTest(serverPid(*manager));
    EXPECT_TRUE(test::processEventsUntil([&] { return !manager->engineRunning(); }, patiently));
    EXPECT_FALSE(manager->activeModelID());
    EXPECT_EQ(manager->statusText(), "Local model stopped");
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_EXIT code=").size(), 3u);

    // Leaving the event loop stops the engine too, so that no quit leaves it running.
    ASSERT_TRUE(test::await(manager->startServer(model), patiently)->value);
    QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit");
    EXPECT_TRUE(manager->isShuttingDown());
    EXPECT_FALSE(manager->serverProcessAlive());
    EXPECT_TRUE(log.events("ASSISTANT_ENGINE_KILL").empty()) << "nor at the end";
}

TEST_F(ModelManagerTest, AStubbornEngineAndEveryProcessOfItEndWithAStopAndAShutdown)
{
    for (const StubbornEngine& engine : stubbornEngines) {
        SCOPED_TRACE(engine.name);
        auto manager = makeManager();
        settings.setString(Settings::Key::customLlamaServerPath, installEngine(data, engine));
        const auto model = manager->catalog()[0];
        writeModel(model);
        qputenv("KORVALEN_STANDIN_IGNORE_TERM", engine.serverIgnoresTerm ? "1" : "0");

        const std::size_t kills = log.events("ASSISTANT_ENGINE_KILL").size();
        ASSERT_TRUE(test::await(manager->startServer(model), patiently)->value);
        std::set<pid_t> family = descendants(::getpid());
        EXPECT_EQ(manager->serverProcessIDs().size(), *engine.script ? 2u : 1u);
        manager->stopServerProcess(std::nullopt);
        EXPECT_TRUE(manager->serverProcessAlive()) << "stopped only once the group has exited";
        EXPECT_TRUE(test::await(manager->waitForServerExit())->value.value_or(false));
        EXPECT_FALSE(manager->serverProcessAlive());
        EXPECT_TRUE(allGoneWithin(family, patiently));
        EXPECT_EQ(log.events("ASSISTANT_ENGINE_KILL").size(), kills + 1);

        // Shutting down waits for the engine, so none outlives the application; also when a quit
        // comes while a stop is under way and only what the wrapper left behind is still running.
        ASSERT_TRUE(test::await(manager->startServer(model), patiently)->value);
        family = descendants(::getpid());
        if (*engine.script) {
            manager->stopServerProcess(std::nullopt);
            test::processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
        }
        manager->shutdown();
        EXPECT_TRUE(manager->isShuttingDown());
        EXPECT_FALSE(manager->engineRunning());
        EXPECT_FALSE(manager->activeModelID());
        EXPECT_FALSE(manager->serverProcessAlive());
        EXPECT_TRUE(allGoneWithin(family, patiently));
    }
}

// A server that finishes its work before it goes is waited for, by a stop and by the quit, also
// behind a wrapper that itself ends at once: neither kills it nor reports it left behind, and it is
// gone when they say so.
TEST_F(ModelManagerTest, AnEngineThatTakesAMomentToExitIsWaitedFor)
{
    qputenv("KORVALEN_STANDIN_TERM_LINGER_MS", "400");
    const StubbornEngine engines[] = {{"engine", "", false}, {"wrapper", "#!/bin/sh\n\"$ENGINE\" \"$@\"\n", false}};
    for (const StubbornEngine& engine : engines) {
        for (const bool quit : {false, true}) {
            SCOPED_TRACE(std::string(engine.name) + (quit ? ", quit" : ", stop"));
            auto manager =
                makeManager(true, [](auto& options) { options.terminateGrace = std::chrono::milliseconds(10'000); });
            settings.setString(Settings::Key::customLlamaServerPath, installEngine(data, engine));
            const auto model = manager->catalog()[0];
            writeModel(model);
            ASSERT_TRUE(test::await(manager->startServer(model), patiently)->value);
            const auto group = static_cast<pid_t>(serverPid(*manager));
            if (quit) {
                manager->shutdown();
            } else {
                manager->stopServerProcess(std::nullopt);
                EXPECT_TRUE(manager->serverProcessAlive()) << "still finishing its work";
                EXPECT_TRUE(test::await(manager->waitForServerExit())->value.value_or(false));
            }
            EXPECT_FALSE(EngineProcessGroup::hasLiveMember(group));
            EXPECT_TRUE(log.events("ASSISTANT_ENGINE_KILL").empty());
            EXPECT_TRUE(log.events("ASSISTANT_ENGINE_SHUTDOWN_INCOMPLETE").empty());
        }
    }
}

// Not a test of its own: the application whose death the next test causes. It starts the engine
// named in the environment and waits to be killed.
TEST_F(ModelManagerTest, DISABLED_ApplicationAboutToBeKilled)
{
    const QString ready = qEnvironmentVariable("KORVALEN_HARNESS_READY_FILE");
    if (ready.isEmpty()) GTEST_SKIP();
    auto manager = makeManager();
    settings.setString(Settings::Key::customLlamaServerPath, qEnvironmentVariable("KORVALEN_HARNESS_ENGINE"));
    qputenv("KORVALEN_STANDIN_IGNORE_TERM", "1");
    const auto model = manager->catalog()[0];
    writeModel(model);
    ASSERT_TRUE(test::await(manager->startServer(model), patiently)->value);
    QFile file(ready);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    test::processEventsUntil([] { return false; }, std::chrono::seconds(60));
}

TEST_F(ModelManagerTest, NoProcessOfTheEngineOutlivesAKilledApplication)
{
    for (const StubbornEngine& engine : stubbornEngines) {
        SCOPED_TRACE(engine.name);
        QProcess application;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KORVALEN_HARNESS_READY_FILE", data.filePath("ready"));
        environment.insert("KORVALEN_HARNESS_ENGINE", installEngine(data, engine));
        application.setProcessEnvironment(environment);
        application.setProgram(QCoreApplication::applicationFilePath());
        application.setArguments(
            {"--gtest_filter=ModelManagerTest.DISABLED_ApplicationAboutToBeKilled", "--gtest_also_run_disabled_tests"});
        QFile::remove(data.filePath("ready"));
        application.start();
        // Until the engine runs, or the application has failed to start it and ended.
        test::processEventsUntil(
            [&] { return QFile::exists(data.filePath("ready")) || application.state() == QProcess::NotRunning; },
            patiently);
        ASSERT_TRUE(QFile::exists(data.filePath("ready"))) << application.readAllStandardOutput().toStdString();
        const auto pid = static_cast<pid_t>(application.processId());
        const std::set<pid_t> family = descendants(pid);
        EXPECT_GE(family.size(), *engine.script ? 3u : 2u) << "the engine, its watcher, and the wrapper's server";

        killForTest(pid);
        application.waitForFinished(static_cast<int>(std::chrono::milliseconds(patiently).count()));
        EXPECT_TRUE(allGoneWithin(family, patiently));
        for (pid_t member : family)
            if (running(member)) killForTest(member);
    }
}

// A wrapper that leaves its server running in the background and ends: the server is left in the
// engine's group without a death signal, and goes with the application all the same. The processes
// are the test's own forks (the manager takes an engine that ends at once for a failed start).
TEST(EngineProcessGroup, AServerItsWrapperLeftRunningDiesWithTheApplication)
{
    test::qtApp();
    int report[2];  // the server's identity, from the server
    int gate[2];    // the wrapper ends once the test closes its end
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    const pid_t application = ::fork();
    ASSERT_GE(application, 0);
    if (application == 0) {
        ::close(gate[1]);
        const pid_t self = ::getpid();
        if (::fork() == 0) {
            EngineProcessGroup::prepareChild(self);
            if (::fork() == 0) {
                const pid_t ids[2] = {::getpid(), ::getppid()};
                if (::write(report[1], ids, sizeof ids) != sizeof ids) ::_exit(1);
                while (true) ::pause();
            }
            char byte;
            while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {}
            ::_exit(0);
        }
        while (true) ::pause();
    }
    ::close(report[1]);
    ::close(gate[0]);
    pid_t ids[2] = {0, 0};  // the server, the wrapper
    const bool reported = ::read(report[0], ids, sizeof ids) == sizeof ids;
    ::close(report[0]);
    const auto [server, wrapper] = ids;
    std::set<pid_t> watchers = reported ? descendants(wrapper) : std::set<pid_t>{};
    watchers.erase(server);
    ::close(gate[1]);
    // The watcher reads /proc only once its engine (the wrapper) has ended: once it has, or has
    // gone, it has looked at what the wrapper left behind.
    auto hasLooked = [](pid_t watcher) {
        std::ifstream io("/proc/" + std::to_string(watcher) + "/io");
        std::string key;
        long long bytes = 0;
        return !running(watcher) || ((io >> key >> bytes) && key == "rchar:" && bytes > 0);
    };
    const bool looked = reported && watchers.size() == 1 &&
                        test::processEventsUntil([&] { return hasLooked(*watchers.begin()); }, patiently);

    killForTest(application);
    ::waitpid(application, nullptr, 0);
    ASSERT_TRUE(reported);
    EXPECT_EQ(watchers.size(), 1u);
    EXPECT_TRUE(looked);
    EXPECT_TRUE(allGoneWithin({server}, patiently)) << "the server the wrapper left behind";
    for (pid_t left : watchers)
        if (running(left)) killForTest(left);
    if (running(server)) killForTest(server);
}

TEST_F(ModelManagerTest, FailedStartsSayWhyAndLeaveNoProcess)
{
    auto manager = makeManager();
    const auto model = manager->catalog()[0];

    auto failure = [&](std::chrono::milliseconds timeout = patiently) {
        auto outcome = test::await(manager->startServer(model), timeout);
        const auto* e = outcome->errorAs<ModelManagerError>();
        test::await(manager->waitForServerExit());
        EXPECT_FALSE(manager->serverProcessAlive());
        EXPECT_FALSE(manager->engineRunning());
        EXPECT_FALSE(manager->isBusy());
        const std::string text = e ? std::string(e->what()) : std::string("(no manager error)");
        EXPECT_EQ(manager->statusText().toStdString(), text) << "the status says why the start failed";
        return text;
    };

    EXPECT_EQ(failure(), model.displayName + " is not downloaded");
    writeModel(model);

    // Something else answers on the port: refused before launching anything.
    test::StandInLlamaServer other;
    ASSERT_TRUE(other.listen(manager->port()));
    EXPECT_EQ(failure().rfind("Another program already answers on 127.0.0.1:", 0), 0u);
    EXPECT_TRUE(other.requests().empty());
    EXPECT_TRUE(log.events("ASSISTANT_ENGINE_START").empty());
    other.close();

    // An engine that exits at once, and one that cannot even be executed; a listener that 127.0.0.1
    // cannot reach is not taken for the cause.
    QTcpServer ipv6Only;
    ASSERT_TRUE(ipv6Only.listen(QHostAddress::AnyIPv6, manager->port()));
    settings.setString(Settings::Key::customLlamaServerPath, "/bin/false");
    EXPECT_EQ(failure().rfind("llama-server stopped before it was ready", 0), 0u);
    QFile garbage(data.filePath("not-a-program"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("\x7f\x01\x02 not a program");
    garbage.close();
    garbage.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    settings.setString(Settings::Key::customLlamaServerPath, garbage.fileName());
    EXPECT_EQ(failure().rfind("llama-server stopped before it was ready", 0), 0u);

    // An engine that never becomes healthy: the deadline stops it.
    settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "600000");
    AssistantModelManager::Options quick;
    quick.dataFolder = data.path();
    quick.settings = settings;
    quick.port = test::freeLoopbackPort();
    quick.startDeadline = std::chrono::milliseconds(1000);
    quick.probeInterval = std::chrono::milliseconds(20);
    quick.terminateGrace = std::chrono::milliseconds(300);
    manager = std::make_unique<AssistantModelManager>(quick);
    EXPECT_EQ(failure(), "llama-server did not become ready within 1 seconds");
}

// A program on the port while our engine starts either answers the probes as well as ours would,
// or makes ours fail to bind and exit: either way the start fails with the port's text, and only a
// connection served by the engine's own processes makes a start ready. A listener that 127.0.0.1
// cannot reach (IPv6 only) is no obstacle, whether it was there before the start or came during it.
TEST_F(ModelManagerTest, AnotherProgramOnThePortIsNotTakenForOurs)
{
    // The wrapper runs the engine once the test has taken the port (or never).
    const StubbornEngine slow{
        "slow wrapper", "#!/bin/sh\nwhile [ ! -e \"$GO\" ]; do sleep 0.02; done\nexec \"$ENGINE\" \"$@\"\n", false};
    struct Case {
        const char* name;
        QHostAddress::SpecialAddress address;
        bool answers;    // the stand-in server, or a listener that says nothing
        bool before;     // there before the start, else taken while ours starts
        bool runEngine;  // the wrapper goes on to run our engine
        bool refused;
        bool closes = false;  // servers close every connection after one answer, kept alive or not
    };
    const Case cases[] = {
        {"answers on 127.0.0.1", QHostAddress::LocalHost, true, false, false, true},
        {"answers on 127.0.0.1, closing every connection", QHostAddress::LocalHost, true, false, false, true, true},
        {"silent on 127.0.0.1, ours cannot bind", QHostAddress::LocalHost, false, false, true, true},
        {"answers on every IPv4 and IPv6 address", QHostAddress::Any, true, false, false, true},
        {"answers on IPv6 only, from the start on", QHostAddress::AnyIPv6, true, true, true, false},
        {"silent on IPv6 only, taken while ours starts", QHostAddress::AnyIPv6, false, false, true, false},
        {"on IPv6 only, ours closing every connection", QHostAddress::AnyIPv6, true, true, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = makeManager();
        settings.setString(Settings::Key::customLlamaServerPath, installEngine(data, slow));
        const QString go = data.filePath("go");
        QFile::remove(go);
        qputenv("GO", go.toUtf8());
        const auto model = manager->catalog()[0];
        writeModel(model);
        test::StandInLlamaServer other;
        other.behaviour.closeEveryConnection = c.closes;
        qputenv("KORVALEN_STANDIN_CLOSE", c.closes ? "1" : "0");
        QTcpServer silent;
        auto takePort = [&] {
            return c.answers ? other.listen(manager->port(), QHostAddress(c.address))
                             : silent.listen(c.address, manager->port());
        };
        if (c.before) {
            ASSERT_TRUE(takePort());
        }
        auto outcome = test::watch(manager->startServer(model));
        ASSERT_TRUE(test::processEventsUntil([&] { return serverPid(*manager) > 0; }, patiently));
        const auto group = static_cast<pid_t>(serverPid(*manager));
        if (!c.before) {
            ASSERT_TRUE(takePort());
        }
        if (c.runEngine) QFile(go).open(QIODevice::WriteOnly);
        ASSERT_TRUE(test::processEventsUntil([&] { return outcome->finished; }, patiently));

        if (!c.refused) {
            EXPECT_TRUE(outcome->value) << manager->statusText().toStdString();
            EXPECT_TRUE(manager->engineRunning());
            EXPECT_TRUE(other.requests().empty()) << "nothing of ours went to the IPv6 listener";
            manager->stopServerProcess(std::nullopt);
            EXPECT_TRUE(test::await(manager->waitForServerExit())->value.value_or(false));
            continue;
        }
        const std::string taken = "Another program already answers on 127.0.0.1:" + std::to_string(manager->port()) +
                                  " — stop it before starting the local model";
        const auto* e = outcome->errorAs<ModelManagerError>();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->what(), taken);
        EXPECT_EQ(manager->statusText().toStdString(), taken);
        EXPECT_FALSE(manager->engineRunning());
        EXPECT_TRUE(log.events("ASSISTANT_ENGINE_READY").empty());
        EXPECT_EQ(other.requests().empty(), !c.answers);
        EXPECT_TRUE(test::await(manager->waitForServerExit())->value.value_or(false));
        EXPECT_FALSE(running(group)) << "our engine was stopped";
    }
    qunsetenv("GO");
}

// Who serves the probe's connection from 127.0.0.1:50000 to 127.0.0.1:18080, read from a /proc of
// the test's making: the engine's group is 700, it holds sockets 111 and 112; 333 is held by a
// process of another group. In 702 of the group the main thread has ended and thread 703 holds 114;
// in 704 every thread has ended (715 is shown holding 115 all the same).
TEST(EngineProcessGroup, TheProbesConnectionIsOursOnlyWhenTheGroupServesIt)
{
    const char* heading =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    auto line = [](const char* local, const char* remote, const char* state, const char* inode) {
        return std::string("   0: ") + local + " " + remote + " " + state +
               " 00000000:00000000 00:00000000 00000000     0        0 " + inode + " 1 0000000000000000 100 0 0 10 0\n";
    };
    // 18080 is 46A0, 50000 is C350; addresses as the kernel prints them on this (little-endian) machine.
    const char* loopback = "0100007F:46A0";
    const char* client = "0100007F:C350";
    const char* mapped = "0000000000000000FFFF00000100007F:46A0";
    const char* mappedClient = "0000000000000000FFFF00000100007F:C350";
    const char* none = "00000000:0000";
    const char* none6 = "00000000000000000000000000000000:0000";
    const std::string ours = line(loopback, none, "0A", "111") + line(loopback, client, "01", "112");
    using EngineProcessGroup::Holder;
    struct Case {
        const char* name;
        std::string tcp;
        std::string tcp6;
        Holder holder;
    };
    const std::vector<Case> cases = {
        {"served by ours", ours, "", Holder::group},
        {"served by ours, accepted by its listener's child", line(loopback, client, "01", "113"), "", Holder::group},
        {"an IPv6-only listener beside ours", ours, line("00000000000000000000000000000000:46A0", none6, "0A", "222"),
         Holder::group},
        {"a listener on every IPv4 address beside ours", ours + line("00000000:46A0", none, "0A", "222"), "",
         Holder::group},
        {"nothing on the port", "", "", Holder::nobody},
        {"not accepted yet", line(loopback, client, "01", "0"), "", Holder::nobody},
        {"only the client's end", line(client, loopback, "01", "444"), "", Holder::nobody},
        {"another connection to the port", line(loopback, "0100007F:C351", "01", "112"), "", Holder::nobody},
        {"another program's", line(loopback, client, "01", "222"), "", Holder::another},
        {"a process of another group's", line(loopback, client, "01", "333"), "", Holder::another},
        {"a dual-stack listener's, as a mapped address", "", line(mapped, mappedClient, "01", "222"), Holder::another},
        {"ours as a mapped address", "", line(mapped, mappedClient, "01", "112"), Holder::group},
        {"served by ours beside another on 127.0.0.1", ours + line(loopback, none, "0A", "222"), "", Holder::another},
        {"served by ours beside another on the mapped loopback", ours, line(mapped, none6, "0A", "222"),
         Holder::another},
        {"served on another loopback address", line("0200007F:46A0", client, "01", "112"), "", Holder::nobody},
        {"served by a thread of ours whose main thread ended", line(loopback, client, "01", "114"), "", Holder::group},
        {"held by a process of ours whose every thread ended", line(loopback, client, "01", "115"), "",
         Holder::another},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::FixtureTree tree;
        tree.write("proc/net/tcp", heading + c.tcp).write("proc/net/tcp6", heading + c.tcp6);
        // A stat line as the kernel writes it, its flags and thread count included.
        auto stat = [](const std::string& id, char state, int threads) {
            return id + " (llama-server) " + state + " 1 700 700 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 " +
                   std::to_string(threads) + " 0 0";
        };
        tree.write("proc/700/stat", stat("700", 'S', 1)).makeFolder("proc/700/fd");
        tree.write("proc/701/stat", stat("701", 'S', 1)).makeFolder("proc/701/fd");
        tree.write("proc/800/stat", "800 (other) S 1 800 800 0 -1").makeFolder("proc/800/fd");
        fs::create_symlink("socket:[111]", tree.root() / "proc/700/fd/3");
        fs::create_symlink("socket:[112]", tree.root() / "proc/700/fd/4");
        fs::create_symlink("/dev/null", tree.root() / "proc/700/fd/0");
        fs::create_symlink("socket:[113]", tree.root() / "proc/701/fd/5");
        fs::create_symlink("socket:[333]", tree.root() / "proc/800/fd/3");
        // A process whose main thread has ended shows its leader as a zombie and no descriptors.
        // Once every thread ended, it counts its leader alone.
        for (const auto& [dead, threads] : {std::pair{"702", 2}, std::pair{"704", 1}}) {
            const std::string line = stat(dead, 'Z', threads);
            tree.write("proc/" + std::string(dead) + "/stat", line)
                .write("proc/" + std::string(dead) + "/task/" + dead + "/stat", line);
            tree.makeFolder("proc/" + std::string(dead) + "/fd");
        }
        tree.write("proc/702/task/703/stat", stat("703", 'S', 2)).makeFolder("proc/702/task/703/fd");
        tree.write("proc/704/task/715/stat", stat("715", 'Z', 1)).makeFolder("proc/704/task/715/fd");
        fs::create_symlink("socket:[114]", tree.root() / "proc/702/task/703/fd/3");
        fs::create_symlink("socket:[115]", tree.root() / "proc/704/task/715/fd/3");
        EXPECT_EQ(EngineProcessGroup::connectionHolder(700, 18080, 50000, tree.root()), c.holder);
    }
}

TEST_F(ModelManagerTest, ACancelledOrStoppedStartStopsItsEngineAndSaysSo)
{
    auto manager = makeManager();
    const auto model = manager->catalog()[0];
    writeModel(model);
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "600000");

    // The start's task is cancelled (a clear, a newer question), or the model is stopped (the
    // generation advanced, as the store does): either way the engine goes and the status says so.
    struct Ending {
        const char* name;
        bool stop;
    };
    for (const Ending ending : {Ending{"cancelled", false}, Ending{"stopped", true}}) {
        SCOPED_TRACE(ending.name);
        CancelFlag cancel;
        auto outcome = test::watch(manager->startServer(model, cancel));
        test::processEventsUntil([&] { return serverPid(*manager) > 0; }, patiently);
        const qint64 pid = serverPid(*manager);
        EXPECT_EQ(manager->statusText().toStdString(), "Starting " + model.displayName);
        if (ending.stop) {
            manager->advanceServerStartGeneration();
            manager->stopServerProcess(std::nullopt);
            EXPECT_EQ(manager->statusText().toStdString(), "Local model stopped")
                << "at once, not when the start notices";
        } else {
            cancel.cancel();
        }
        test::processEventsUntil([&] { return outcome->finished; }, patiently);
        EXPECT_NE(outcome->errorAs<LocalTaskCancelled>(), nullptr);
        EXPECT_FALSE(manager->engineRunning());
        EXPECT_FALSE(manager->isBusy());
        EXPECT_EQ(manager->statusText().toStdString(), "Local model stopped");
        test::await(manager->waitForServerExit());
        EXPECT_FALSE(processAlive(pid));
    }
}

// A start ends with its manager: a manager that goes while the start waits, on its first look at
// the port or between probes of an engine that does not answer yet, leaves no start suspended and
// no engine. The probes are ten minutes apart: only the manager's end can end that wait in time.
TEST_F(ModelManagerTest, AStartEndsWithItsManager)
{
    const auto model = AssistantModelManager::standardCatalog()[0];
    writeModel(model);
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "600000");
    for (const bool engineStarted : {false, true}) {
        SCOPED_TRACE(engineStarted ? "engine started" : "looking at the port");
        auto manager = makeManager(true, [](auto& options) { options.probeInterval = std::chrono::minutes(10); });
        auto outcome = test::watch(manager->startServer(model));
        if (engineStarted) {
            ASSERT_TRUE(test::processEventsUntil([&] { return serverPid(*manager) > 0; }, patiently));
        }
        const qint64 pid = serverPid(*manager);
        manager.reset();
        EXPECT_TRUE(test::processEventsUntil([&] { return outcome->finished; }, patiently));
        EXPECT_NE(outcome->errorAs<LocalTaskCancelled>(), nullptr);
        EXPECT_FALSE(processAlive(pid));
    }
}

// An engine held at its exit (a tracer can do that, past SIGKILL) must not hold the quit: one
// round of polite termination and kill, no second round from the destructor, and no QProcess
// destroyed while its process runs (Qt would kill it and wait up to 30 s).
TEST_F(ModelManagerTest, AQuitLeavesAnEngineThatCannotDieAfterOneRound)
{
    std::vector<int> signalsSent;
    auto manager = makeManager(true, [&](AssistantModelManager::Options& options) {
        options.killWait = std::chrono::milliseconds(100);
        options.signalGroup = [&](pid_t, int signal) { signalsSent.push_back(signal); };
    });
    const auto model = manager->catalog()[0];
    writeModel(model);
    ASSERT_TRUE(test::await(manager->startServer(model), patiently)->value);
    QPointer<QProcess> engine = serverProcess(*manager);
    ASSERT_TRUE(engine);
    const auto pid = static_cast<pid_t>(engine->processId());

    static std::vector<std::string> qtWarnings;
    qtWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { qtWarnings.push_back(text.toStdString()); });
    QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit");
    manager.reset();
    qInstallMessageHandler(previous);

    EXPECT_EQ(signalsSent, (std::vector<int>{SIGTERM, SIGKILL}));
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_KILL group=" + std::to_string(pid)).size(), 1u);
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_SHUTDOWN_INCOMPLETE group=" + std::to_string(pid)).size(), 1u);
    EXPECT_EQ(qtWarnings, std::vector<std::string>{});
    EXPECT_TRUE(running(pid)) << "nothing behind the manager's back killed it";
    const bool kept = engine;

    // Once the engine does end, its QProcess frees itself.
    killForTest(pid, true);
    ASSERT_TRUE(kept) << "its QProcess lived on";
    EXPECT_TRUE(test::processEventsUntil(
        [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return engine.isNull();
        },
        patiently));
}

}  // namespace
}  // namespace korvalen
