#include "LocalModel/AssistantModelManager.h"
#include "LocalModel/EngineProcessGroup.h"
#include "LocalModel/LoopbackNetwork.h"

#include "Model/KorvalenAILogger.h"
#include "Platform/Async/Async.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QNetworkProxy>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>

#include <csignal>
#include <exception>
#include <memory>
#include <thread>

namespace korvalen {

namespace {

QString qs(const std::string& s)
{
    return QString::fromStdString(s);
}

bool isGGUFFile(const QString& path)
{
    // A FIFO or a device in the model's place would block the open, and the window with it.
    if (!QFileInfo(path).isFile()) return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(4) == "GGUF";
}

bool isExecutableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

// Resumes a coroutine once, from whichever callback comes first, through the event loop.
struct Resumer {
    std::coroutine_handle<> handle;
    bool fired = false;
    void fire()
    {
        if (!fired) {
            fired = true;
            detail::resumeOnMain(handle);
        }
    }
};

template <typename Setup>
struct CallbackAwaiter {
    Setup& setup;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        auto resumer = std::make_shared<Resumer>();
        resumer->handle = handle;
        setup(resumer);
    }
    void await_resume() const noexcept {}
};
template <typename Setup>
CallbackAwaiter<Setup> whenCalled(Setup& setup)
{
    return CallbackAwaiter<Setup>{setup};
}

}  // namespace

std::vector<AssistantDownloadableModel> AssistantModelManager::standardCatalog()
{
    return {
        {"qwen3-4b-instruct-q4km", "Qwen3 4B Instruct", "qwen3-4b-instruct", "Qwen3-4B-Instruct-2507-Q4_K_M.gguf"},
        {"qwen3-1.7b-q8", "Qwen3 1.7B", "qwen3-1.7b", "Qwen3-1.7B-Q8_0.gguf"},
    };
}

AssistantModelManager::AssistantModelManager(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), catalog_(standardCatalog())
{
    if (options_.dataFolder.isEmpty())
        options_.dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Korvalen AI";
    if (auto stored = options_.settings.stringValue(Settings::Key::managedModel); stored && !stored->isEmpty())
        selectedModelID_ = stored->toStdString();
    // A model file or an engine put in place by hand shows as soon as it is there.
    watcher_ = new QFileSystemWatcher(this);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (refreshPending_) return;
        refreshPending_ = true;
        QTimer::singleShot(100, this, [this] {
            refreshPending_ = false;
            refresh();
        });
    });
    refresh();
    if (auto current = selectedModel(); current && state(current->id).isInstalled())
        statusText_ = "Selected " + qs(current->displayName);
    else
        statusText_ = "Select an installed local model";
    // A quit that leaves the event loop must not leave the engine running.
    if (auto* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &AssistantModelManager::shutdown);
}

AssistantModelManager::~AssistantModelManager()
{
    shutdown();
}

std::optional<AssistantDownloadableModel> AssistantModelManager::model(const std::string& id) const
{
    for (const auto& m : catalog_)
        if (m.id == id) return m;
    return std::nullopt;
}

std::optional<AssistantDownloadableModel> AssistantModelManager::selectedModel() const
{
    return selectedModelID_ ? model(*selectedModelID_) : std::nullopt;
}

AssistantManagedDownloadState AssistantModelManager::state(const std::string& id) const
{
    auto it = modelStates_.find(id);
    return it == modelStates_.end() ? AssistantManagedDownloadState{} : it->second;
}

void AssistantModelManager::advanceServerStartGeneration()
{
    ++serverStartGeneration_;
}

std::string AssistantModelManager::managedEndpoint() const
{
    return "http://127.0.0.1:" + std::to_string(options_.port) + "/v1";
}

void AssistantModelManager::setStatus(const QString& text)
{
    statusText_ = text;
    emit changed();
}

void AssistantModelManager::setBusy(bool busy)
{
    busy_ = busy;
    emit changed();
}

std::optional<QString> AssistantModelManager::lookUpEngine() const
{
    if (auto custom = options_.settings.stringValue(Settings::Key::customLlamaServerPath);
        custom && !custom->isEmpty() && isExecutableFile(*custom))
        return QFileInfo(*custom).absoluteFilePath();
    const QString bundled = engineFolder() + "/llama-server";
    if (isExecutableFile(bundled)) return bundled;
    const QStringList paths =
        options_.searchPath.isEmpty() ? QStringList{} : options_.searchPath.split(':', Qt::SkipEmptyParts);
    const QString found = QStandardPaths::findExecutable("llama-server", paths);
    if (!found.isEmpty()) return found;
    return std::nullopt;
}

