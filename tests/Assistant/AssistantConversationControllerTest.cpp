#include "Assistant/AssistantConversationController.h"

#include "Assistant/Expert/AIAssistantEngine.h"
#include "LocalModel/AIAssistantLocalClient.h"
#include "QuickManagerOptions.h"
#include "StandInLlamaServer.h"
#include "support/LogCapture.h"
#include "support/QtTestApp.h"
#include "support/SessionBuilders.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <regex>

namespace korvalen {
namespace {

using test::processEventsUntil;
using test::StandInLlamaServer;

const std::string analyzePrompt =
    "Analyze my latest benchmark result in depth. Identify strengths, bottlenecks, anomalies, and certification "
    "issues.";

class ConversationTest : public ::testing::Test {
public:
    void SetUp() override
    {
        test::qtApp(true);  // the views' tests share this program
        settings = Settings(data.filePath("settings.ini"));
        AIAssistantLocalClient::options().retryDelay = std::chrono::milliseconds(5);
        session = testing::sampleSession(5);
        system = testing::comparableSystem();
        system.modelIdentifier = "Test-Machine";
        system.appVersion = "1.0.0";
    }

    // The manager and the controller, made once the test has arranged its files and settings.
    AssistantConversationController& make()
    {
        settings.setString(Settings::Key::customLlamaServerPath,
                           engineFound ? QString(KORVALEN_STAND_IN_LLAMA_SERVER) : data.filePath("no-engine"));
        AssistantModelManager::Options options = test::quickManagerOptions(data.path(), settings);
        options.startDeadline = startDeadline;
        controller.reset();
        manager = std::make_unique<AssistantModelManager>(options);
        AssistantConversationController::Services services;
        services.store.runIsBusy = [this] { return runBusy; };
        services.store.currentSession = [this] { return std::optional<AIBenchmarkSession>(session); };
        services.store.systemProfile = [this] { return system; };
        services.store.applicationIsTerminating = [this] { return terminating; };
        services.settings = settings;
        services.modelManager = manager.get();
        services.clock = [this] { return fixedTime.value_or(now()); };
        services.expert = expert;
        services.chooseExportLocation = [this](const QString& name) {
            proposedName = name;
            return exportPath;
        };
        controller = std::make_unique<AssistantConversationController>(services);
        return *controller;
    }

    void useLocalModel(const QString& endpoint)
    {
        controller->setProvider(AIAssistantProvider::localModel);
        controller->setLocalEndpoint(endpoint.toStdString());
    }

    AssistantDownloadableModel installModel()
    {
        const auto model = AssistantModelManager::standardCatalog()[0];
        QDir().mkpath(data.filePath("Models"));
        QFile file(data.filePath("Models/" + QString::fromStdString(model.fileName)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("GGUF\x03");
        return model;
    }

    bool idle()
    {
        return processEventsUntil([&] { return !controller->hasPendingAnswer() && !controller->isResponding(); });
    }

    std::string expertText(const std::string& question, AIAssistantConversationContext context = {})
    {
        return AIAssistantEngine::respond(question, session, system, {}, context, [] { return false; })->text;
    }

    const AIAssistantMessage& last() const { return controller->messages().back(); }

    QTemporaryDir data;
    Settings settings{QString()};
    std::unique_ptr<AssistantModelManager> manager;
    std::unique_ptr<AssistantConversationController> controller;
    AIBenchmarkSession session;
    AISystemProfile system;
    bool runBusy = false;
    bool terminating = false;
    bool engineFound = true;
    std::chrono::milliseconds startDeadline{180'000};
    std::function<decltype(AIAssistantEngine::respond)> expert;
    std::optional<QString> exportPath;
    QString proposedName;
    std::optional<Date> fixedTime;
    testing::LogCapture log;
};

TEST_F(ConversationTest, TheExpertAnswersInPlaceOfThePlaceholder)
{
    auto& c = make();
    c.setDraft("  Analyze my result  ");
    c.sendMessage();
    EXPECT_EQ(c.draft(), "");
    EXPECT_TRUE(c.isResponding());
    EXPECT_EQ(c.status(), "Analyzing benchmark evidence");
    ASSERT_EQ(c.messages().size(), 3u);
    EXPECT_EQ(c.messages()[1].text, "Analyze my result");
    EXPECT_EQ(last().text, "") << "the placeholder holds the answer's place";
    ASSERT_TRUE(idle());

    EXPECT_EQ(last().text, expertText("Analyze my result"));
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");
    EXPECT_EQ(c.context().lastIntent, AIAssistantIntent::analyze);
    EXPECT_EQ(c.context().lastQuestion, "Analyze my result");
    const auto lines =
        log.events("ASSISTANT_RESPONSE id=" + c.messages()[1].id.text() + " engine=Olvane Expert 2 intent=analyze");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" fallback=false "), std::string::npos);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(" duration_ms=[0-9]+\\.[0-9]{2} "))) << lines[0];
    EXPECT_EQ(log.events("ASSISTANT_REQUEST id=").size(), 1u);

