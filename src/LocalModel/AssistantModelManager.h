#pragma once

#include "LocalModel/EngineProcessGroup.h"
#include "LocalModel/LocalModelErrors.h"
#include "Platform/Async/CancelFlag.h"
#include "Platform/Async/Task.h"
#include "Platform/Foundation/Settings.h"

#include <QObject>
#include <QString>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class QAbstractSocket;
class QFileSystemWatcher;
class QProcess;
class QTcpSocket;

namespace korvalen {

// One model of the managed engine's catalog.
struct AssistantDownloadableModel {
    std::string id;           // catalog identifier, logged
    std::string displayName;  // shown in status texts
    std::string modelAlias;   // the name the engine serves it under and the client asks for
    std::string fileName;     // the GGUF file in the data folder's "Models" folder
    bool operator==(const AssistantDownloadableModel&) const = default;
};

struct AssistantManagedDownloadState {
    enum class Kind { idle, downloading, paused, verifying, installed, installedNeedsVerification, failed };
    Kind kind = Kind::idle;
    std::string message;  // for failed
    bool isInstalled() const { return kind == Kind::installed || kind == Kind::installedNeedsVerification; }
    bool operator==(const AssistantManagedDownloadState&) const = default;
};

// The application's own local model: which catalog model is selected, whether its file and the
// `llama-server` engine are present, and the engine process serving it on loopback. Nothing is
// downloaded by this build: a model counts as installed when its file is in "Models" and starts
// with the GGUF magic; the engine is found at the path in the settings, in "Engine", or on PATH.
// Main thread only; no call blocks except the stop at shutdown.
class AssistantModelManager : public QObject {
    Q_OBJECT

public:
    static constexpr std::uint16_t standardPort = 18080;

    struct Options {
        QString dataFolder;  // empty: GenericDataLocation + "/Korvalen AI"
        Settings settings;
        std::uint16_t port = standardPort;  // tests take a free one
        QString searchPath;                 // empty: $PATH
        std::chrono::milliseconds startDeadline{180'000};
        std::chrono::milliseconds probeInterval{250};
        std::chrono::milliseconds terminateGrace{3'000};
        // How long after the kill the engine's processes may take to be gone.
        std::chrono::milliseconds killWait{2'000};
        // Sends a signal to the engine's process group (default: kill(-group, signal)).
        std::function<void(pid_t group, int signal)> signalGroup;
    };

    static std::vector<AssistantDownloadableModel> standardCatalog();

    explicit AssistantModelManager(Options options, QObject* parent = nullptr);
    ~AssistantModelManager() override;

    const std::vector<AssistantDownloadableModel>& catalog() const { return catalog_; }
    const std::optional<std::string>& selectedModelID() const { return selectedModelID_; }
    std::optional<AssistantDownloadableModel> selectedModel() const;
    std::optional<AssistantDownloadableModel> model(const std::string& id) const;
    const std::map<std::string, AssistantManagedDownloadState>& modelStates() const { return modelStates_; }
    AssistantManagedDownloadState state(const std::string& id) const;
    const std::optional<std::string>& activeModelID() const { return activeModelID_; }
    bool engineRunning() const { return engineRunning_; }
    bool engineInstalled() const { return engineInstalled_; }
    bool isBusy() const { return busy_; }
    bool isShuttingDown() const { return shuttingDown_; }
    std::uint64_t serverStartGeneration() const { return serverStartGeneration_; }
    void advanceServerStartGeneration();
    const QString& statusText() const { return statusText_; }

    std::uint16_t port() const { return options_.port; }
    // "http://127.0.0.1:<port>/v1"
    std::string managedEndpoint() const;
    QString dataFolder() const { return options_.dataFolder; }
    QString modelsFolder() const { return options_.dataFolder + "/Models"; }
    QString engineFolder() const { return options_.dataFolder + "/Engine"; }
    QString modelPath(const AssistantDownloadableModel& model) const
    {
        return modelsFolder() + "/" + QString::fromStdString(model.fileName);
    }
    QString serverLogPath() const { return options_.dataFolder + "/llama-server.log"; }
    // The engine executable found by the last look-up, or empty.
    const QString& enginePath() const { return enginePath_; }
    // Whether a process of the engine still lives (serving, starting or on its way out): the
    // engine runs in a process group of its own, and only when no member of it is left (zombies
    // aside) is it stopped.
    bool serverProcessAlive() const;
    // The live processes of the engine's group; empty when stopped.
    std::vector<pid_t> serverProcessIDs() const;

    // Reads the model files and looks for the engine again; also done by itself whenever the data,
    // "Models" or "Engine" folder changes.
    void refresh();
    void select(const AssistantDownloadableModel& model);
    // Looks for the engine and reports what it found through the status text.
    void installEngine();
    // Starts `llama-server` for the model on 127.0.0.1 and returns once it answers "/health" and
    // "/v1/models", the latter over a connection served by a process of its own group. Throws ModelManagerError (fit
    // for the status line) or LocalTaskCancelled; a start that ends otherwise than ready leaves that
    // error's text, or "Local model stopped", as status.
    Task<> startServer(AssistantDownloadableModel model, CancelFlag cancel = {});
    // With none: stops the server unconditionally (SIGTERM to its group, a grace period, then
    // SIGKILL to the group); with a generation: only when it is still the current one.
    void stopServerProcess(std::optional<std::uint64_t> expectedGeneration);
    // Completes once no process of the engine is left, or after the grace period and the kill's
    // wait; gives whether none is left. Never blocks the event loop.
    Task<bool> waitForServerExit();
    // The application ends: no server may outlive it. Blocks for at most the grace period and the
    // kill's wait.
    void shutdown();

signals:
    void changed();
    // The engine ended by itself while it served (a crash, a kill from outside); never for a stop
    // or a shutdown of ours.
    void engineEnded();

private:
    Task<> launchServer(AssistantDownloadableModel model, CancelFlag cancel);
    std::optional<QString> lookUpEngine() const;
    void setStatus(const QString& text);
    void setBusy(bool busy);
    void serverEnded(QProcess* process);
    void signalEngine(int signal);
    // Each wait of a start takes the start's cancel flag and ends soon after it is set, by itself:
    // nothing it waits on belongs to the manager, so a manager that goes leaves no start suspended.
    Task<QTcpSocket*> connectToPort(CancelFlag cancel);
    Task<bool> portAnswers(CancelFlag cancel);
    Task<EngineProcessGroup::Holder> portHolder(CancelFlag cancel);
    ModelManagerError portTakenError() const;
    Task<bool> endpointAnswers(QString path, CancelFlag cancel,
                               std::function<void(const QAbstractSocket&)> whileOpen = {});

    Options options_;
    std::vector<AssistantDownloadableModel> catalog_;
    std::optional<std::string> selectedModelID_;
    std::map<std::string, AssistantManagedDownloadState> modelStates_;
    std::optional<std::string> activeModelID_;
    bool engineRunning_ = false;
    bool engineInstalled_ = false;
    bool busy_ = false;
    bool shuttingDown_ = false;
    std::uint64_t serverStartGeneration_ = 0;
    QString statusText_;
    QString enginePath_;
    QProcess* process_ = nullptr;
    QFileSystemWatcher* watcher_ = nullptr;
    bool refreshPending_ = false;
    // The engine's process group (the engine's pid); 0 once every member is gone.
    mutable pid_t groupID_ = 0;
    bool stopping_ = false;
    // Set by the shutdown (the destructor's too): every start under way ends with the manager.
    CancelFlag ending_;
};

}  // namespace korvalen