void AssistantModelManager::refresh()
{
    for (const auto& m : catalog_) {
        AssistantManagedDownloadState& s = modelStates_[m.id];
        const bool present = isGGUFFile(modelPath(m));
        if (present)
            s = {AssistantManagedDownloadState::Kind::installed, {}};
        else if (s.isInstalled() || s.kind == AssistantManagedDownloadState::Kind::idle)
            s = {};
    }
    const auto engine = lookUpEngine();
    enginePath_ = engine.value_or(QString());
    engineInstalled_ = engine.has_value();
    // Folders made since the last look are watched from now on.
    for (const QString& folder : {options_.dataFolder, modelsFolder(), engineFolder()})
        if (QFileInfo(folder).isDir() && !watcher_->directories().contains(folder)) watcher_->addPath(folder);
    emit changed();
}

void AssistantModelManager::select(const AssistantDownloadableModel& model)
{
    refresh();
    if (!state(model.id).isInstalled()) {
        setStatus("Download " + qs(model.displayName) + " before selecting it");
        return;
    }
    if (process_ && activeModelID_ && *activeModelID_ != model.id) {
        advanceServerStartGeneration();
        stopServerProcess(std::nullopt);
    }
    selectedModelID_ = model.id;
    options_.settings.setString(Settings::Key::managedModel, qs(model.id));
    setStatus("Selected " + qs(model.displayName));
}

void AssistantModelManager::installEngine()
{
    if (busy_) {
        setStatus("Local AI setup is already in progress");
        return;
    }
    refresh();
    if (engineInstalled_) {
        setStatus("llama.cpp engine ready: " + enginePath_);
        KorvalenAILogger::info("ASSISTANT_ENGINE_FOUND path=" + enginePath_.toStdString());
    } else {
        // This build downloads nothing: the user places the engine where the look-up finds it.
        setStatus("llama.cpp engine not found — place llama-server in " + engineFolder() + " or on PATH");
        KorvalenAILogger::warning("ASSISTANT_ENGINE_MISSING folder=" + engineFolder().toStdString());
    }
}

// A connection to 127.0.0.1:<port>, or null when nothing takes one within a second or the flag is
// set. The socket belongs to this wait, not to the manager: a socket that went with the manager
// would take along every callback that can resume the wait.
Task<QTcpSocket*> AssistantModelManager::connectToPort(CancelFlag cancel)
{
    auto* socket = new QTcpSocket;
    socket->setProxy(QNetworkProxy::NoProxy);
    std::uint64_t cancelKey = 0;
    auto connectNow = [socket, port = options_.port, cancel, &cancelKey](const std::shared_ptr<Resumer>& resumer) {
        QObject::connect(socket, &QTcpSocket::connected, socket, [resumer] { resumer->fire(); });
        QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [resumer] { resumer->fire(); });
        QTimer::singleShot(1000, socket, [resumer] { resumer->fire(); });
        // The flag may be set on any thread: the wake-up travels through the event loop.
        cancelKey = cancel.onCancel([resumer] {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [resumer] { resumer->fire(); }, Qt::QueuedConnection);
        });
        socket->connectToHost(QHostAddress::LocalHost, port);
    };
    co_await whenCalled(connectNow);
    cancel.forget(cancelKey);
    if (socket->state() == QAbstractSocket::ConnectedState && !cancel.isCancelled()) co_return socket;
    socket->deleteLater();
    co_return nullptr;
}

// An actual connection is the honest test: a listener that 127.0.0.1 cannot reach (IPv6 only)
// does not count.
Task<bool> AssistantModelManager::portAnswers(CancelFlag cancel)
{
    // Each call with by-value arguments is made outside the co_await expression (GCC 12 destroys
    // such temporaries twice).
    Task<QTcpSocket*> connecting = connectToPort(std::move(cancel));
    QTcpSocket* socket = co_await std::move(connecting);
    if (socket) socket->deleteLater();  // which also closes it
    co_return socket != nullptr;
}