    c.stopResponse();
    EXPECT_EQ(c.status(), "Response stopped");
    c.clearConversation();
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");
}

TEST_F(ConversationTest, RefusedSendsChangeOnlyTheStatus)
{
    auto& c = make();
    c.setDraft(" \n\t ");
    c.sendMessage();
    EXPECT_EQ(c.draft(), " \n\t ");
    EXPECT_EQ(c.messages().size(), 1u);

    c.setDraft("Compare CPU and GPU");
    runBusy = true;
    c.sendMessage();
    EXPECT_EQ(c.status(), "AI Assistant paused — official benchmark in progress");
    EXPECT_TRUE(c.pausedForBenchmark());
    EXPECT_EQ(c.draft(), "Compare CPU and GPU");
    EXPECT_EQ(c.messages().size(), 1u);
    runBusy = false;

    // A quick action sends its own text and empties the draft all the same.
    c.sendMessage(analyzePrompt);
    EXPECT_EQ(c.draft(), "");
    EXPECT_FALSE(c.pausedForBenchmark());
    ASSERT_TRUE(idle());
}

TEST_F(ConversationTest, ASupersededQuestionLeavesNoOutput)
{
    auto& c = make();
    c.sendMessage(std::string("Analyze my result"));
    const Uuid first = c.messages()[1].id;
    c.sendMessage(std::string("How much memory did it use?"));
    ASSERT_TRUE(idle());
    processEventsUntil([] { return false; }, std::chrono::milliseconds(50));

    ASSERT_EQ(c.messages().size(), 4u) << "the first placeholder went away";
    EXPECT_EQ(c.messages()[1].text, "Analyze my result");
    EXPECT_EQ(c.messages()[2].text, "How much memory did it use?");
    EXPECT_EQ(last().text, expertText("How much memory did it use?"));
    EXPECT_TRUE(log.events("ASSISTANT_RESPONSE id=" + first.text()).empty());
    EXPECT_EQ(log.events("ASSISTANT_RESPONSE").size(), 1u);
}

// A new question ends the local request still under way: the server is not left working on it.
TEST_F(ConversationTest, ANewQuestionCancelsTheRequestUnderWay)
{
    StandInLlamaServer server;
    ASSERT_TRUE(server.listen());
    server.behaviour.answerDelayMs = 60'000;
    auto& c = make();
    useLocalModel(server.endpoint());
    c.sendMessage(std::string("Tell me a story"));
    ASSERT_TRUE(processEventsUntil([&] { return server.chatRequestCount() == 1; }));
    c.sendMessage(std::string("Tell me another one"));
    EXPECT_TRUE(
        processEventsUntil([&] { return server.chatRequestCount() == 2 && server.openConnectionCount() == 1; }));
    c.stopResponse();
}

// An answer that arrives once a newer question was asked, or once the conversation is gone, changes
// nothing. The first question's expert is held until the test lets it answer.
TEST_F(ConversationTest, ALateAnswerChangesNothing)
{
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    StandInLlamaServer server;
    ASSERT_TRUE(server.listen());
    struct Case {
        const char* name;
        bool local;             // held in the local request rather than in the expert
        bool newer;             // else the conversation goes
        bool arriving = false;  // the local answer arrives a byte at a time, never whole before the end
    };
    for (const Case k : {Case{"expert, newer question", false, true}, Case{"expert, conversation gone", false, false},
                         Case{"local request, conversation gone", true, false},
                         Case{"local answer arriving, conversation gone", true, false, true}}) {
        SCOPED_TRACE(k.name);
        server.behaviour.answerDelayMs = k.arriving ? 0 : 60'000;
        server.behaviour.answer = k.arriving ? StandInLlamaServer::Answer::trickle : StandInLlamaServer::Answer::normal;
        server.behaviour.trickleIntervalMs = 20;
        auto gate = std::make_shared<Gate>();
        expert = [gate, hold = !k.local](const std::string& question, const auto& session, const auto& system,
                                         const auto& history, const auto& context, const auto&) {
            if (hold && question == "Analyze my result") {
                std::unique_lock lock(gate->mutex);
                gate->opened.wait(lock, [&] { return gate->open; });
            }
            // Answers whatever became of its question.
            return AIAssistantEngine::respond(question, session, system, history, context, [] { return false; });
        };
        auto& c = make();
        if (k.local) useLocalModel(server.endpoint());
        const long held = gate.use_count();
        c.sendMessage(std::string("Analyze my result"));
        const Uuid first = c.messages()[1].id;
        if (k.local) {
            ASSERT_TRUE(processEventsUntil([&] { return server.chatRequestCount() > 0; }));
        }
        if (k.newer) {
            c.sendMessage(std::string("How much memory did it use?"));
            ASSERT_TRUE(idle());
        } else {
            controller.reset();
        }
        {
            std::lock_guard lock(gate->mutex);
            gate->open = true;
        }
        gate->opened.notify_all();
        // The first question's task holds the expert until it ends; a local request is over when
        // its connection is closed.
        ASSERT_TRUE(processEventsUntil([&] { return gate.use_count() < held + 1; }));
        if (k.local) {
            ASSERT_TRUE(processEventsUntil([&] { return server.openConnectionCount() == 0; }));
            // On while more of it would have come.
            if (k.arriving) processEventsUntil([] { return false; }, std::chrono::milliseconds(200));
        }
        EXPECT_TRUE(log.events("ASSISTANT_RESPONSE id=" + first.text()).empty());
        if (k.newer) {
            ASSERT_EQ(controller->messages().size(), 4u);
            EXPECT_EQ(last().text, expertText("How much memory did it use?"));
            EXPECT_EQ(controller->context().lastQuestion, "How much memory did it use?");
        }
    }
}

TEST_F(ConversationTest, TheConversationKeepsTheNewestHundredMessages)
{
    auto& c = make();
    for (int i = 0; i < 50; ++i) {
        c.sendMessage("hello " + std::to_string(i));
        ASSERT_TRUE(idle());
    }
    ASSERT_EQ(c.messages().size(), 100u);
    EXPECT_EQ(c.messages().front().text, "hello 0") << "the welcome message is not protected";
    c.sendMessage(std::string("hello again"));
    ASSERT_TRUE(idle());
    ASSERT_EQ(c.messages().size(), 100u);
    EXPECT_EQ(c.messages().front().text, "hello 1");
}

// What the user sees for each outcome of a local request. "{expert}" stands for the expert's answer.
TEST_F(ConversationTest, LocalModelOutcomes)
{
    StandInLlamaServer server;
    ASSERT_TRUE(server.listen());
    const std::string refused = "Connection refused";
    const std::string retryEnglish =
        "The local model could not complete this response. Please try sending it again.\nTechnical reason: " + refused +
        "\n\nOlvane Expert 2 did not replace the answer because this is a general conversation, not a benchmark "
        "analysis.";
    const std::string retryPortuguese =
        "O modelo local não conseguiu concluir esta resposta. Tente enviar novamente.\nMotivo técnico: " + refused +
        "\n\nA Olvane Expert 2 não substituiu a resposta porque esta é uma conversa geral, não uma análise de "
        "benchmark.";
    const std::string takeOver =
        "The local model did not respond, so Olvane Expert 2 took over automatically.\nTechnical reason: ";
    using A = StandInLlamaServer::Answer;
    struct Case {
        const char* name;
        A answer;
        bool serverUp;
        std::string question;
        bool quickAction;  // sent as an explicit text rather than from the draft
        std::string engine;
        std::string text;
        const char* confidence;
        bool evidence;
    };
    const std::vector<Case> cases = {
        {"local answer lifts a low confidence", A::normal, true, "ok", false, "Local LLM", "Stand-in answer: ok",
         "0.900", false},
        {"local answer keeps a higher one", A::normal, true, "Compare CPU vs GPU", false, "Local LLM",
         "Stand-in answer: Compare CPU vs GPU", "0.930", false},
        {"a refusal is the model's answer", A::refusal, true, "Tell me a joke", false, "Local LLM",
         "I can't help with that.", "0.900", false},
        {"an answer cut at the length limit says so", A::lengthCut, true, "ok", false, "Local LLM",
         "Stand-in ans\n\n(The local model stopped at its length limit.)", "0.900", false},
        {"in the question's language", A::lengthCut, true, "Analise meu resultado", false, "Local LLM",
         "Stand-in ans\n\n(O modelo local parou no seu limite de comprimento.)", "0.900", true},
        {"blank local answer: the expert takes over with the reason", A::blank, true, "Analyze my result", false,
         "Olvane Expert 2 fallback", takeOver + "The local model returned an empty answer.\n\n{expert}", "0.900", true},
        {"invisible local answer: likewise", A::invisible, true, "Analyze my result", false, "Olvane Expert 2 fallback",
         takeOver + "The local model returned an empty answer.\n\n{expert}", "0.900", true},
        {"invalid answer: the expert takes over with the reason", A::html, true, "Analyze my result", false,
         "Olvane Expert 2 fallback", takeOver + "The local model returned an invalid response.\n\n{expert}", "0.900",
         true},
        {"unreachable, benchmark question", A::normal, false, "Analyze my result", false, "Olvane Expert 2 fallback",
         takeOver + refused + "\n\n{expert}", "0.900", true},
        {"unreachable, Portuguese benchmark question", A::normal, false, "Analise meu resultado", false,
         "Olvane Expert 2 fallback",
         "O modelo local não respondeu e a Olvane Expert 2 assumiu automaticamente.\nMotivo técnico: " + refused +
             "\n\n{expert}",
         "0.900", true},
        {"unreachable, small talk: retry text", A::normal, false, "Tell me a joke", false, "Local LLM error",
         retryEnglish, "0.250", false},
        {"unreachable, Portuguese greeting: retry text", A::normal, false, "Olá, como você está? Preciso de ajuda.",
         false, "Local LLM error", retryPortuguese, "0.900", false},
        {"unreachable, small talk from a quick action: always evidence", A::normal, false, "Tell me a joke", true,
         "Olvane Expert 2 fallback", takeOver + refused + "\n\n{expert}", "0.250", true},
    };
    auto& c = make();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        c.clearConversation();
        useLocalModel(k.serverUp ? server.endpoint()
                                 : "http://127.0.0.1:" + QString::number(test::freeLoopbackPort()) + "/v1");
        server.behaviour.answer = k.answer;
        const auto requests = log.events("ASSISTANT_LOCAL_REQUEST").size();
        if (k.quickAction) {
            c.sendMessage(k.question);
        } else {
            c.setDraft(k.question);
            c.sendMessage();
        }
        EXPECT_EQ(c.status(), "Contacting local model");
        ASSERT_TRUE(idle());
        std::string expected = k.text;
        if (auto at = expected.find("{expert}"); at != std::string::npos)
            expected.replace(at, 8, expertText(k.question));
        EXPECT_EQ(last().text, expected);
        EXPECT_EQ(c.status().toStdString(), k.engine + " ready");
        const auto response = log.events("ASSISTANT_RESPONSE id=" + c.messages()[1].id.text());
        ASSERT_EQ(response.size(), 1u);
        const bool fallback = k.engine == "Olvane Expert 2 fallback" || k.engine == "Local LLM error";
        EXPECT_NE(response[0].find(" engine=" + k.engine + " intent="), std::string::npos) << response[0];
        EXPECT_NE(response[0].find(std::string(" confidence=") + k.confidence +
                                   " fallback=" + (fallback ? "true" : "false") + " "),
                  std::string::npos)
            << response[0];
        const auto sent = log.events("ASSISTANT_LOCAL_REQUEST");
        ASSERT_GT(sent.size(), requests);
        EXPECT_TRUE(sent.back().starts_with(std::string("ASSISTANT_LOCAL_REQUEST benchmark_context=") +
                                            (k.evidence ? "true" : "false")))
            << sent.back();
        EXPECT_EQ(log.events("ASSISTANT_LOCAL_MODEL_ERROR id=" + c.messages()[1].id.text()).size(), fallback ? 1u : 0u);
    }
}

