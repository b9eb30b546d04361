#include "Assistant/AssistantConversationController.h"

#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/UserPerceivedCharacters.h"
#include "LocalModel/AIAssistantLocalClient.h"
#include "Model/KorvalenAILogger.h"
#include "Platform/Async/Async.h"
#include "Platform/Foundation/NumberFormat.h"

#include <QDateTime>
#include <QLocale>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <chrono>

namespace korvalen {

namespace {

QString qs(const std::string& s)
{
    return QString::fromStdString(s);
}

std::string trimmed(const std::string& text)
{
    return qs(text).trimmed().toStdString();
}

double uptimeSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* const expertReady = "Olvane Expert 2 ready";
const char* const stoppedWhileStarting = "The local model was stopped while it was starting.";
const char* const engineBlockedStatus = "Local AI engine did not stop — benchmark blocked";

// Follows an answer that the model cut at its length limit, so the clipped end is not taken for
// the whole answer.
std::string lengthLimitNotice(AIAssistantLanguage language)
{
    return language == AIAssistantLanguage::portuguese ? "(O modelo local parou no seu limite de comprimento.)"
                                                       : "(The local model stopped at its length limit.)";
}

}  // namespace

// A start of the managed engine. It belongs to the controller, not to the answer that may have
// asked for it: clearing or stopping that answer leaves the start going, and the start then
// reports its own outcome. Only a stop of the model, leaving the local model, a benchmark and the
// shutdown end it.
struct AssistantConversationController::ModelStart {
    enum class Outcome { pending, ready, cancelled, failed };
    AssistantDownloadableModel model;
    CancelFlag cancel;
    // The answer that asked for the start: while it is not cancelled, it reports the outcome.
    std::optional<CancelFlag> answer;
    Outcome outcome = Outcome::pending;
    std::string error;
    // The answer suspended on the start, and the key of the waker that lets its cancel end the wait.
    std::coroutine_handle<> waiting;
    std::uint64_t wakeKey = 0;
};

// `co_await` on a start: resumes when the start ends, or (through the event loop) as soon as the
// awaiting answer is cancelled, without ending the start.
class AssistantConversationController::ModelStartWait {
public:
    explicit ModelStartWait(std::shared_ptr<ModelStart> start) : start_(std::move(start)) {}
    bool await_ready() const
    {
        return start_->outcome != ModelStart::Outcome::pending || start_->answer->isCancelled();
    }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        start_->waiting = awaiting;
        const std::weak_ptr<ModelStart> weak = start_;
        start_->wakeKey = start_->answer->onCancel([weak] {
            if (auto start = weak.lock(); start && start->waiting)
                detail::resumeOnMain(std::exchange(start->waiting, std::coroutine_handle<>{}));
        });
    }
    void await_resume() const {}

private:
    std::shared_ptr<ModelStart> start_;
};

struct AssistantConversationController::Request {
    std::string question;
    Uuid requestID;
    Uuid responseID;
    std::optional<AIBenchmarkSession> session;
    AISystemProfile system;
    std::shared_ptr<const std::vector<AIBenchmarkSession>> history;
    AIAssistantConversationContext context;
    AIAssistantProvider provider = AIAssistantProvider::olvaneExpert;
    bool explicitText = false;
    std::string endpoint;
    std::string model;
    bool managedEndpoint = false;
    std::optional<AssistantDownloadableModel> selectedModel;
    std::vector<AIAssistantMessage> conversation;
    double startedAt = 0;
};

const std::string& AssistantConversationController::welcomeText()
{
    static const std::string text =
        "Hello. I am Korvalen AI Assistant. Olvane Expert 2 specializes in benchmark analysis, while the optional "
        "Local LLM is a general-purpose private chat that can discuss any topic.\n\n"
        "For benchmark questions I can use the current run, compare CPU and GPU, inspect memory and stability, and "
        "compare saved sessions. With Local LLM selected, you can also ask normal questions about technology, code, "
        "writing, general knowledge, or anything else.\n\n"
        "Start with “Analyze my result”, “Compare CPU and GPU”, or simply ask the Local LLM any question.";
    return text;
}

