#pragma once

#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantTypes.h"
#include "LocalModel/AssistantModelManager.h"
#include "Model/AIRecords.h"
#include "Platform/Async/CancelFlag.h"
#include "Platform/Async/Task.h"
#include "Platform/Foundation/Settings.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalen {

// What the conversation reads of the application state, handed in by the store.
struct AssistantStoreAccess {
    std::function<bool()> runIsBusy;
    std::function<std::optional<AIBenchmarkSession>()> currentSession;
    // Shared, never copied per question: the history can hold hundreds of megabytes.
    std::function<std::shared_ptr<const std::vector<AIBenchmarkSession>>()> history;
    std::function<AISystemProfile()> systemProfile;
    // The application's deferred quit is pending.
    std::function<bool()> applicationIsTerminating;
};

// The assistant's side of the application state: the conversation, the provider and local-model
// settings, the answering of each question (the built-in expert on a worker, then the local model
// when it is chosen), the managed model's start and stop, and the conversation's upkeep. Main
// thread only. Asynchronous work carries a request identifier and is dropped when it is no longer
// the current one.
class AssistantConversationController : public QObject {
    Q_OBJECT

public:
    static constexpr int messageLimit = 100;
    static constexpr int localConversationLimit = 16;
    static constexpr const char* managedEndpointText = "http://127.0.0.1:18080/v1";
    static constexpr const char* defaultEndpoint = "http://127.0.0.1:8080/v1";
    static constexpr const char* defaultModel = "local-model";
    static constexpr const char* pausedStatus = "AI Assistant paused — official benchmark in progress";
    static const std::string& welcomeText();

    struct Services {
        AssistantStoreAccess store;
        Settings settings;
        AssistantModelManager* modelManager = nullptr;  // not owned; outlives the controller
        // The save dialog: given the proposed file name, the chosen path or none.
        std::function<std::optional<QString>(const QString& proposedName)> chooseExportLocation;
        std::function<Date()> clock;
        // The built-in expert (empty: AIAssistantEngine::respond); tests hand in one that fails.
        std::function<decltype(AIAssistantEngine::respond)> expert;
    };

    explicit AssistantConversationController(Services services, QObject* parent = nullptr);
    ~AssistantConversationController() override;

    // Published state.
    const std::vector<AIAssistantMessage>& messages() const { return messages_; }
    const std::string& draft() const { return draft_; }
    void setDraft(const std::string& text);
    const QString& status() const { return status_; }
    bool isResponding() const { return responding_; }
    bool pausedForBenchmark() const { return pausedForBenchmark_; }
    AIAssistantProvider provider() const { return provider_; }
    // Each setter persists its value; a provider other than the local model stops the managed engine.
    void setProvider(AIAssistantProvider provider);
    const std::string& localEndpoint() const { return localEndpoint_; }
    void setLocalEndpoint(const std::string& endpoint);
    const std::string& localModel() const { return localModel_; }
    void setLocalModel(const std::string& model);
    const AIAssistantConversationContext& context() const { return context_; }
    AssistantModelManager& modelManager() const { return *services_.modelManager; }
    // Whether an answering task or a managed-model start is still going (for tests and the shell).
    bool hasPendingAnswer() const { return answerTask_.has_value(); }
    bool hasPendingModelStart() const { return modelStart_ != nullptr; }

    // A question: the text given, or the draft when none is.
    void sendMessage(std::optional<std::string> text = std::nullopt);
    void selectProvider(AIAssistantProvider provider);
    void selectManagedModel(const AssistantDownloadableModel& model);
    void installEngineForManagedModel(const AssistantDownloadableModel& model);
    void startManagedModel(const AssistantDownloadableModel& model);
    void stopManagedModel();
    void stopResponse();
    void clearConversation();
    void exportConversation();
    void setExportLocationChooser(std::function<std::optional<QString>(const QString&)> choose);

    // Around a benchmark run. Pausing cancels every pending answer and start and stops the managed
    // engine; it gives whether the engine is stopped. Resuming restarts the model that was running.
    bool pauseForBenchmark();
    void resumeAfterBenchmark();
    // The run found a process of the engine alive after its stop and was refused: the assistant is
    // not paused, says so, and restarts nothing.
    void benchmarkBlockedByEngine();

    // Whether an endpoint text names the managed engine (plain HTTP, loopback, the port, /v1).
    static bool isManagedEndpoint(const std::string& text, std::uint16_t port = AssistantModelManager::standardPort);
    // The export file's text.
    static std::string exportText(const std::vector<AIAssistantMessage>& messages, const AISystemProfile& system);
    // "Korvalen-AI-Assistant-<local time as yyyy-MM-dd_HH-mm-ss>.txt"
    static QString exportFileName(Date when);

signals:
    void messagesChanged();
    void draftChanged();
    void statusChanged(const QString& status);
    void respondingChanged(bool responding);
    void providerChanged(AIAssistantProvider provider);
    void localSettingsChanged();

private:
    struct Request;
    struct ModelStart;
    class ModelStartWait;

    static Task<> answer(QPointer<AssistantConversationController> self, std::shared_ptr<const Request> request,
                         CancelFlag cancel);
    static Task<> startModel(QPointer<AssistantConversationController> self, std::shared_ptr<ModelStart> start);
    // Starts the managed engine for the model as the one pending start, replacing any other. An
    // answer that needs it passes its cancel flag: while that answer lives it reports the outcome.
    std::shared_ptr<ModelStart> beginModelStart(const AssistantDownloadableModel& model,
                                                std::optional<CancelFlag> answer);
    bool isCurrent(const Request& request, const CancelFlag& cancel) const;
    void finish(const Request& request, const AIAssistantResponse& response);
    void engineEnded();
    void setStatus(const QString& text);
    void setResponding(bool responding);
    void setPaused(bool paused);
    void cancelAnswer();
    void cancelModelStart();
    void removeMessage(const Uuid& id);
    void removeTrailingEmptyAnswer();
    std::string managedEndpoint() const;
    // The status line of the chosen provider when nothing is going on.
    QString providerStatus() const;
    bool terminating() const;
    AIAssistantMessage welcomeMessage() const;

    Services services_;
    std::vector<AIAssistantMessage> messages_;
    std::string draft_;
    QString status_ = "Olvane Expert 2 ready";
    bool responding_ = false;
    bool pausedForBenchmark_ = false;
    AIAssistantProvider provider_ = AIAssistantProvider::olvaneExpert;
    std::string localEndpoint_ = defaultEndpoint;
    std::string localModel_ = defaultModel;
    AIAssistantConversationContext context_;

    std::optional<CancelFlag> answerTask_;
    std::optional<CancelFlag> expertTask_;
    std::optional<Uuid> requestID_;
    std::optional<Uuid> responseID_;
    // The pending managed-model start; its object is its identity.
    std::shared_ptr<ModelStart> modelStart_;
    // The managed model that a benchmark run stopped, to start again after it.
    std::optional<AssistantDownloadableModel> modelRunningBeforeBenchmark_;
};

}  // namespace korvalen