// The local model sees the conversation before the answer's placeholder, the question last, and at
// most the newest sixteen messages of it.
TEST_F(ConversationTest, TheLocalModelSeesTheNewestSixteenMessages)
{
    StandInLlamaServer server;
    ASSERT_TRUE(server.listen());
    auto& c = make();
    useLocalModel(server.endpoint());
    const std::vector<int> handed = {2, 4, 6, 8, 10, 12, 14, 16, 16, 16};  // the welcome message first
    for (std::size_t i = 0; i < handed.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string question = "question " + std::to_string(i);
        c.sendMessage(question);
        ASSERT_TRUE(idle());
        const auto request = log.events("ASSISTANT_REQUEST id=").back();
        EXPECT_NE(request.find(" conversation_messages=" + std::to_string(handed[i]) + " "), std::string::npos)
            << request;
        const auto messages = QJsonDocument::fromJson(server.requests().back().body).object()["messages"].toArray();
        ASSERT_EQ(messages.size(), handed[i] + 1) << "the system text, then the conversation";
        EXPECT_EQ(messages.first().toObject()["role"].toString(), "system");
        EXPECT_EQ(messages.last().toObject()["content"].toString().toStdString(), question);
        if (handed[i] == 16) {
            EXPECT_EQ(messages[1].toObject()["content"].toString().toStdString(),
                      c.messages()[c.messages().size() - 17].text);
        }
    }
}