AssistantConversationController::AssistantConversationController(Services services, QObject* parent)
    : QObject(parent), services_(std::move(services))
{
    if (!services_.clock) services_.clock = [] { return now(); };
    if (!services_.expert) services_.expert = AIAssistantEngine::respond;
    auto& store = services_.store;
    if (!store.runIsBusy) store.runIsBusy = [] { return false; };
    if (!store.currentSession) store.currentSession = [] { return std::optional<AIBenchmarkSession>{}; };
    if (!store.history) store.history = [] { return std::make_shared<const std::vector<AIBenchmarkSession>>(); };
    if (!store.systemProfile) store.systemProfile = [] { return AISystemProfile{}; };
    if (!store.applicationIsTerminating) store.applicationIsTerminating = [] { return false; };

    const Settings& settings = services_.settings;
    if (auto stored = settings.stringValue(Settings::Key::assistantProvider))
        provider_ = fromRaw<AIAssistantProvider>(stored->toStdString()).value_or(AIAssistantProvider::olvaneExpert);
    if (auto stored = settings.stringValue(Settings::Key::assistantEndpoint)) localEndpoint_ = stored->toStdString();
    if (auto stored = settings.stringValue(Settings::Key::assistantModel)) localModel_ = stored->toStdString();
    messages_.push_back(welcomeMessage());
    if (services_.modelManager) {
        // At launch the status is what choosing the remembered provider shows. Read, not chosen: a
        // launch writes, starts and stops nothing.
        status_ = providerStatus();
        connect(services_.modelManager, &AssistantModelManager::engineEnded, this,
                &AssistantConversationController::engineEnded);
    }
}

AssistantConversationController::~AssistantConversationController()
{
    if (answerTask_) answerTask_->cancel();
    if (expertTask_) expertTask_->cancel();
    if (modelStart_) modelStart_->cancel.cancel();
}

AIAssistantMessage AssistantConversationController::welcomeMessage() const
{
    return AIAssistantMessage{Uuid::random(), AIAssistantRole::assistant, welcomeText(), services_.clock()};
}

void AssistantConversationController::setDraft(const std::string& text)
{
    draft_ = text;
    emit draftChanged();
}

void AssistantConversationController::setStatus(const QString& text)
{
    status_ = text;
    emit statusChanged(text);
}

void AssistantConversationController::setResponding(bool responding)
{
    responding_ = responding;
    emit respondingChanged(responding);
}

void AssistantConversationController::setPaused(bool paused)
{
    pausedForBenchmark_ = paused;
    emit statusChanged(status_);
}

void AssistantConversationController::setProvider(AIAssistantProvider provider)
{
    provider_ = provider;
    services_.settings.setString(Settings::Key::assistantProvider, qs(std::string(rawValue(provider))));
    if (provider != AIAssistantProvider::localModel) {
        modelManager().advanceServerStartGeneration();
        modelManager().stopServerProcess(std::nullopt);
    }
    emit providerChanged(provider);
}

void AssistantConversationController::setLocalEndpoint(const std::string& endpoint)
{
    localEndpoint_ = endpoint;
    services_.settings.setString(Settings::Key::assistantEndpoint, qs(endpoint));
    emit localSettingsChanged();
}

void AssistantConversationController::setLocalModel(const std::string& model)
{
    localModel_ = model;
    services_.settings.setString(Settings::Key::assistantModel, qs(model));
    emit localSettingsChanged();
}

void AssistantConversationController::setExportLocationChooser(
    std::function<std::optional<QString>(const QString&)> choose)
{
    services_.chooseExportLocation = std::move(choose);
}

bool AssistantConversationController::terminating() const
{
    return services_.store.applicationIsTerminating();
}

std::string AssistantConversationController::managedEndpoint() const
{
    return modelManager().managedEndpoint();
}