// Who serves a connection to 127.0.0.1:<port>: nobody when nothing takes it, the engine's group
// when one of its processes accepts it, another program when another does or none does in time.
Task<EngineProcessGroup::Holder> AssistantModelManager::portHolder(CancelFlag cancel)
{
    using EngineProcessGroup::Holder;
    QPointer<AssistantModelManager> self(this);
    Task<QTcpSocket*> connecting = connectToPort(cancel);
    QPointer<QTcpSocket> socket = co_await std::move(connecting);
    if (!socket) co_return Holder::nobody;
    Holder holder = Holder::nobody;
    for (int look = 0; self && socket && holder == Holder::nobody && look < 50; ++look) {
        if (look > 0) {
            SleepAwaiter pause = sleepFor(std::chrono::milliseconds(20), cancel);
            co_await pause;
            if (!self || !socket || cancel.isCancelled()) break;
        }
        holder = EngineProcessGroup::connectionHolder(self->groupID_, self->options_.port, socket->localPort());
    }
    if (socket) socket->deleteLater();
    co_return holder == Holder::nobody ? Holder::another : holder;
}

Task<bool> AssistantModelManager::endpointAnswers(QString path, CancelFlag cancel,
                                                  std::function<void(const QAbstractSocket&)> whileOpen)
{
    LoopbackHttpLimits limits;
    limits.inactivity = std::chrono::milliseconds(2000);
    limits.whole = std::chrono::milliseconds(4000);
    limits.maxBodyBytes = 1024 * 1024;
    Task<LoopbackHttpResult> exchange =
        loopbackRequest(QUrl("http://127.0.0.1:" + QString::number(options_.port) + path), "GET", {}, limits,
                        std::move(cancel), std::move(whileOpen));
    const LoopbackHttpResult result = co_await std::move(exchange);
    co_return result.outcome == LoopbackHttpResult::Outcome::complete&& result.status == 200;
}

ModelManagerError AssistantModelManager::portTakenError() const
{
    return ModelManagerError("Another program already answers on 127.0.0.1:" + std::to_string(options_.port) +
                             " — stop it before starting the local model");
}

Task<> AssistantModelManager::startServer(AssistantDownloadableModel model, CancelFlag cancel)
{
    if (shuttingDown_) throw ModelManagerError("Korvalen AI is quitting");
    // Refused, not ended: the start under way keeps its status.
    if (busy_) throw ModelManagerError("Local AI setup is already in progress");
    QPointer<AssistantModelManager> self(this);
    std::exception_ptr failure;
    QString ended;
    try {
        Task<> launch = launchServer(std::move(model), std::move(cancel));
        co_await std::move(launch);
    } catch (const LocalTaskCancelled&) {
        failure = std::current_exception();
        ended = "Local model stopped";
    } catch (const std::exception& e) {
        failure = std::current_exception();
        ended = QString::fromUtf8(e.what());
    }
    if (!failure) co_return;
    // Only a running engine replaces "Starting …": every other end of a start says what happened.
    if (self) self->setStatus(ended);
    std::rethrow_exception(failure);
}