// The application's shutdown cuts the request short: its failure is nobody's news.
TEST_F(ConversationTest, AFailureDuringShutdownIsDropped)
{
    auto& c = make();
    useLocalModel("http://127.0.0.1:" + QString::number(test::freeLoopbackPort()) + "/v1");
    c.sendMessage(std::string("Analyze my result"));
    manager->shutdown();
    ASSERT_TRUE(processEventsUntil([&] { return !log.events("ASSISTANT_LOCAL_RETRY").empty(); }));
    processEventsUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(log.events("ASSISTANT_LOCAL_MODEL_ERROR").empty());
    EXPECT_TRUE(log.events("ASSISTANT_RESPONSE").empty());
    EXPECT_EQ(last().text, "");
    EXPECT_EQ(c.status(), "Contacting local model");
}

TEST_F(ConversationTest, AManagedEndpointStartsTheSelectedModelOnDemand)
{
    const auto model = installModel();
    auto& c = make();
    c.selectManagedModel(model);
    EXPECT_EQ(c.provider(), AIAssistantProvider::localModel);
    EXPECT_EQ(c.localEndpoint(), manager->managedEndpoint());
    EXPECT_EQ(c.status().toStdString(), model.displayName + " selected — start Local AI");
    c.setProvider(AIAssistantProvider::olvaneExpert);
    c.setLocalEndpoint("http://127.0.0.1:8080/v1");
    c.installEngineForManagedModel(model);
    EXPECT_EQ(c.provider(), AIAssistantProvider::localModel) << "installing the engine binds the model too";
    EXPECT_EQ(c.localEndpoint(), manager->managedEndpoint());
    c.setLocalModel("something-else");

    std::vector<QString> statuses;
    QObject::connect(&c, &AssistantConversationController::statusChanged,
                     [&](const QString& s) { statuses.push_back(s); });
    c.sendMessage(std::string("Analyze my result"));
    ASSERT_TRUE(idle());
    const std::vector<QString> expected = {"Contacting local model",
                                           QString::fromStdString("Starting " + model.displayName),
                                           "Contacting local model", "Generating response", "Local LLM ready"};
    EXPECT_EQ(statuses, expected);
    EXPECT_TRUE(manager->engineRunning());
    EXPECT_EQ(c.localModel(), model.modelAlias);
    EXPECT_EQ(settings.stringValue(Settings::Key::assistantModel), QString::fromStdString(model.modelAlias));
    EXPECT_EQ(settings.stringValue(Settings::Key::assistantEndpoint),
              QString::fromStdString(manager->managedEndpoint()));
    EXPECT_EQ(last().text, "Stand-in answer: Analyze my result");
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_AUTOSTART model=" + model.id + " reason=chat-request").size(), 1u);
    EXPECT_EQ(log.events("ASSISTANT_LOCAL_REQUEST benchmark_context=true managed=true").size(), 1u);

    c.clearConversation();
    EXPECT_EQ(c.status().toStdString(), model.displayName + " ready");

    // Choosing the expert stops the managed engine.
    c.selectProvider(AIAssistantProvider::olvaneExpert);
    EXPECT_FALSE(manager->engineRunning());
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");
    EXPECT_EQ(settings.stringValue(Settings::Key::assistantProvider), QString("Olvane Expert 2 — Offline"));
    processEventsUntil([&] { return !manager->serverProcessAlive(); });
}