void AssistantConversationController::removeMessage(const Uuid& id)
{
    std::erase_if(messages_, [&](const AIAssistantMessage& m) { return m.id == id; });
}

void AssistantConversationController::removeTrailingEmptyAnswer()
{
    if (!messages_.empty() && messages_.back().role == AIAssistantRole::assistant && messages_.back().text.empty())
        messages_.pop_back();
}

void AssistantConversationController::cancelAnswer()
{
    if (answerTask_) answerTask_->cancel();
    if (expertTask_) expertTask_->cancel();
    answerTask_.reset();
    expertTask_.reset();
}

void AssistantConversationController::cancelModelStart()
{
    if (modelStart_) modelStart_->cancel.cancel();
    modelStart_.reset();
}

bool AssistantConversationController::isManagedEndpoint(const std::string& text, std::uint16_t port)
{
    QString value = qs(text).trimmed();
    if (!value.contains("://")) value.prepend("http://");
    const QUrl url(value, QUrl::StrictMode);
    if (!url.isValid()) return false;
    if (url.scheme().toLower() != "http") return false;
    const QString host = url.host().toLower();
    if (host != "127.0.0.1" && host != "localhost" && host != "::1") return false;
    if (url.port(-1) != port) return false;
    QString path = url.path();
    while (path.startsWith('/')) path.remove(0, 1);
    while (path.endsWith('/')) path.chop(1);
    return path.isEmpty() || path == "v1" || path == "v1/chat/completions";
}

void AssistantConversationController::sendMessage(std::optional<std::string> text)
{
    const bool explicitText = text.has_value();
    const std::string question = trimmed(text.value_or(draft_));
    if (question.empty()) return;
    if (services_.store.runIsBusy()) {
        setStatus(pausedStatus);
        setPaused(true);
        return;
    }
    AssistantModelManager& manager = modelManager();
    if (provider_ == AIAssistantProvider::localModel && manager.isBusy()) {
        setStatus("Finish or pause Local AI setup before sending a local-model request");
        return;
    }

    cancelAnswer();
    // The superseded question's answer never came: its empty placeholder goes.
    bool removed = false;
    if (responseID_) {
        auto it = std::find_if(messages_.begin(), messages_.end(),
                               [&](const AIAssistantMessage& m) { return m.id == *responseID_; });
        if (it != messages_.end() && it->text.empty()) {
            messages_.erase(it);
            removed = true;
        }
    }
    if (!removed) removeTrailingEmptyAnswer();

    responseID_.reset();
    const Uuid requestID = Uuid::random();
    const Uuid responseID = Uuid::random();
    requestID_ = requestID;
    responseID_ = responseID;
    const double startedAt = uptimeSeconds();

    const Date now = services_.clock();
    messages_.push_back(AIAssistantMessage{requestID, AIAssistantRole::user, question, now});
    messages_.push_back(AIAssistantMessage{responseID, AIAssistantRole::assistant, "", now});
    if (messages_.size() > static_cast<std::size_t>(messageLimit))
        messages_.erase(messages_.begin(), messages_.end() - messageLimit);
    emit messagesChanged();

    setDraft("");
    setResponding(true);
    pausedForBenchmark_ = false;
    setStatus(provider_ == AIAssistantProvider::localModel ? "Contacting local model" : "Analyzing benchmark evidence");

    auto request = std::make_shared<Request>();
    request->question = question;
    request->requestID = requestID;
    request->responseID = responseID;
    request->session = services_.store.currentSession();
    request->system = services_.store.systemProfile();
    request->history = services_.store.history();
    request->context = context_;
    request->provider = provider_;
    request->explicitText = explicitText;
    request->endpoint = manager.engineRunning() ? managedEndpoint() : localEndpoint_;
    request->model = localModel_;
    if (manager.activeModelID())
        if (auto active = manager.model(*manager.activeModelID())) request->model = active->modelAlias;
    request->managedEndpoint = isManagedEndpoint(request->endpoint, manager.port());
    request->selectedModel = manager.selectedModel();
    const std::size_t before = messages_.size() - 1;
    const std::size_t first =
        before > static_cast<std::size_t>(localConversationLimit) ? before - localConversationLimit : 0;
    request->conversation.assign(messages_.begin() + static_cast<std::ptrdiff_t>(first),
                                 messages_.begin() + static_cast<std::ptrdiff_t>(before));
    request->startedAt = startedAt;

    KorvalenAILogger::info(
        "ASSISTANT_REQUEST id=" + requestID.text() + " provider=" + std::string(rawValue(provider_)) +
        " prompt_chars=" + std::to_string(UserPerceivedCharacters::count(question)) +
        " conversation_messages=" + std::to_string(request->conversation.size()) +
        " current_results=" + std::to_string(request->session ? request->session->results.size() : 0) +
        " history_sessions=" + std::to_string(request->history->size()));

    CancelFlag cancel;
    answerTask_ = cancel;
    answer(QPointer<AssistantConversationController>(this), request, cancel).detach();
}