Task<> AssistantModelManager::launchServer(AssistantDownloadableModel model, CancelFlag cancel)
{
    refresh();
    if (!state(model.id).isInstalled()) throw ModelManagerError(model.displayName + " is not downloaded");
    if (!engineInstalled_) throw ModelManagerError("llama.cpp engine is not installed");
    if (engineRunning_ && process_ && activeModelID_ == model.id) co_return;

    QPointer<AssistantModelManager> self(this);
    setBusy(true);
    struct BusyReset {
        QPointer<AssistantModelManager> manager;
        ~BusyReset()
        {
            if (manager) manager->setBusy(false);
        }
    } busyReset{self};

    // Every wait below ends soon after the caller cancels or the manager shuts down or goes; the
    // start then runs to its end by itself, touching nothing of a manager that is gone.
    CancelFlag stop;
    struct Forward {
        CancelFlag from;
        std::uint64_t key;
        ~Forward() { from.forget(key); }
    };
    const Forward fromCaller{cancel, cancel.onCancel([stop] { stop.cancel(); })};
    const Forward fromManager{ending_, ending_.onCancel([stop] { stop.cancel(); })};

    const std::uint64_t generation = serverStartGeneration_;
    auto stale = [&] {
        return !self || stop.isCancelled() || self->serverStartGeneration_ != generation || self->shuttingDown_;
    };

    if (serverProcessAlive()) {
        stopServerProcess(std::nullopt);
        Task<bool> previousExit = waitForServerExit();
        const bool gone = co_await std::move(previousExit);
        if (stale()) throw LocalTaskCancelled();
        if (!gone) throw ModelManagerError("The previous llama-server did not stop — try again in a moment");
    }
    setStatus("Starting " + qs(model.displayName));
    Task<bool> looking = portAnswers(stop);
    const bool taken = co_await std::move(looking);
    if (stale()) throw LocalTaskCancelled();
    if (taken) throw portTakenError();

    QDir().mkpath(options_.dataFolder + "/Cache");
    auto* process = new QProcess(this);
    process->setProgram(enginePath_);
    process->setArguments({"--host", "127.0.0.1", "--port", QString::number(options_.port), "-m", modelPath(model),
                           "--alias", qs(model.modelAlias), "--ctx-size", "8192"});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LLAMA_CACHE", options_.dataFolder + "/Cache");
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(serverLogPath(), QIODevice::Append);
    process->setStandardInputFile(QProcess::nullDevice());
    const pid_t application = ::getpid();
    // The engine's group ends with the application in any way, a crash or a kill included.
    process->setChildProcessModifier([application] { EngineProcessGroup::prepareChild(application); });
    connect(process, &QProcess::finished, this, [this, process] { serverEnded(process); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) serverEnded(process);
    });
    process_ = process;
    stopping_ = false;
    KorvalenAILogger::info("ASSISTANT_ENGINE_START model=" + model.id + " port=" + std::to_string(options_.port));
    process->start();
    // The child made its group before its exec, and start() returns only after that exec.
    groupID_ = static_cast<pid_t>(process->processId());  // 0 when it did not start

    const auto deadline = std::chrono::steady_clock::now() + options_.startDeadline;
    QPointer<QProcess> ours(process);
    while (true) {
        SleepAwaiter pause = sleepFor(options_.probeInterval, stop);
        co_await pause;
        if (!self) throw LocalTaskCancelled();
        if (stale()) {
            if (ours && self->process_ == ours) self->stopServerProcess(std::nullopt);
            throw LocalTaskCancelled();
        }
        if (!ours || self->process_ != ours) {
            // Most often because it could not bind: another program took the port meanwhile.
            Task<EngineProcessGroup::Holder> judging = self->portHolder(stop);
            const EngineProcessGroup::Holder holder = co_await std::move(judging);
            if (stale()) throw LocalTaskCancelled();
            if (holder == EngineProcessGroup::Holder::another) throw self->portTakenError();
            throw ModelManagerError("llama-server stopped before it was ready — see " +
                                    self->serverLogPath().toStdString());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            self->stopServerProcess(std::nullopt);
            throw ModelManagerError("llama-server did not become ready within " +
                                    std::to_string(options_.startDeadline.count() / 1000) + " seconds");
        }
        if (ours->state() != QProcess::Running) continue;
        Task<bool> health = self->endpointAnswers(QStringLiteral("/health"), stop);
        const bool healthy = co_await std::move(health);
        if (!self) throw LocalTaskCancelled();
        if (!healthy || stale()) continue;
        // A program that took the port while ours was starting answers the probes too: only a
        // probe served by a process of the engine's own group counts, judged while its connection
        // is still open.
        auto holder = std::make_shared<EngineProcessGroup::Holder>(EngineProcessGroup::Holder::nobody);
        auto judge = [holder, group = self->groupID_, port = self->options_.port](const QAbstractSocket& socket) {
            *holder = EngineProcessGroup::connectionHolder(group, port, socket.localPort());
        };
        Task<bool> models = self->endpointAnswers(QStringLiteral("/v1/models"), stop, judge);
        const bool listed = co_await std::move(models);
        if (!self) throw LocalTaskCancelled();
        if (!listed || stale() || !ours || self->process_ != ours) continue;
        // A server that closes every connection at once leaves nothing to judge: a connection held
        // open by us until it is taken up tells instead (none taken: ours just ended, seen next).
        if (*holder == EngineProcessGroup::Holder::nobody) {
            Task<EngineProcessGroup::Holder> judging = self->portHolder(stop);
            *holder = co_await std::move(judging);
        }
        if (!self) throw LocalTaskCancelled();
        if (stale() || *holder == EngineProcessGroup::Holder::nobody) continue;
        if (*holder != EngineProcessGroup::Holder::group) {
            self->stopServerProcess(std::nullopt);
            throw self->portTakenError();
        }
        break;
    }
    engineRunning_ = true;
    activeModelID_ = model.id;
    KorvalenAILogger::info("ASSISTANT_ENGINE_READY model=" + model.id);
    setStatus(qs(model.displayName) + " running");
}

