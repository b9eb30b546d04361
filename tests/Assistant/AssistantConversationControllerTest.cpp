#include "Assistant/AssistantConversationController.h"

#include "Assistant/Expert/AIAssistantEngine.h"
#include "FreePort.h"
#include "LocalModel/AIAssistantLocalClient.h"
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
        settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
        AssistantModelManager::Options options;
        options.dataFolder = data.path();
        options.settings = settings;
        options.port = test::freeLoopbackPort();
        options.searchPath = data.filePath("no-bin");
        options.probeInterval = std::chrono::milliseconds(20);
        options.terminateGrace = std::chrono::milliseconds(300);
        manager = std::make_unique<AssistantModelManager>(options);
        AssistantConversationController::Services services;
        services.store.runIsBusy = [this] { return runBusy; };
        services.store.currentSession = [this] { return std::optional<AIBenchmarkSession>(session); };
        services.store.systemProfile = [this] { return system; };
        services.store.applicationIsTerminating = [this] { return terminating; };
        services.settings = settings;
        services.modelManager = manager.get();
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
    std::optional<QString> exportPath;
    QString proposedName;
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
    EXPECT_EQ(log.events("ASSISTANT_REQUEST id=").size(), 1u);
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

TEST_F(ConversationTest, LocalModelAnswersFallbacksAndRetries)
{
    StandInLlamaServer server;
    ASSERT_TRUE(server.listen());
    const std::string ptGreeting = "Olá, como você está? Preciso de ajuda.";
    const std::string reasonDown = "Connection refused";
    struct Case {
        const char* name;
        StandInLlamaServer::Answer answer;
        bool serverUp;
        std::string question;
        bool quickAction;
        std::string engine;
        std::function<std::string(ConversationTest&)> text;
    };
    const std::vector<Case> cases = {
        {"local answer", StandInLlamaServer::Answer::normal, true, "Analyze my result", false, "Local LLM",
         [](ConversationTest&) { return std::string("Stand-in answer: Analyze my result"); }},
        {"blank local answer: the expert takes over and says why", StandInLlamaServer::Answer::blank, true,
         "Analyze my result", false, "Olvane Expert 2 fallback",
         [](ConversationTest& t) {
             return "The local model did not respond, so Olvane Expert 2 took over automatically.\nTechnical reason: "
                    "The local model returned an empty answer.\n\n" +
                    t.expertText("Analyze my result");
         }},
        {"unreachable, benchmark question: the expert takes over", StandInLlamaServer::Answer::normal, false,
         analyzePrompt, true, "Olvane Expert 2 fallback",
         [&](ConversationTest& t) {
             return "The local model did not respond, so Olvane Expert 2 took over automatically.\nTechnical reason: " +
                    reasonDown + "\n\n" + t.expertText(analyzePrompt);
         }},
        {"unreachable, Portuguese small talk: retry text", StandInLlamaServer::Answer::normal, false, ptGreeting, false,
         "Local LLM error",
         [&](ConversationTest&) {
             return "O modelo local não conseguiu concluir esta resposta. Tente enviar novamente.\nMotivo técnico: " +
                    reasonDown +
                    "\n\nA Olvane Expert 2 não substituiu a resposta porque esta é uma conversa geral, não uma análise "
                    "de "
                    "benchmark.";
         }},
        {"hostile HTML answer: clear reason", StandInLlamaServer::Answer::html, true, "Analyze my result", false,
         "Olvane Expert 2 fallback",
         [](ConversationTest& t) {
             return "The local model did not respond, so Olvane Expert 2 took over automatically.\nTechnical reason: "
                    "The local model returned an invalid response.\n\n" +
                    t.expertText("Analyze my result");
         }},
    };
    auto& c = make();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        c.clearConversation();
        useLocalModel(k.serverUp ? server.endpoint()
                                 : "http://127.0.0.1:" + QString::number(test::freeLoopbackPort()) + "/v1");
        server.behaviour.answer = k.answer;
        const auto before = server.requests().size();
        if (k.quickAction)
            c.sendMessage(k.question);
        else {
            c.setDraft(k.question);
            c.sendMessage();
        }
        EXPECT_EQ(c.status(), "Contacting local model");
        ASSERT_TRUE(idle());
        EXPECT_EQ(last().text, k.text(*this));
        EXPECT_EQ(c.status().toStdString(), k.engine + " ready");
        const auto response = log.events("ASSISTANT_RESPONSE id=" + c.messages()[1].id.text());
        ASSERT_EQ(response.size(), 1u);
        EXPECT_NE(response[0].find("engine=" + k.engine + " "), std::string::npos);
        const bool fallback = k.engine == "Olvane Expert 2 fallback" || k.engine == "Local LLM error";
        EXPECT_NE(response[0].find(fallback ? " fallback=true " : " fallback=false "), std::string::npos);
        if (k.engine == "Local LLM") {
            EXPECT_NE(response[0].find(" confidence=0.900 "), std::string::npos);
        }
        if (k.serverUp) {
            // The question reaches the model once, as the last message, after the system text.
            ASSERT_GT(server.requests().size(), before);
            const auto messages = QJsonDocument::fromJson(server.requests().back().body).object()["messages"].toArray();
            int asked = 0;
            for (const auto& m : messages)
                asked += m.toObject()["content"].toString().toStdString() == k.question ? 1 : 0;
            EXPECT_EQ(asked, 1);
            EXPECT_EQ(messages.first().toObject()["role"].toString(), "system");
            EXPECT_EQ(messages.last().toObject()["content"].toString().toStdString(), k.question);
        }
    }
    EXPECT_EQ(log.events("ASSISTANT_LOCAL_MODEL_ERROR").size(), 4u);
}