bool AssistantConversationController::isCurrent(const Request& request, const CancelFlag& cancel) const
{
    return !cancel.isCancelled() && requestID_ == request.requestID;
}

Task<> AssistantConversationController::answer(QPointer<AssistantConversationController> self,
                                               std::shared_ptr<const Request> request, CancelFlag cancel)
{
    if (!self || !self->isCurrent(*request, cancel)) co_return;

    // The expert always answers first, on a worker; a cancelled answer cancels it too.
    CancelFlag expertCancel;
    self->expertTask_ = expertCancel;
    const std::uint64_t forward = cancel.onCancel([expertCancel] { expertCancel.cancel(); });
    auto expertWork = [request, expertCancel, respond = self->services_.expert] {
        return respond(request->question, request->session, request->system, *request->history, request->context,
                       [expertCancel] { return expertCancel.isCancelled(); });
    };
    std::optional<AIAssistantResponse> expert;
    try {
        expert = co_await runDetached(expertWork);
    } catch (const std::exception& e) {
        KorvalenAILogger::error(std::string("ASSISTANT_EXPERT_ERROR error=") + e.what());
    }
    cancel.forget(forward);
    if (!self || !self->isCurrent(*request, cancel)) co_return;
    self->expertTask_.reset();
    if (!expert) {
        // Only a failure of the expert itself gets here while the request is current. No answer
        // will fill the placeholder: an empty bubble must not stay behind.
        if (!expertCancel.isCancelled()) {
            self->answerTask_.reset();
            self->requestID_.reset();
            self->removeMessage(request->responseID);
            self->responseID_.reset();
            emit self->messagesChanged();
            self->setResponding(false);
            self->setStatus("Olvane Expert 2 could not answer");
        }
        co_return;
    }

    if (request->provider == AIAssistantProvider::olvaneExpert) {
        self->finish(*request, *expert);
        co_return;
    }

    const bool evidence = request->explicitText || AIAssistantEngine::promptUsesBenchmarkEvidence(
                                                       request->question, expert->intent, request->context.lastIntent);
    std::string endpoint = request->endpoint;
    std::string model = request->model;
    std::string failure;
    std::optional<LocalAnswer> localAnswer;
    try {
        AssistantModelManager& manager = self->modelManager();
        bool managed = manager.engineRunning();
        const auto& selected = request->selectedModel;
        if (!managed && request->managedEndpoint && selected && manager.engineInstalled() &&
            manager.state(selected->id).isInstalled()) {
            self->setStatus("Starting " + qs(selected->displayName));
            KorvalenAILogger::info("ASSISTANT_ENGINE_AUTOSTART model=" + selected->id + " reason=chat-request");
            const std::shared_ptr<ModelStart> start = self->beginModelStart(*selected, cancel);
            ModelStartWait wait(start);
            co_await wait;
            if (!self || !self->isCurrent(*request, cancel)) co_return;
            if (start->outcome == ModelStart::Outcome::failed) throw ModelManagerError(start->error);
            if (start->outcome != ModelStart::Outcome::ready) throw LocalTaskCancelled();
            self->setStatus("Contacting local model");
            endpoint = self->managedEndpoint();
            model = selected->modelAlias;
            managed = true;
        }
        std::vector<LocalChatTurn> turns;
        for (const auto& m : request->conversation)
            turns.push_back(LocalChatTurn{std::string(rawValue(m.role)), m.text});
        const std::string system = AIAssistantEngine::localModelContext(request->session, request->system,
                                                                        *request->history, expert->text, evidence);
        // The call is made outside the co_await expression: its by-value arguments must not be
        // temporaries of that expression (GCC 12 destroys those twice).
        Task<LocalAnswer> call = AIAssistantLocalClient::generate(endpoint, model, request->question, turns, system,
                                                                  managed, evidence, cancel);
        localAnswer = co_await std::move(call);
    } catch (const LocalTaskCancelled&) {
        // Our own cancellation, or a newer question: nothing to show. But a start that the user's
        // stop ended while this question waited on it is a local failure like any other.
        if (!self || !self->isCurrent(*request, cancel)) co_return;
        failure = stoppedWhileStarting;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!self) co_return;

    if (localAnswer) {
        if (!self->isCurrent(*request, cancel)) co_return;
        AIAssistantResponse response = *expert;
        const std::string local = trimmed(localAnswer->text);
        if (!local.empty()) {
            response.text = local;
            if (localAnswer->cutAtLengthLimit) response.text += "\n\n" + lengthLimitNotice(expert->language);
            response.engine = "Local LLM";
            response.fallbackUsed = false;
            response.confidence = std::max(0.9, expert->confidence);
        }
        self->finish(*request, response);
        co_return;
    }

    // The failure of a request that the application's shutdown cut short is nobody's news.
    if (self->modelManager().isShuttingDown()) co_return;
    if (!self->isCurrent(*request, cancel)) co_return;
    const bool portuguese = expert->language == AIAssistantLanguage::portuguese;
    AIAssistantResponse response = *expert;
    response.fallbackUsed = true;
    if (evidence) {
        response.text =
            (portuguese
                 ? "O modelo local não respondeu e a Olvane Expert 2 assumiu automaticamente.\nMotivo técnico: "
                 : "The local model did not respond, so Olvane Expert 2 took over automatically.\nTechnical reason: ") +
            failure + "\n\n" + expert->text;
        response.engine = "Olvane Expert 2 fallback";
    } else {
        response.text =
            (portuguese
                 ? "O modelo local não conseguiu concluir esta resposta. Tente enviar novamente.\nMotivo técnico: "
                 : "The local model could not complete this response. Please try sending it again.\nTechnical "
                   "reason: ") +
            failure + "\n\n" +
            (portuguese ? "A Olvane Expert 2 não substituiu a resposta porque esta é uma conversa geral, não uma "
                          "análise de benchmark."
                        : "Olvane Expert 2 did not replace the answer because this is a general conversation, not a "
                          "benchmark analysis.");
        response.engine = "Local LLM error";
    }
    KorvalenAILogger::error("ASSISTANT_LOCAL_MODEL_ERROR id=" + request->requestID.text() + " error=" + failure);
    self->finish(*request, response);
}