void AssistantModelManager::serverEnded(QProcess* process)
{
    if (process_ != process) return;
    process_ = nullptr;
    process->deleteLater();
    const bool wasRunning = engineRunning_;
    engineRunning_ = false;
    activeModelID_.reset();
    KorvalenAILogger::info("ASSISTANT_ENGINE_EXIT code=" + std::to_string(process->exitCode()));
    if (!wasRunning) {
        emit changed();
        return;
    }
    setStatus("Local model stopped");
    emit engineEnded();
}

bool AssistantModelManager::serverProcessAlive() const
{
    if (process_) return true;
    if (groupID_ != 0 && !EngineProcessGroup::hasLiveMember(groupID_)) groupID_ = 0;
    return groupID_ != 0;
}

std::vector<pid_t> AssistantModelManager::serverProcessIDs() const
{
    return EngineProcessGroup::liveMembers(groupID_);
}

void AssistantModelManager::signalEngine(int signal)
{
    const pid_t group = groupID_;
    if (group <= 1) return;  // never our own group (0) or every process (-1)
    if (options_.signalGroup)
        options_.signalGroup(group, signal);
    else
        ::kill(-group, signal);
}

void AssistantModelManager::stopServerProcess(std::optional<std::uint64_t> expectedGeneration)
{
    if (expectedGeneration && *expectedGeneration != serverStartGeneration_) return;
    const bool wasRunning = engineRunning_;
    engineRunning_ = false;
    activeModelID_.reset();
    if (!stopping_ && serverProcessAlive()) {
        stopping_ = true;
        KorvalenAILogger::info("ASSISTANT_ENGINE_STOP");
        signalEngine(SIGTERM);
        QTimer::singleShot(options_.terminateGrace, this, [this, group = groupID_] {
            if (group != groupID_ || !serverProcessAlive()) return;
            KorvalenAILogger::warning("ASSISTANT_ENGINE_KILL group=" + std::to_string(group));
            signalEngine(SIGKILL);
        });
    }
    // A start under way ends with this stop too: its "Starting …" is no longer true.
    if (wasRunning || busy_)
        setStatus("Local model stopped");
    else
        emit changed();
}

Task<bool> AssistantModelManager::waitForServerExit()
{
    QPointer<AssistantModelManager> self(this);
    const auto limit = std::chrono::steady_clock::now() + options_.terminateGrace + options_.killWait;
    while (self && self->serverProcessAlive()) {
        if (std::chrono::steady_clock::now() >= limit) co_return false;
        SleepAwaiter pause = sleepFor(std::chrono::milliseconds(20));
        co_await pause;
    }
    co_return true;
}

void AssistantModelManager::shutdown()
{
    // Once: a second round (the destructor's after the quit's) would only wait again for an engine
    // that did not go.
    if (shuttingDown_) return;
    shuttingDown_ = true;
    ending_.cancel();
    ++serverStartGeneration_;
    engineRunning_ = false;
    activeModelID_.reset();
    QProcess* process = std::exchange(process_, nullptr);
    if (process) process->disconnect(this);
    if (!process && !serverProcessAlive()) return;
    // The application is ending: waiting here is the only way to be sure the engine is gone.
    auto gone = [&] { return (!process || process->state() == QProcess::NotRunning) && !serverProcessAlive(); };
    auto waitUntilGone = [&](std::chrono::milliseconds period) {
        const auto limit = std::chrono::steady_clock::now() + period;
        while (!gone()) {
            if (std::chrono::steady_clock::now() >= limit) return false;
            if (process && process->state() != QProcess::NotRunning)
                process->waitForFinished(20);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    };
    signalEngine(SIGTERM);
    if (!waitUntilGone(options_.terminateGrace)) {
        KorvalenAILogger::warning("ASSISTANT_ENGINE_KILL group=" + std::to_string(groupID_));
        signalEngine(SIGKILL);
        if (!waitUntilGone(options_.killWait))
            KorvalenAILogger::error("ASSISTANT_ENGINE_SHUTDOWN_INCOMPLETE group=" + std::to_string(groupID_));
    }
    KorvalenAILogger::info("ASSISTANT_ENGINE_SHUTDOWN");
    if (!process) return;
    if (process->state() == QProcess::NotRunning) {
        delete process;
        return;
    }
    // A QProcess destroyed while its process runs kills it and waits up to 30 s: one whose engine
    // outlived the kill is let go instead, to free itself if the engine ever ends. The engine's
    // death signal and its watcher end the group with the application.
    process->setParent(nullptr);
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
}

}  // namespace korvalen