// The engine ends from outside after it was ready: the conversation's status says so as the
// manager's does, and the next question starts it again.
TEST_F(ConversationTest, AnEngineThatEndsAfterReadyIsReportedStoppedAndStartsAgain)
{
    const auto model = installModel();
    auto& c = make();
    c.startManagedModel(model);
    ASSERT_TRUE(processEventsUntil([&] { return !c.hasPendingModelStart(); }));
    ASSERT_EQ(c.status().toStdString(), model.displayName + " ready");
    for (pid_t pid : manager->serverProcessIDs()) ::kill(pid, SIGKILL);
    ASSERT_TRUE(processEventsUntil([&] { return !manager->engineRunning(); }));
    EXPECT_EQ(c.status(), "Local model stopped");
    EXPECT_EQ(manager->statusText(), "Local model stopped");

    c.sendMessage(std::string("Analyze my result"));
    ASSERT_TRUE(idle());
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_AUTOSTART model=" + model.id).size(), 1u);
    EXPECT_EQ(last().text, "Stand-in answer: Analyze my result");
    EXPECT_EQ(c.status(), "Local LLM ready");
    c.stopManagedModel();
    processEventsUntil([&] { return !manager->serverProcessAlive(); });
}

// The user stops the model that a question is starting: the question still gets its answer.
TEST_F(ConversationTest, StoppingTheModelAQuestionIsStartingGivesTheExpertsAnswer)
{
    const auto model = installModel();
    auto& c = make();
    c.selectManagedModel(model);
    qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "60000");
    c.sendMessage(std::string("Analyze my result"));
    const bool starting = processEventsUntil([&] { return !log.events("ASSISTANT_ENGINE_START").empty(); });
    qunsetenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS");
    ASSERT_TRUE(starting);
    c.stopManagedModel();
    ASSERT_TRUE(idle());
    EXPECT_EQ(last().text,
              "The local model did not respond, so Olvane Expert 2 took over automatically.\nTechnical reason: The "
              "local model was stopped while it was starting.\n\n" +
                  expertText("Analyze my result"));
    EXPECT_EQ(c.status(), "Olvane Expert 2 fallback ready");
    EXPECT_EQ(log.events("ASSISTANT_RESPONSE id=" + c.messages()[1].id.text()).size(), 1u);
    c.selectProvider(AIAssistantProvider::olvaneExpert);
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready") << "the provider can be chosen again";
    processEventsUntil([&] { return !manager->serverProcessAlive(); });
}

// A start goes on whatever becomes of the answer that asked for it, and then says how it ended;
// leaving the local model or a benchmark ends it.
TEST_F(ConversationTest, WhatEndsAStart)
{
    const auto model = installModel();
    const std::string ready = model.displayName + " ready";
    const std::string starting = "Starting " + model.displayName;
    const std::string paused = AssistantConversationController::pausedStatus;
    const std::string timedOut = "llama-server did not become ready within 1 seconds";
    using Act = std::function<void(AssistantConversationController&)>;
    const Act clear = [](auto& c) { c.clearConversation(); };
    struct Case {
        const char* name;
        bool byQuestion;  // else the model card
        Act act;
        bool neverReady;
        std::string statusAfterAct;
        std::string finalStatus;
    };
    const std::vector<Case> cases = {
        {"question, cleared", true, clear, false, starting, ready},
        {"question, answer stopped", true, [](auto& c) { c.stopResponse(); }, false, "Response stopped", ready},
        {"question, cleared, start fails", true, clear, true, starting, timedOut},
        {"card, cleared", false, clear, false, starting, ready},
        {"card, expert chosen", false, [](auto& c) { c.selectProvider(AIAssistantProvider::olvaneExpert); }, false,
         "Olvane Expert 2 ready", "Olvane Expert 2 ready"},
        {"question, benchmark", true, [](auto& c) { c.pauseForBenchmark(); }, false, paused, paused},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        startDeadline = std::chrono::milliseconds(k.neverReady ? 1'000 : 180'000);
        if (k.neverReady) qputenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS", "600000");
        auto& c = make();
        c.selectManagedModel(model);
        c.setLocalModel("something-else");
        const auto startErrors = [&] {
            return log.events("ASSISTANT_MANAGED_MODEL_START_ERROR model=" + model.id + " error=" + timedOut).size();
        };
        const std::size_t errorsBefore = startErrors();
        std::vector<std::string> statuses;
        std::string afterAct;
        bool acted = false;
        QObject::connect(&c, &AssistantConversationController::statusChanged, [&](const QString& s) {
            statuses.push_back(s.toStdString());
            // Acts once the start is under way: the next turn of the event loop comes long before
            // the engine can answer its first probe.
            if (s.startsWith("Starting ") && !acted) {
                acted = true;
                QMetaObject::invokeMethod(
                    &c,
                    [&] {
                        ASSERT_TRUE(c.hasPendingModelStart());
                        k.act(c);
                        afterAct = c.status().toStdString();
                        statuses = {afterAct};
                    },
                    Qt::QueuedConnection);
            }
        });
        if (k.byQuestion)
            c.sendMessage(std::string("Analyze my result"));
        else
            c.startManagedModel(model);
        ASSERT_TRUE(processEventsUntil(
            [&] { return acted && !c.hasPendingModelStart() && !manager->isBusy() && !c.isResponding(); }));
        qunsetenv("KORVALEN_STANDIN_HEALTHY_AFTER_MS");
        EXPECT_EQ(afterAct, k.statusAfterAct);
        EXPECT_EQ(statuses.back(), k.finalStatus);
        const bool wentOn = k.finalStatus == ready;
        EXPECT_EQ(manager->engineRunning(), wentOn);
        EXPECT_EQ(c.localModel(), wentOn ? model.modelAlias : "something-else");
        EXPECT_EQ(startErrors() - errorsBefore, k.neverReady ? 1u : 0u);
        EXPECT_TRUE(log.events("ASSISTANT_RESPONSE id=").empty()) << "the question got no answer";
        EXPECT_FALSE(c.hasPendingAnswer());
        EXPECT_FALSE(last().text.empty()) << "no empty answer is left behind";
        c.stopManagedModel();
        processEventsUntil([&] { return !manager->serverProcessAlive(); });
    }
}