void AssistantConversationController::finish(const Request& request, const AIAssistantResponse& response)
{
    context_ = AIAssistantConversationContext{
        response.language,
        response.intent,
        response.workloadID ? response.workloadID : request.context.lastWorkloadID,
        response.backend ? response.backend : request.context.lastBackend,
        request.question,
    };
    setStatus("Generating response");
    for (auto& message : messages_) {
        if (message.id == request.responseID) {
            message.text = response.text;
            emit messagesChanged();
            break;
        }
    }
    setResponding(false);
    setStatus(qs(response.engine + " ready"));
    answerTask_.reset();
    requestID_.reset();
    responseID_.reset();

    const double durationMS = (uptimeSeconds() - request.startedAt) * 1000.0;
    KorvalenAILogger::info("ASSISTANT_RESPONSE id=" + request.requestID.text() + " engine=" + response.engine +
                           " intent=" + std::string(rawValue(response.intent)) +
                           " language=" + std::string(rawValue(response.language)) +
                           " confidence=" + formatFixed(response.confidence, 3) +
                           " fallback=" + (response.fallbackUsed ? "true" : "false") +
                           " response_chars=" + std::to_string(UserPerceivedCharacters::count(response.text)) +
                           " duration_ms=" + formatFixed(durationMS, 2) +
                           " workload=" + (response.workloadID ? std::string(rawValue(*response.workloadID)) : "none") +
                           " backend=" + (response.backend ? std::string(rawValue(*response.backend)) : "none"));
}

