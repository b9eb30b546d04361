#include "Assistant/Views/AssistantPane.h"

#include "Assistant/Views/AssistantProviderSelector.h"
#include "FreePort.h"
#include "support/QtTestApp.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace korvalen {
namespace {

using test::processEventsUntil;

// The pane over the assistant's real state: its controller, a model manager that starts the stand-in
// engine, and one catalog model whose file is in place (the other one is not).
struct PaneHarness {
    QTemporaryDir data;
    Settings settings{QString()};
    std::unique_ptr<AssistantModelManager> manager;
    std::unique_ptr<AssistantConversationController> assistant;
    std::unique_ptr<AssistantPane> pane;
    bool runBusy = false;
    AssistantDownloadableModel model = AssistantModelManager::standardCatalog()[0];

    PaneHarness()
    {
        test::qtApp(true);
        settings = Settings(data.filePath("settings.ini"));
        settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
        QDir().mkpath(data.filePath("Models"));
        QFile file(data.filePath("Models/" + QString::fromStdString(model.fileName)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("GGUF\x03");
        file.close();
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
        services.settings = settings;
        services.modelManager = manager.get();
        assistant = std::make_unique<AssistantConversationController>(services);
        pane = std::make_unique<AssistantPane>(*assistant, [this] { return runBusy; });
        pane->resize(900, 600);
        pane->show();
    }

    ~PaneHarness()
    {
        assistant->stopManagedModel();
        EXPECT_TRUE(processEventsUntil([&] { return !manager->serverProcessAlive(); }));
        pane.reset();
        assistant.reset();
    }

    bool startAndWait()
    {
        assistant->startManagedModel(model);
        return processEventsUntil([&] { return manager->engineRunning() && !assistant->hasPendingModelStart(); });
    }

    // What the store does when a run starts: the run is busy, the assistant pauses, the host refreshes.
    void beginRun()
    {
        runBusy = true;
        assistant->pauseForBenchmark();
        pane->refreshControls();
    }
};

// Types into a field as the user would, replacing its text; Return commits.
void type(QLineEdit* field, const QString& text, bool pressReturn)
{
    field->selectAll();
    for (QChar c : text) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(field, &key);
    }
    if (pressReturn) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
        QCoreApplication::sendEvent(field, &key);
    }
}

TEST(AssistantPaneView, ControlsFollowTheProviderAndWhatIsGoingOn)
{
    using Arrange = std::function<void(PaneHarness&)>;
    const Arrange chooseLocal = [](PaneHarness& h) { h.assistant->selectManagedModel(h.model); };
    const QString name = QString::fromStdString(AssistantModelManager::standardCatalog()[0].displayName);
    const QString paused = AssistantConversationController::pausedStatus;
    struct Row {
        const char* what;
        Arrange arrange;
        bool local, selector, stopAnswer, send, use, start, stopModel, findEngine, managerShown;
        QString status;  // empty: the manager's own status, then shown once
    };
    // The managed engine runs only for the local model: choosing the expert stops it.
    const Row rows[] = {
        {"expert, idle", [](PaneHarness&) {},  //
         false, true, false, true, true, true, false, true, false, "Olvane Expert 2 ready"},
        {"expert, answering", [](PaneHarness& h) { h.assistant->sendMessage("Analyze my result"); },  //
         false, false, true, true, false, false, false, true, false, "Analyzing benchmark evidence"},
        {"expert, benchmark running", [](PaneHarness& h) { h.beginRun(); },  //
         false, false, false, false, false, false, false, true, false, paused},
        {"local, idle", chooseLocal,  //
         true, true, false, true, true, true, false, true, true, name + " selected — start Local AI"},
        {"local, engine looked up", [](PaneHarness& h) { h.assistant->installEngineForManagedModel(h.model); },  //
         true, true, false, true, true, true, false, true, false, ""},
        {"local, answering",
         [&](PaneHarness& h) {
             chooseLocal(h);
             h.assistant->setLocalEndpoint("http://127.0.0.1:" + std::to_string(test::freeLoopbackPort()) + "/v1");
             h.assistant->sendMessage("Hello");
         },
         true, false, true, true, false, false, false, true, true, "Contacting local model"},
        // Looked at before the start's first step comes back from the event loop.
        {"local, starting", [](PaneHarness& h) { h.assistant->startManagedModel(h.model); },  //
         true, true, false, true, false, false, true, false, true, "Starting downloaded local model"},
        {"local, running", [](PaneHarness& h) { ASSERT_TRUE(h.startAndWait()); },  //
         true, true, false, true, true, true, true, true, true, name + " ready"},
        {"local, benchmark running",
         [&](PaneHarness& h) {
             chooseLocal(h);
             h.beginRun();
         },
         true, false, false, false, false, false, false, true, true, paused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PaneHarness h;
        row.arrange(h);
        AssistantPane& pane = *h.pane;
        EXPECT_EQ(pane.localControls()->isVisible(), row.local);
        const auto* local = pane.selector()->segment(AIAssistantProvider::localModel);
        EXPECT_EQ(local->isSelected(), row.local);
        EXPECT_EQ(local->isEnabled(), row.selector);
        EXPECT_EQ(pane.stopButton()->isEnabled(), row.stopAnswer);
        EXPECT_EQ(pane.sendButton()->isEnabled(), row.send);
        for (QPushButton* quick : pane.quickActionButtons()) EXPECT_EQ(quick->isEnabled(), row.send);
        EXPECT_EQ(pane.useModelButton()->isEnabled(), row.use);
        EXPECT_EQ(pane.startModelButton()->isEnabled(), row.start);
        EXPECT_EQ(pane.stopModelButton()->isEnabled(), row.stopModel);
        EXPECT_EQ(pane.findEngineButton()->isEnabled(), row.findEngine);
        EXPECT_EQ(pane.statusLabel()->text(), row.status.isEmpty() ? h.manager->statusText() : row.status);
        EXPECT_EQ(pane.managerStatusLabel()->text(), h.manager->statusText());
        EXPECT_EQ(pane.managerStatusLabel()->isVisibleTo(&pane), row.managerShown);
    }
}

TEST(AssistantPaneView, StatusTextsAndModelNamesShowAsPlainText)
{
    PaneHarness h;
    AssistantPane& pane = *h.pane;
    // A reply or an error may carry markup; it is shown, never rendered.
    for (QLabel* label : {pane.statusLabel(), pane.managerStatusLabel()}) EXPECT_EQ(label->textFormat(), Qt::PlainText);

    // Every catalog model is listed; one without its file says so, and each tells where its file goes.
    const auto& catalog = h.manager->catalog();
    QComboBox* list = pane.modelList();
    ASSERT_EQ(list->count(), static_cast<int>(catalog.size()));
    for (int i = 0; i < list->count(); ++i) {
        const AssistantDownloadableModel& m = catalog[i];
        const QString name = QString::fromStdString(m.displayName);
        EXPECT_EQ(list->itemText(i), i == 0 ? name : name + " — not downloaded");
        EXPECT_EQ(list->itemData(i).toString().toStdString(), m.id);
        EXPECT_EQ(list->itemData(i, Qt::ToolTipRole).toString(), h.manager->modelPath(m));
    }
}

TEST(AssistantPaneView, TheEndpointAndModelFieldsShowTheSettings)
{
    PaneHarness h;
    h.assistant->selectProvider(AIAssistantProvider::localModel);
    QLineEdit* endpoint = h.pane->endpointField();
    QLineEdit* modelName = h.pane->modelNameField();
    EXPECT_EQ(endpoint->text().toStdString(), AssistantConversationController::defaultEndpoint);
    EXPECT_EQ(modelName->text().toStdString(), AssistantConversationController::defaultModel);

    // Return commits an edit, white space trimmed.
    type(endpoint, " http://127.0.0.1:8081/v1 ", true);
    type(modelName, "my-model", true);
    EXPECT_EQ(h.assistant->localEndpoint(), "http://127.0.0.1:8081/v1");
    EXPECT_EQ(h.assistant->localModel(), "my-model");
    EXPECT_EQ(endpoint->text().toStdString(), "http://127.0.0.1:8081/v1");

    // A managed start replaces the settings, and an edit not yet committed, in view; Return then
    // keeps what the settings hold.
    type(modelName, "half-typed", false);
    ASSERT_TRUE(h.startAndWait());
    const std::string managed = h.manager->managedEndpoint();
    EXPECT_EQ(h.assistant->localEndpoint(), managed);
    EXPECT_EQ(endpoint->text().toStdString(), managed);
    EXPECT_EQ(modelName->text().toStdString(), h.model.modelAlias);
    for (QLineEdit* field : {endpoint, modelName}) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
        QCoreApplication::sendEvent(field, &key);
    }
    EXPECT_EQ(h.assistant->localEndpoint(), managed);
    EXPECT_EQ(h.assistant->localModel(), h.model.modelAlias);
}

}  // namespace
}  // namespace korvalen