TEST_F(ConversationTest, AManagedEndpointStartsTheSelectedModelOnDemand)
{
    const auto model = installModel();
    auto& c = make();
    c.selectManagedModel(model);
    EXPECT_EQ(c.provider(), AIAssistantProvider::localModel);
    EXPECT_EQ(c.localEndpoint(), manager->managedEndpoint());
    EXPECT_EQ(c.status().toStdString(), model.displayName + " selected — start Local AI");
    c.setLocalModel("something-else");

    std::vector<QString> statuses;
    QObject::connect(&c, &AssistantConversationController::statusChanged,
                     [&](const QString& s) { statuses.push_back(s); });
    c.sendMessage(std::string("Analyze my result"));
    ASSERT_TRUE(idle());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), QString::fromStdString("Starting " + model.displayName)),
              statuses.end());
    EXPECT_TRUE(manager->engineRunning());
    EXPECT_EQ(c.localModel(), model.modelAlias);
    EXPECT_EQ(settings.stringValue(Settings::Key::assistantModel), QString::fromStdString(model.modelAlias));
    EXPECT_EQ(last().text, "Stand-in answer: Analyze my result");
    EXPECT_EQ(log.events("ASSISTANT_ENGINE_AUTOSTART model=" + model.id + " reason=chat-request").size(), 1u);
    EXPECT_EQ(log.events("ASSISTANT_LOCAL_REQUEST benchmark_context=true managed=true").size(), 1u);

    // Choosing the expert stops the managed engine.
    c.selectProvider(AIAssistantProvider::olvaneExpert);
    EXPECT_FALSE(manager->engineRunning());
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");
    EXPECT_EQ(settings.stringValue(Settings::Key::assistantProvider), QString("Olvane Expert 2 — Offline"));
    processEventsUntil([&] { return !manager->serverProcessAlive(); });
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
}

TEST_F(ConversationTest, ExportWritesTheConversationAtomically)
{
    auto& c = make();
    // Cancelled dialog: nothing happens.
    c.exportConversation();
    EXPECT_EQ(c.status(), "Olvane Expert 2 ready");

    exportPath = data.filePath("chat.txt");
    c.exportConversation();
    EXPECT_EQ(c.status(), "Conversation exported");
    EXPECT_TRUE(proposedName.startsWith("Korvalen-AI-Assistant-") && proposedName.endsWith(".txt"));
    EXPECT_EQ(proposedName.size(), QString("Korvalen-AI-Assistant-2026-12-07_08-15-00.txt").size());
    QFile file(*exportPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto& welcome = c.messages()[0];
    const QString when = QLocale::system().toString(
        QDateTime::fromMSecsSinceEpoch(
            std::chrono::duration_cast<std::chrono::milliseconds>(welcome.createdAt.time_since_epoch()).count()),
        QLocale::ShortFormat);
    EXPECT_EQ(file.readAll().toStdString(), "Korvalen AI Assistant\nModel: Test-Machine\nVersion: 1.0.0\n\n[" +
                                                when.toStdString() + "] Korvalen AI Assistant\n" +
                                                AssistantConversationController::welcomeText() + "\n");
    EXPECT_EQ(log.events("ASSISTANT_CONVERSATION_EXPORTED messages=1").size(), 1u);

    const std::vector<AIAssistantMessage> two = {{Uuid::random(), AIAssistantRole::user, "line one\nline two", Date{}},
                                                 {Uuid::random(), AIAssistantRole::system, "note", Date{}}};
    const std::string text = AssistantConversationController::exportText(two, system);
    EXPECT_NE(text.find("] User\nline one\nline two\n\n["), std::string::npos);
    EXPECT_NE(text.find("] Korvalen AI Assistant\nnote\n"), std::string::npos);

    exportPath = data.filePath("missing-folder/chat.txt");
    c.exportConversation();
    EXPECT_TRUE(c.status().startsWith("Export failed: "));
    EXPECT_EQ(log.events("ASSISTANT_EXPORT_ERROR error=").size(), 1u);
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
    };
    for (const auto& [text, managed] : cases)
        EXPECT_EQ(AssistantConversationController::isManagedEndpoint(text), managed) << text;
}

}  // namespace
}  // namespace korvalen