QString AssistantConversationController::providerStatus() const
{
    AssistantModelManager& manager = modelManager();
    const auto selected = manager.selectedModel();
    if (provider_ == AIAssistantProvider::olvaneExpert) return expertReady;
    if (manager.engineRunning() && selected) return qs(selected->displayName + " ready");
    if (!selected) return "Select an installed local model";
    if (manager.engineInstalled()) return qs(selected->displayName + " selected — start Local AI");
    return qs(selected->displayName + " selected — install llama.cpp engine");
}

void AssistantConversationController::selectProvider(AIAssistantProvider provider)
{
    if (services_.store.runIsBusy() || responding_) return;
    setProvider(provider);
    setStatus(providerStatus());
    KorvalenAILogger::info("ASSISTANT_PROVIDER_SELECTED provider=" + std::string(rawValue(provider)));
}

void AssistantConversationController::selectManagedModel(const AssistantDownloadableModel& model)
{
    if (services_.store.runIsBusy() || responding_) return;
    AssistantModelManager& manager = modelManager();
    manager.select(model);
    if (manager.selectedModelID() != model.id) return;
    setProvider(AIAssistantProvider::localModel);
    setLocalEndpoint(managedEndpoint());
    setLocalModel(model.modelAlias);
    setStatus(qs(model.displayName +
                 (manager.engineInstalled() ? " selected — start Local AI" : " selected — install llama.cpp engine")));
}

void AssistantConversationController::installEngineForManagedModel(const AssistantDownloadableModel& model)
{
    selectManagedModel(model);
    if (modelManager().selectedModelID() != model.id) return;
    setStatus(qs("Downloading llama.cpp engine for " + model.displayName));
    modelManager().installEngine();
    // This build downloads nothing: what the look-up found is the news.
    setStatus(modelManager().statusText());
}

void AssistantConversationController::startManagedModel(const AssistantDownloadableModel& model)
{
    AssistantModelManager& manager = modelManager();
    if (terminating() || manager.isShuttingDown() || services_.store.runIsBusy() || responding_ || manager.isBusy())
        return;
    manager.select(model);
    if (manager.selectedModelID() != model.id) return;
    setProvider(AIAssistantProvider::localModel);
    setStatus("Starting downloaded local model");
    beginModelStart(model, std::nullopt);
}

std::shared_ptr<AssistantConversationController::ModelStart> AssistantConversationController::beginModelStart(
    const AssistantDownloadableModel& model, std::optional<CancelFlag> answer)
{
    cancelModelStart();
    auto start = std::make_shared<ModelStart>();
    start->model = model;
    start->answer = std::move(answer);
    modelStart_ = start;
    // Detached, yet it ends with us: the destructor sets its flag, every wait of the manager's start
    // ends soon after that by itself (the manager's own end does the same), and the frame then
    // runs to its end without touching a controller or manager that is gone.
    startModel(QPointer<AssistantConversationController>(this), start).detach();
    return start;
}