// Only a question to the managed endpoint, with the selected model and the engine installed,
// starts the engine; anything else asks the endpoint as it is.
TEST_F(ConversationTest, WhatAQuestionStarts)
{
    StandInLlamaServer custom;
    ASSERT_TRUE(custom.listen());
    const auto model = installModel();
    const std::string refused =
        "The local model did not respond, so Olvane Expert 2 took over automatically.\nTechnical reason: Connection "
        "refused";
    struct Case {
        const char* name;
        bool customEndpoint;
        bool modelFile;
        bool engine;
        std::string answerStart;
    };
    const std::vector<Case> cases = {
        {"custom endpoint", true, true, true, "Stand-in answer: "},
        {"model file gone", false, false, true, refused},
        {"no engine", false, true, false, refused},
        {"all there", false, true, true, "Stand-in answer: "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        engineFound = k.engine;
        installModel();
        auto& c = make();
        manager->select(model);
        useLocalModel(k.customEndpoint ? custom.endpoint() : QString::fromStdString(manager->managedEndpoint()));
        if (!k.modelFile) {
            QFile::remove(manager->modelPath(model));
            manager->refresh();
        }
        c.sendMessage(std::string("Analyze my result"));
        ASSERT_TRUE(idle());
        const bool starts = !k.customEndpoint && k.modelFile && k.engine;
        EXPECT_EQ(manager->engineRunning(), starts);
        EXPECT_EQ(log.events("ASSISTANT_ENGINE_AUTOSTART").size(), starts ? 1u : 0u);
        EXPECT_EQ(c.localEndpoint(), k.customEndpoint ? custom.endpoint().toStdString() : manager->managedEndpoint());
        EXPECT_TRUE(last().text.starts_with(k.answerStart)) << last().text;
        c.stopManagedModel();
        processEventsUntil([&] { return !manager->serverProcessAlive(); });
    }
}

// At launch, with the provider and model remembered, and after a clear, the status says what the
// chosen provider will do with the next question.
TEST_F(ConversationTest, LaunchAndClearSayWhatTheNextQuestionMeets)
{
    const auto model = installModel();
    const std::string startIt = model.displayName + " selected — start Local AI";
    struct Case {
        const char* name;
        AIAssistantProvider provider;
        bool selected;
        bool engine;
        bool running;
        std::string launchStatus;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"expert", AIAssistantProvider::olvaneExpert, true, true, false, "Olvane Expert 2 ready",
         "Olvane Expert 2 ready"},
        {"nothing selected", AIAssistantProvider::localModel, false, true, false, "Select an installed local model",
         "Select an installed local model"},
        {"no engine", AIAssistantProvider::localModel, true, false, false,
         model.displayName + " selected — install llama.cpp engine",
         model.displayName + " selected — install llama.cpp engine"},
        {"engine stopped", AIAssistantProvider::localModel, true, true, false, startIt,
         model.displayName + " selected — Local AI starts automatically when you send a message"},
        {"engine running", AIAssistantProvider::localModel, true, true, true, startIt, model.displayName + " ready"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        engineFound = k.engine;
        settings.setString(Settings::Key::assistantProvider, QString::fromStdString(std::string(rawValue(k.provider))));
        if (k.selected)
            settings.setString(Settings::Key::managedModel, QString::fromStdString(model.id));
        else
            settings.remove(Settings::Key::managedModel);
        auto& c = make();
        EXPECT_EQ(c.status().toStdString(), k.launchStatus);
        EXPECT_EQ(manager->serverStartGeneration(), 0u) << "a launch stops nothing";
        if (k.selected) manager->select(model);
        if (k.running) {
            c.startManagedModel(model);
            ASSERT_TRUE(processEventsUntil([&] { return !c.hasPendingModelStart(); }));
        }
        c.setProvider(k.provider);
        c.setDraft("half a question");
        c.clearConversation();
        EXPECT_EQ(c.status().toStdString(), k.status);
        EXPECT_EQ(c.draft(), "");
        EXPECT_EQ(c.provider(), k.provider);
        EXPECT_EQ(manager->engineRunning(), k.running) << "clearing neither starts nor stops the model";
        c.stopManagedModel();
        processEventsUntil([&] { return !manager->serverProcessAlive(); });
    }
}

// Leaving the local model or stopping it moves the start generation on, so a start in flight no
// longer counts.
TEST_F(ConversationTest, LeavingOrStoppingTheLocalModelAdvancesTheStartGeneration)
{
    auto& c = make();
    const std::vector<std::tuple<const char*, std::function<void()>, std::uint64_t>> cases = {
        {"provider set to the expert", [&] { c.setProvider(AIAssistantProvider::olvaneExpert); }, 1},
        {"expert chosen in the selector", [&] { c.selectProvider(AIAssistantProvider::olvaneExpert); }, 1},
        {"provider set to the local model", [&] { c.setProvider(AIAssistantProvider::localModel); }, 0},
        {"model stopped", [&] { c.stopManagedModel(); }, 1},
    };
    for (const auto& [name, act, advance] : cases) {
        const std::uint64_t before = manager->serverStartGeneration();
        act();
        EXPECT_EQ(manager->serverStartGeneration() - before, advance) << name;
    }
}

TEST_F(ConversationTest, ManagedModelStartsStaleStartsAndStops)
{
    const auto model = installModel();
    auto& c = make();
    const std::string previousEndpoint = c.localEndpoint();

    // Not installed: only the manager's status changes.
    c.startManagedModel(AssistantModelManager::standardCatalog()[1]);
    EXPECT_EQ(c.provider(), AIAssistantProvider::olvaneExpert);
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");

    // Stopped before it came up: the late start changes nothing and leaves no engine.
    c.startManagedModel(model);
    EXPECT_EQ(c.status(), "Starting downloaded local model");
    c.stopManagedModel();
    EXPECT_FALSE(c.hasPendingModelStart()) << "the stop forgets the start at once";
    processEventsUntil([&] { return !manager->isBusy() && !manager->serverProcessAlive(); });
    EXPECT_EQ(c.status(), "Local model stopped");
    EXPECT_EQ(c.localEndpoint(), previousEndpoint);

    // Came up while the application was quitting: stopped again, endpoint unchanged.
    c.startManagedModel(model);
    terminating = true;
    processEventsUntil([&] { return !c.hasPendingModelStart(); });
    processEventsUntil([&] { return !manager->serverProcessAlive(); });
    EXPECT_FALSE(manager->engineRunning());
    EXPECT_EQ(c.localEndpoint(), previousEndpoint);
    terminating = false;

    // A benchmark while it starts: the start is forgotten at once.
    c.startManagedModel(model);
    EXPECT_TRUE(c.pauseForBenchmark());
    EXPECT_FALSE(c.hasPendingModelStart());
    processEventsUntil([&] { return !manager->isBusy() && !manager->serverProcessAlive(); });
    c.resumeAfterBenchmark();

    // A start that completes.
    c.startManagedModel(model);
    ASSERT_TRUE(processEventsUntil([&] { return !c.hasPendingModelStart(); }));
    EXPECT_EQ(c.status().toStdString(), model.displayName + " ready");
    EXPECT_EQ(c.localEndpoint(), manager->managedEndpoint());
    EXPECT_TRUE(manager->engineRunning());

    // A benchmark pauses the assistant and stops the engine; afterwards the model comes back.
    EXPECT_TRUE(c.pauseForBenchmark());
    EXPECT_FALSE(manager->engineRunning());
    EXPECT_TRUE(c.pausedForBenchmark());
    EXPECT_EQ(c.status(), "AI Assistant paused — official benchmark in progress");
    processEventsUntil([&] { return !manager->serverProcessAlive(); });
    c.resumeAfterBenchmark();
    ASSERT_TRUE(processEventsUntil([&] { return !c.hasPendingModelStart(); }));
    EXPECT_TRUE(manager->engineRunning());
    c.stopManagedModel();
    processEventsUntil([&] { return !manager->serverProcessAlive(); });
}

TEST_F(ConversationTest, StopAndClear)
{
    StandInLlamaServer server;
    ASSERT_TRUE(server.listen());
    server.behaviour.answerDelayMs = 10'000;
    auto& c = make();
    useLocalModel(server.endpoint());
    c.sendMessage(std::string("Tell me a story"));
    ASSERT_TRUE(processEventsUntil([&] { return server.chatRequestCount() == 1; }));
    c.stopResponse();
    EXPECT_EQ(c.status(), "Response stopped");
    EXPECT_EQ(log.events("ASSISTANT_RESPONSE_STOPPED").size(), 1u);
    EXPECT_FALSE(c.isResponding());
    ASSERT_EQ(c.messages().size(), 2u) << "the empty answer went away, the question stays";
    EXPECT_EQ(last().text, "Tell me a story");
    processEventsUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(log.events("ASSISTANT_RESPONSE id=").empty());

    // Clearing with the local model, an engine and a selected model that is not running.
    const auto model = installModel();
    manager->select(model);
    c.sendMessage(std::string("Olá"));
    c.clearConversation();
    EXPECT_EQ(c.status().toStdString(),
              model.displayName + " selected — Local AI starts automatically when you send a message");
    ASSERT_EQ(c.messages().size(), 1u);
    EXPECT_EQ(c.messages()[0].text, AssistantConversationController::welcomeText());
    EXPECT_EQ(c.context(), AIAssistantConversationContext{});
    EXPECT_EQ(c.provider(), AIAssistantProvider::localModel);
    EXPECT_EQ(log.events("ASSISTANT_CONVERSATION_CLEARED").size(), 1u);
}

TEST_F(ConversationTest, ExportNamesTheFileByTheClockAndReplacesItWhole)
{
    // An afternoon time in the local zone, every field distinct: a 12-hour clock or a swapped field shows.
    const Date when{
        std::chrono::milliseconds(QDateTime(QDate(2026, 12, 7), QTime(15, 4, 9), Qt::LocalTime).toMSecsSinceEpoch())};
    fixedTime = when;
    auto& c = make();
    // Cancelled dialog: nothing happens.
    c.exportConversation();
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");
    EXPECT_EQ(proposedName.toStdString(), "Korvalen-AI-Assistant-2026-12-07_15-04-09.txt");

    // The file is replaced, never rewritten in place: a reader of the old one keeps reading it whole.
    exportPath = data.filePath("chat.txt");
    {
        QFile old(*exportPath);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older export");
    }
    QFile reader(*exportPath);
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    c.exportConversation();
    EXPECT_EQ(c.status(), "Conversation exported");
    EXPECT_EQ(reader.readAll(), "an older export");
    EXPECT_EQ(QDir(data.path()).entryList({"chat*"}, QDir::Files), QStringList{"chat.txt"}) << "no temporary left";

    QFile file(*exportPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString time = QLocale::system().toString(
        QDateTime::fromMSecsSinceEpoch(c.messages()[0].createdAt.time_since_epoch().count()), QLocale::ShortFormat);
    EXPECT_EQ(file.readAll().toStdString(), "Korvalen AI Assistant\nModel: Test-Machine\nVersion: 1.0.0\n\n[" +
                                                time.toStdString() + "] Korvalen AI Assistant\n" +
                                                AssistantConversationController::welcomeText() + "\n");
    EXPECT_EQ(log.events("ASSISTANT_CONVERSATION_EXPORTED messages=1").size(), 1u);

    const std::vector<AIAssistantMessage> two = {{Uuid::random(), AIAssistantRole::user, "line one\nline two", when},
                                                 {Uuid::random(), AIAssistantRole::system, "note", when}};
    const std::string text = AssistantConversationController::exportText(two, system);
    EXPECT_NE(text.find("] User\nline one\nline two\n\n["), std::string::npos);
    EXPECT_TRUE(text.ends_with("] Korvalen AI Assistant\nnote\n"));

    exportPath = data.filePath("missing-folder/chat.txt");
    c.exportConversation();
    EXPECT_TRUE(c.status().startsWith("Export failed: "));
    EXPECT_EQ(log.events("ASSISTANT_EXPORT_ERROR error=").size(), 1u);
}

// A start asked for while the application quits, a benchmark runs or an answer is pending does
// nothing at all.
TEST_F(ConversationTest, AStartIsRefusedWhileSomethingElseGoesOn)
{
    const auto model = installModel();
    using Arrange = std::function<void(AssistantConversationController&)>;
    const std::vector<std::pair<const char*, Arrange>> cases = {
        {"quitting", [&](auto&) { terminating = true; }},
        {"benchmark running", [&](auto&) { runBusy = true; }},
        {"answer pending", [&](auto& c) { c.sendMessage(std::string("Analyze my result")); }},
    };
    for (const auto& [name, arrange] : cases) {
        SCOPED_TRACE(name);
        auto& c = make();
        arrange(c);
        const QString status = c.status();
        c.startManagedModel(model);
        EXPECT_EQ(c.status(), status);
        EXPECT_EQ(c.provider(), AIAssistantProvider::olvaneExpert);
        EXPECT_FALSE(c.hasPendingModelStart());
        EXPECT_FALSE(manager->selectedModelID());
        terminating = runBusy = false;
        ASSERT_TRUE(idle());
    }
}

// An expert that fails ends the answer with a status and no empty bubble; the next question is
// answered as usual.
TEST_F(ConversationTest, AFailingExpertLeavesNoEmptyAnswer)
{
    for (const bool throws : {true, false}) {
        SCOPED_TRACE(throws ? "throws" : "gives nothing");
        int calls = 0;
        expert = [&](const auto&... args) -> std::optional<AIAssistantResponse> {
            if (calls++ > 0) return AIAssistantEngine::respond(args...);
            if (throws) throw std::runtime_error("out of memory");
            return std::nullopt;
        };
        auto& c = make();
        const std::size_t errors = log.events("ASSISTANT_EXPERT_ERROR error=out of memory").size();
        c.sendMessage(std::string("Analyze my result"));
        ASSERT_TRUE(processEventsUntil([&] { return !c.isResponding(); }));
        EXPECT_EQ(c.status(), "Olvane Expert 2 could not answer");
        EXPECT_FALSE(c.hasPendingAnswer());
        ASSERT_EQ(c.messages().size(), 2u);
        EXPECT_EQ(last().text, "Analyze my result");
        EXPECT_EQ(log.events("ASSISTANT_EXPERT_ERROR error=out of memory").size() - errors, throws ? 1u : 0u);
        c.sendMessage(std::string("Analyze my result"));
        ASSERT_TRUE(idle());
        ASSERT_EQ(c.messages().size(), 4u);
        EXPECT_EQ(last().text, expertText("Analyze my result"));
    }
}

// Without the store's state the controller answers as with an idle store and no session.
TEST_F(ConversationTest, AnswersWithoutTheStoresState)
{
    make();
    AssistantConversationController::Services services;
    services.settings = settings;
    services.modelManager = manager.get();
    AssistantConversationController c(services);
    c.sendMessage(std::string("Analyze my result"));
    ASSERT_TRUE(processEventsUntil([&] { return !c.isResponding(); }));
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");
    EXPECT_EQ(c.messages().back().text,
              AIAssistantEngine::respond("Analyze my result", std::nullopt, AISystemProfile{}, {}, {}, [] {
                  return false;
              })->text);
}

TEST(ManagedEndpoint, RecognisesOnlyTheManagedEngine)
{
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1:18080/v1", true},
        {"http://localhost:18080", true},
        {"http://LOCALHOST:18080/v1/", true},
        {"http://127.0.0.1:18080/v1/chat/completions", true},
        {"http://127.0.0.1:8080/v1", false},
        {"https://127.0.0.1:18080/v1", false},
        {"http://127.0.0.1/v1", false},
        {"http://127.0.0.1:18080/v2", false},
        {"http://127.0.0.1:18080/v1/models", false},
        {"http://[::1]:18080/v1", true},
        {"http://192.168.1.20:18080/v1", false},
    };
    for (const auto& [text, managed] : cases)
        EXPECT_EQ(AssistantConversationController::isManagedEndpoint(text), managed) << text;
}

}  // namespace
}  // namespace korvalen