Task<> AssistantConversationController::startModel(QPointer<AssistantConversationController> self,
                                                   std::shared_ptr<ModelStart> start)
{
    using Outcome = ModelStart::Outcome;
    try {
        Task<> server = self->modelManager().startServer(start->model, start->cancel);
        co_await std::move(server);
        start->outcome = Outcome::ready;
    } catch (const LocalTaskCancelled&) {
        start->outcome = Outcome::cancelled;
    } catch (const std::exception& e) {
        start->outcome = Outcome::failed;
        start->error = e.what();
    }
    if (self) {
        const bool current = self->modelStart_ == start;
        // An answer still waiting for the start shows the outcome itself.
        const bool answered = start->answer && !start->answer->isCancelled();
        AssistantModelManager& manager = self->modelManager();
        if (start->outcome == Outcome::ready) {
            const bool accepted = !start->cancel.isCancelled() && current && !self->services_.store.runIsBusy() &&
                                  !self->terminating() && !manager.isShuttingDown();
            if (accepted) {
                self->setProvider(AIAssistantProvider::localModel);
                self->setLocalEndpoint(self->managedEndpoint());
                self->setLocalModel(start->model.modelAlias);
                if (!answered) self->setStatus(qs(start->model.displayName + " ready"));
            } else {
                start->outcome = Outcome::cancelled;
                if (current) {
                    // Came up for a request that no longer wants it (a run, a quit): it must not stay.
                    manager.advanceServerStartGeneration();
                    manager.stopServerProcess(std::nullopt);
                }
            }
        } else if (start->outcome == Outcome::failed && current && !answered) {
            self->setStatus(qs(start->error));
            KorvalenAILogger::error("ASSISTANT_MANAGED_MODEL_START_ERROR model=" + start->model.id +
                                    " error=" + start->error);
        }
        if (self->modelStart_ == start) self->modelStart_.reset();
    }
    if (start->waiting) {
        start->answer->forget(start->wakeKey);
        std::exchange(start->waiting, std::coroutine_handle<>{}).resume();
    }
}

void AssistantConversationController::engineEnded()
{
    // A "ready" that outlived the engine would promise answers nobody gives. An answer under way
    // reports the failure itself, and the next question starts the engine again.
    if (provider_ == AIAssistantProvider::localModel && !responding_) setStatus("Local model stopped");
}

void AssistantConversationController::stopManagedModel()
{
    cancelModelStart();
    modelManager().advanceServerStartGeneration();
    modelManager().stopServerProcess(std::nullopt);
    setStatus("Local model stopped");
}

void AssistantConversationController::stopResponse()
{
    requestID_.reset();
    cancelAnswer();
    if (responseID_) {
        auto it = std::find_if(messages_.begin(), messages_.end(),
                               [&](const AIAssistantMessage& m) { return m.id == *responseID_; });
        if (it != messages_.end() && it->text.empty()) messages_.erase(it);
        responseID_.reset();
    }
    setResponding(false);
    setStatus("Response stopped");
    removeTrailingEmptyAnswer();
    emit messagesChanged();
    KorvalenAILogger::info("ASSISTANT_RESPONSE_STOPPED");
}

void AssistantConversationController::clearConversation()
{
    requestID_.reset();
    cancelAnswer();
    responseID_.reset();
    setResponding(false);
    pausedForBenchmark_ = false;

    AssistantModelManager& manager = modelManager();
    const auto selected = manager.selectedModel();
    if (provider_ == AIAssistantProvider::olvaneExpert)
        setStatus(expertReady);
    else if (modelStart_)
        // The start goes on; the status says so until it ends.
        setStatus(qs("Starting " + modelStart_->model.displayName));
    else if (manager.engineRunning() && selected)
        setStatus(qs(selected->displayName + " ready"));
    else if (!selected)
        setStatus("Select an installed local model");
    else if (manager.engineInstalled())
        setStatus(qs(selected->displayName + " selected — Local AI starts automatically when you send a message"));
    else
        setStatus(qs(selected->displayName + " selected — install llama.cpp engine"));

    setDraft("");
    context_ = AIAssistantConversationContext{};
    messages_ = {welcomeMessage()};
    emit messagesChanged();
    KorvalenAILogger::info("ASSISTANT_CONVERSATION_CLEARED");
}

std::string AssistantConversationController::exportText(const std::vector<AIAssistantMessage>& messages,
                                                        const AISystemProfile& system)
{
    std::string text =
        "Korvalen AI Assistant\nModel: " + system.modelIdentifier + "\nVersion: " + system.appVersion + "\n\n";
    const QLocale locale = QLocale::system();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const AIAssistantMessage& m = messages[i];
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(m.createdAt.time_since_epoch()).count();
        const QString when = locale.toString(QDateTime::fromMSecsSinceEpoch(ms), QLocale::ShortFormat);
        if (i > 0) text += "\n\n";
        text.append("[").append(when.toStdString()).append("] ");
        text.append(m.role == AIAssistantRole::user ? "User" : "Korvalen AI Assistant").append("\n").append(m.text);
    }
    return text + "\n";
}

QString AssistantConversationController::exportFileName(Date when)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    return "Korvalen-AI-Assistant-" + QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd_HH-mm-ss") + ".txt";
}

void AssistantConversationController::exportConversation()
{
    if (!services_.chooseExportLocation) return;
    const std::optional<QString> path = services_.chooseExportLocation(exportFileName(services_.clock()));
    if (!path || path->isEmpty()) return;
    const std::string text = exportText(messages_, services_.store.systemProfile());
    QSaveFile file(*path);
    QString error;
    if (!file.open(QIODevice::WriteOnly))
        error = file.errorString();
    else if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()))
        error = file.errorString();
    if (error.isEmpty() && !file.commit()) error = file.errorString();
    if (!error.isEmpty()) {
        file.cancelWriting();
        setStatus("Export failed: " + error);
        KorvalenAILogger::error("ASSISTANT_EXPORT_ERROR error=" + error.toStdString());
        return;
    }
    setStatus("Conversation exported");
    KorvalenAILogger::info("ASSISTANT_CONVERSATION_EXPORTED messages=" + std::to_string(messages_.size()));
}

bool AssistantConversationController::pauseForBenchmark()
{
    cancelAnswer();
    cancelModelStart();
    requestID_.reset();
    // An answer that will never come leaves no empty bubble behind during the run.
    if (responseID_) {
        auto it = std::find_if(messages_.begin(), messages_.end(),
                               [&](const AIAssistantMessage& m) { return m.id == *responseID_; });
        if (it != messages_.end() && it->text.empty()) {
            messages_.erase(it);
            emit messagesChanged();
        }
    }
    responseID_.reset();
    setResponding(false);

    AssistantModelManager& manager = modelManager();
    if (manager.engineRunning() && manager.activeModelID())
        modelRunningBeforeBenchmark_ = manager.model(*manager.activeModelID());
    manager.advanceServerStartGeneration();
    manager.stopServerProcess(std::nullopt);
    const bool stopped = !manager.engineRunning();
    setPaused(stopped);
    setStatus(stopped ? pausedStatus : engineBlockedStatus);
    KorvalenAILogger::info(std::string("ASSISTANT_PAUSED_FOR_BENCHMARK engine_stopped=") +
                           (stopped ? "true" : "false"));
    return stopped;
}

void AssistantConversationController::benchmarkBlockedByEngine()
{
    modelRunningBeforeBenchmark_.reset();
    setPaused(false);
    setStatus(engineBlockedStatus);
}

void AssistantConversationController::resumeAfterBenchmark()
{
    // The run is over: a status that still says it is in progress would be wrong.
    if (pausedForBenchmark_) {
        pausedForBenchmark_ = false;
        setStatus(providerStatus());
    }
    std::optional<AssistantDownloadableModel> model = std::exchange(modelRunningBeforeBenchmark_, std::nullopt);
    if (model && !terminating()) startManagedModel(*model);
}

}  // namespace korvalen
