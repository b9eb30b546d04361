#include "Assistant/Views/AssistantPane.h"

#include "Assistant/Views/AssistantBubble.h"
#include "Assistant/Views/AssistantProviderSelector.h"
#include "Assistant/Views/FocusHandOff.h"
#include "Assistant/Views/StandInInputContext.h"
#include "QuickManagerOptions.h"
#include "StandInLlamaServer.h"
#include "support/FakeClock.h"
#include "support/QtTestApp.h"

#include <QAbstractItemView>
#include <QAbstractTextDocumentLayout>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QInputMethodQueryEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

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

    explicit PaneHarness(bool withEngine = true, const QString& folder = QDir::tempPath() + "/pane-XXXXXX")
        : data(folder)
    {
        test::qtApp(true);
        settings = Settings(data.filePath("settings.ini"));
        if (withEngine) settings.setString(Settings::Key::customLlamaServerPath, KORVALEN_STAND_IN_LLAMA_SERVER);
        QDir().mkpath(data.filePath("Models"));
        QFile file(data.filePath("Models/" + QString::fromStdString(model.fileName)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("GGUF\x03");
        file.close();
        manager = std::make_unique<AssistantModelManager>(test::quickManagerOptions(data.path(), settings));
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

    // The user clicks into the composer of the active window, to type there.
    bool clickIntoComposer()
    {
        pane->activateWindow();
        if (!processEventsUntil([&] { return pane->isActiveWindow(); })) return false;
        QTest::mouseClick(pane->composer(), Qt::LeftButton);
        return true;
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

QPushButton* button(const QWidget& pane, const QString& title)
{
    for (QPushButton* b : pane.findChildren<QPushButton*>())
        if (b->text() == title) return b;
    ADD_FAILURE() << "no button " << title.toStdString();
    static QPushButton none;
    return &none;
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
        EXPECT_EQ(pane.selector()->segment(AIAssistantProvider::olvaneExpert)->isEnabled(), row.selector);
        EXPECT_EQ(pane.stopButton()->isEnabled(), row.stopAnswer);
        EXPECT_EQ(pane.sendButton()->isEnabled(), row.send);
        for (const auto& action : AssistantPane::quickActions())
            EXPECT_EQ(button(pane, action.title)->isEnabled(), row.send);
        EXPECT_EQ(pane.useModelButton()->isEnabled(), row.use);
        EXPECT_EQ(pane.startModelButton()->isEnabled(), row.start);
        EXPECT_EQ(pane.stopModelButton()->isEnabled(), row.stopModel);
        EXPECT_EQ(pane.findEngineButton()->isEnabled(), row.findEngine);
        EXPECT_EQ(pane.statusLabel()->text(), row.status.isEmpty() ? h.manager->statusText() : row.status);
        EXPECT_EQ(pane.managerStatusLabel()->text(), h.manager->statusText());
        EXPECT_EQ(pane.managerStatusLabel()->isVisibleTo(&pane), row.managerShown);
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
    // White space alone changes no setting, and the field shows the setting again.
    type(modelName, "my-model  ", true);
    EXPECT_EQ(modelName->text(), "my-model");

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

TEST(AssistantPaneView, TheComposerAndTheBubblesFollowTheConversation)
{
    PaneHarness h;
    AssistantPane& pane = *h.pane;
    type(pane.composer(), "Analyze my result", true);
    EXPECT_EQ(pane.composer()->text(), "") << "a question sent leaves the composer";
    ASSERT_EQ(pane.bubbles().size(), 3u);
    const std::vector<AssistantBubble*> asked = pane.bubbles();
    ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
    // The answer fills its bubble in place: a reader's selection and place are kept.
    EXPECT_EQ(pane.bubbles(), asked);
    EXPECT_EQ(asked.back()->textView()->toPlainText().toStdString(), h.assistant->messages().back().text);

    // A quick action shows the question it asks, and asks it.
    for (const auto& action : AssistantPane::quickActions()) {
        SCOPED_TRACE(action.title);
        QPushButton* quick = button(pane, action.title);
        EXPECT_EQ(quick->toolTip(), action.prompt);
        const std::vector<AssistantBubble*> before = pane.bubbles();
        quick->click();
        ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
        const auto& messages = h.assistant->messages();
        EXPECT_EQ(messages[messages.size() - 2].text, action.prompt);
        // Earlier messages keep their bubbles (a new bubble lays out its whole text), in order.
        ASSERT_EQ(pane.bubbles().size(), messages.size());
        EXPECT_TRUE(std::equal(before.begin(), before.end(), pane.bubbles().begin()));
        for (std::size_t i = 0; i < messages.size(); ++i) {
            EXPECT_EQ(pane.bubbles()[i]->messageID(), messages[i].id);
            EXPECT_EQ(pane.bubbles()[i]->parentWidget()->layout()->indexOf(pane.bubbles()[i]), static_cast<int>(i));
        }
    }

    type(pane.composer(), "half a question", false);
    pane.clearButton()->click();
    EXPECT_EQ(pane.composer()->text(), "");
    ASSERT_EQ(pane.bubbles().size(), 1u);
    pane.clearButton()->click();
    ASSERT_EQ(pane.bubbles().size(), 1u);
    EXPECT_EQ(pane.bubbles()[0]->messageID(), h.assistant->messages()[0].id) << "a new welcome gets its own bubble";
}

// A control reached by Tab and pressed with Space, or clicked with the mouse.
enum class Press { keyboard, mouse };

void press(QPushButton* button, Press how)
{
    if (how == Press::mouse) return QTest::mouseClick(button, Qt::LeftButton);
    button->setFocus(Qt::TabFocusReason);
    button->click();
}

// A pressed control that becomes disabled must not hand focus down the chain: into the endpoint
// field, whose whole text the next letters would replace, or onto Clear, which the next Space would
// press. Focus goes to the control that became usable, else to the composer for the next question.
// A clicked one leaves the keyboard in the composer, where the user types the next question.
TEST(AssistantPaneView, FocusGoesWhereTheUserActsNextAfterAControlIsDisabled)
{
    using Arrange = std::function<void(PaneHarness&)>;
    using Button = std::function<QPushButton*(AssistantPane&)>;
    using Widget = std::function<QWidget*(AssistantPane&)>;
    const Arrange idle = [](PaneHarness& h) { h.assistant->selectManagedModel(h.model); };
    const Arrange running = [](PaneHarness& h) { ASSERT_TRUE(h.startAndWait()); };
    const Arrange answering = [](PaneHarness& h) { h.assistant->sendMessage("Why is my GPU slower?"); };
    const Arrange drafted = [](PaneHarness& h) { type(h.pane->composer(), "Why is my GPU slower?", false); };
    const Arrange answered = [](PaneHarness& h) {
        ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
    };
    const Button quickAction = [](AssistantPane& p) { return p.quickActionButtons().front(); };
    const Button stopModel = [](AssistantPane& p) { return p.stopModelButton(); };
    const Button startModel = [](AssistantPane& p) { return p.startModelButton(); };
    const Button useModel = [](AssistantPane& p) { return p.useModelButton(); };
    const Widget composer = [](AssistantPane& p) { return p.composer(); };
    struct Row {
        const char* what;
        Arrange arrange;
        Button pressed;
        Arrange then;  // after the press: what disables the pressed control, if not its own action
        // Where focus is at once, and once the start or stop is over.
        Widget focused, settled;
        QString typed;
        Press how = Press::keyboard;
    };
    const Row rows[] = {
        {"Start", idle, startModel, {}, stopModel, stopModel, "hi"},
        {"Stop", running, stopModel, {}, stopModel, startModel, "hi"},
        {"Use", idle, useModel, {}, useModel, useModel, "hi"},
        {"Stop of a pending answer",
         answering,
         [](AssistantPane& p) { return p.stopButton(); },
         {},
         composer,
         composer,
         " and why"},
        {"Send, then a run",
         {},
         [](AssistantPane& p) { return p.sendButton(); },
         [](PaneHarness& h) { h.beginRun(); },
         composer,
         composer,
         " and why"},
        {"a quick action, then a run",
         {},
         [](AssistantPane& p) { return p.quickActionButtons().back(); },
         [](PaneHarness& h) { h.beginRun(); },
         composer,
         composer,
         " and why"},
        {"a quick action clicked while its answer is pending",
         {},
         quickAction,
         {},
         composer,
         composer,
         " and why",
         Press::mouse},
        {"a quick action clicked, then its answer",
         {},
         quickAction,
         answered,
         composer,
         composer,
         " and why",
         Press::mouse},
        {"Send clicked",
         drafted,
         [](AssistantPane& p) { return p.sendButton(); },
         {},
         composer,
         composer,
         " and why",
         Press::mouse},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PaneHarness h;
        AssistantPane& pane = *h.pane;
        ASSERT_TRUE(h.clickIntoComposer());
        // No event runs between the question and the press: the answer is still pending.
        if (row.arrange) row.arrange(h);
        const QString endpoint = pane.endpointField()->text();
        const QString modelName = pane.modelNameField()->text();
        const std::size_t before = h.assistant->messages().size();
        press(row.pressed(pane), row.how);
        if (row.then) row.then(h);
        EXPECT_EQ(QApplication::focusWidget(), row.focused(pane));
        const std::size_t messages = h.assistant->messages().size();
        if (row.how == Press::mouse) {
            EXPECT_EQ(messages, before + 2) << "one question, one answer";
        }
        for (QChar c : row.typed) {
            const int key = c == ' ' ? Qt::Key_Space : Qt::Key_A + (c.unicode() - 'a');
            for (auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QKeyEvent event(type, key, Qt::NoModifier, QString(c));
                QApplication::sendEvent(QApplication::focusWidget(), &event);
            }
        }
        EXPECT_EQ(h.assistant->messages().size(), messages) << "the conversation is kept";
        if (row.focused(pane) == pane.composer()) {
            EXPECT_EQ(pane.composer()->text(), row.typed);
        }
        EXPECT_EQ(pane.endpointField()->text().toStdString(), endpoint.toStdString());
        EXPECT_EQ(pane.modelNameField()->text().toStdString(), modelName.toStdString());
        ASSERT_TRUE(processEventsUntil([&] {
            return !h.manager->isBusy() && !h.assistant->hasPendingModelStart() &&
                   h.manager->engineRunning() == h.manager->serverProcessAlive();
        }));
        EXPECT_EQ(QApplication::focusWidget(), row.settled(pane));
    }
}

// A text shown in part says so in the language of the question: the echo of a long question is a long answer.
TEST(AssistantPaneView, ALongMessageSaysItIsShownInPartInTheQuestionsLanguage)
{
    test::qtApp(true);
    test::StandInLlamaServer server;
    ASSERT_TRUE(server.listen());
    const std::string filler(70'000, '!');
    struct Case {
        std::string question;
        QString notice;
        std::string next;  // a later question in the other language
    };
    const Case cases[] = {
        {"Why is my score like this? ", "Showing the first ", "Por que?"},
        {"Por que minha pontuação ficou assim? ", "Mostrando os primeiros ", "Why?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.question);
        PaneHarness h;
        h.assistant->selectProvider(AIAssistantProvider::localModel);
        h.assistant->setLocalEndpoint(server.endpoint().toStdString());
        for (const std::string& question : {c.question + filler, c.next}) {
            h.assistant->sendMessage(question);
            ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
        }
        const auto& bubbles = h.pane->bubbles();
        ASSERT_EQ(bubbles.size(), 5u);
        EXPECT_EQ(h.assistant->messages()[2].text, "Stand-in answer: " + c.question + filler);
        for (const AssistantBubble* bubble : {bubbles[1], bubbles[2]})
            EXPECT_TRUE(bubble->cutNotice()->text().startsWith(c.notice)) << bubble->cutNotice()->text().toStdString();
        for (const AssistantBubble* bubble : {bubbles[0], bubbles[3], bubbles[4]})
            EXPECT_FALSE(bubble->cutNotice()->isVisibleTo(h.pane.get()));
    }
}

TEST(AssistantPaneView, TextsAreShownWholeAndPlainWithThePartsInReadingOrder)
{
    // Without an engine, the manager's status names the folder to put it in: a long text.
    PaneHarness h(false, QDir::tempPath() +
                             "/a data folder whose name runs on for many words, so that no pane is "
                             "wide enough for the path on one line XXXXXX");
    AssistantPane& pane = *h.pane;
    h.assistant->selectManagedModel(h.model);
    pane.setCompact(true);
    pane.resize(pane.minimumSizeHint().width(), 700);
    QCoreApplication::processEvents();
    const int narrowest = pane.minimumSizeHint().width();
    const auto rect = [&](QWidget* w) { return QRect(w->mapTo(&pane, QPoint(0, 0)), w->size()); };
    const auto expectWhole = [&](QLabel* label) {
        SCOPED_TRACE(label->text().toStdString());
        EXPECT_TRUE(label->isVisible());
        // A reply or an error may carry markup: it is shown, never rendered.
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        EXPECT_GT(label->fontMetrics().horizontalAdvance(label->text()), pane.width()) << "a long text";
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
        EXPECT_LE(rect(label).right(), pane.width());
        EXPECT_LE(pane.minimumSizeHint().width(), narrowest) << "no status widens the pane";
    };
    // The assistant repeats the manager's news, which is then shown once; later it says something else.
    h.assistant->installEngineForManagedModel(h.model);
    QCoreApplication::processEvents();
    expectWhole(pane.statusLabel());
    EXPECT_FALSE(pane.managerStatusLabel()->isVisible());
    h.assistant->selectProvider(AIAssistantProvider::localModel);
    QCoreApplication::processEvents();
    expectWhole(pane.managerStatusLabel());

    QWidget* column[] = {pane.selector(),
                         pane.modelList(),
                         pane.endpointField(),
                         pane.managerStatusLabel(),
                         pane.conversation(),
                         pane.statusLabel(),
                         button(pane, "Analyze my result"),
                         pane.composer()};
    for (std::size_t i = 1; i < std::size(column); ++i)
        EXPECT_LE(rect(column[i - 1]).bottom(), rect(column[i]).top()) << i;
    EXPECT_LT(rect(pane.endpointField()).right(), rect(pane.modelNameField()).left());
    EXPECT_GT(pane.endpointField()->width(), pane.modelNameField()->width()) << "an address is longer than a name";
    std::vector<QWidget*> row{pane.composer(), pane.sendButton(), pane.stopButton(), pane.clearButton(),
                              pane.exportButton()};
    for (const auto& action : AssistantPane::quickActions()) row.push_back(button(pane, action.title));
    for (std::size_t i = 1; i < row.size(); ++i) {
        if (i == 5) continue;  // the quick actions are a row of their own
        EXPECT_LT(rect(row[i - 1]).right(), rect(row[i]).left()) << i;
        EXPECT_EQ(rect(row[i - 1]).center().y(), rect(row[i]).center().y()) << i;
    }

    // Every catalog model is listed; one without its file says so, and each tells where its file goes.
    const auto& catalog = h.manager->catalog();
    QComboBox* list = pane.modelList();
    ASSERT_EQ(list->count(), static_cast<int>(catalog.size()));
    for (int i = 0; i < list->count(); ++i) {
        const QString name = QString::fromStdString(catalog[i].displayName);
        EXPECT_EQ(list->itemText(i), i == 0 ? name : name + " — not downloaded");
        EXPECT_EQ(list->itemData(i).toString().toStdString(), catalog[i].id);
        EXPECT_EQ(list->itemData(i, Qt::ToolTipRole).toString(), h.manager->modelPath(catalog[i]));
    }

    // A low window gets tighter rows.
    const int tight = pane.composer()->sizeHint().height();
    pane.setCompact(false);
    EXPECT_LT(tight, pane.composer()->sizeHint().height());
}

// Bottoms of a text view's lines, in its document, from the first line on.
std::vector<double> lineBottoms(const QTextEdit& view)
{
    std::vector<double> bottoms;
    const QTextDocument& document = *view.document();
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QRectF at = document.documentLayout()->blockBoundingRect(block);
        for (int i = 0; i < block.layout()->lineCount(); ++i)
            bottoms.push_back(at.top() + block.layout()->lineAt(i).rect().bottom());
    }
    return bottoms;
}

TEST(AssistantPaneView, TheContentKeepsEvenInsetsAndTheConversationTwoLines)
{
    PaneHarness h;
    AssistantPane& pane = *h.pane;
    // A low window tightens the insets at the top and bottom; opposite edges stay alike.
    int normalTop = 0;
    for (bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "normal");
        pane.setCompact(compact);
        QCoreApplication::processEvents();
        QRect content;
        for (QWidget* child : pane.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (child->isVisible()) content |= child->geometry();
        EXPECT_EQ(content.left(), pane.width() - 1 - content.right());
        EXPECT_EQ(content.top(), pane.height() - 1 - content.bottom());
        EXPECT_GT(content.left(), content.top())
            << "height is what the pane shares with the results: less of it goes to insets";
        if (compact) {
            EXPECT_LT(content.top(), normalTop);
        }
        normalTop = content.top();
    }

    // However low the divider, the conversation shows a message's header and its first two lines,
    // and keeps no more than that from the results above.
    const QScrollArea& scroll = *pane.conversation();
    ASSERT_FALSE(pane.bubbles().empty()) << "the welcome is shown from the start";
    const AssistantBubble& first = *pane.bubbles().front();
    const int frame = scroll.height() - scroll.viewport()->height();
    const int textTop = first.textView()->viewport()->mapTo(scroll.viewport(), QPoint(0, 0)).y();
    const auto lines = lineBottoms(*first.textView());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(scroll.minimumHeight(), frame + textTop + static_cast<int>(std::ceil(lines[1])));
}

// A question pasted into the composer is sent whole up to the limit, and a longer one is cut to it
// between two characters, with a notice under the composer in the question's language; the line
// itself never holds more than it can lay out at every keystroke, and whatever it shows is the draft.
TEST(AssistantPaneView, APastedQuestionIsSentWholeOrCutWithANotice)
{
    const auto repeated = [](const std::string& unit, std::size_t bytes) {
        std::string text;
        while (text.size() < bytes) text += unit;
        return text;
    };
    const std::size_t limit = AssistantPane::questionLimitBytes;
    const std::string words = "Scores:\n\tCPU\r\n" + repeated("Why is my score low? ", 100'000);
    const std::string portuguese = repeated("Por que minha pontuação ficou baixa? ", limit + 9);
    std::size_t kept = limit;
    while ((static_cast<unsigned char>(portuguese[kept]) & 0xC0) == 0x80) --kept;
    const std::string letters(limit, 'a');
    const std::string accented = std::string(limit - 1, 'b') + "e\u0301";
    const std::string flagged = std::string(limit - 4, 'c') + "🇧🇷";
    // The held line's beginning ends before a character it cannot show whole.
    const std::string beginning = std::string(199, 'd') + "e\u0301" + repeated(" Why?", 20'000);
    // It keeps the character before an emoji whose surrogate pair straddles its end.
    const std::string toned = std::string(199, 'd') + "👍🏽" + std::string(20'000, 'd');
    const std::string flags = std::string(195, 'd') + "🇧🇷🇵🇹" + std::string(20'000, 'd');
    // Emoji past the limit: whole characters, the last one that does not fit left out.
    const std::string emoji = std::string("a").append(repeated("👍🏽", limit));
    // One character, longer than any real one: cut inside rather than emptied.
    const std::string marked = std::string("a").append(repeated("\u0301", limit));
    // One long character of 20,000 accents: the held line's beginning is cut inside it rather than emptied.
    const std::string accents = std::string("a").append(repeated("\u0301", 40'000));
    // Typed to the line's limit and one character past it.
    const std::string typed =
        repeated("Near the limit of the line. ", 20'000).substr(0, AssistantPane::composerEditLimit + 1);
    // Pasted by the keyboard or the line's context menu, dropped, or typed after the paste of all but
    // its last five characters.
    enum class How { keys, menu, drop, typed };
    struct Case {
        std::string pasted;
        std::string kept;  // sent, where `send`; else the draft held
        QString notice;    // empty: none
        bool send;
        std::string before = {};  // a long question pasted first, held, then replaced
        QString line = {};        // the held line's beginning; empty: not held
        How how = How::keys;
    };
    const Case cases[] = {
        {"Why?", "Why?", "", true},
        {"Why?", "Why?", "", true, {}, {}, How::menu},
        {"Why?", "Why?", "", true, {}, {}, How::drop},
        {words,
         QString::fromStdString(words).trimmed().toStdString(),
         "Only the beginning of this long question (98 KiB)",
         true,
         {},
         "Scores:  CPU  Why is my score low? Why"},
        {words,
         QString::fromStdString(words).trimmed().toStdString(),
         "Only the beginning of this long question (98 KiB)",
         true,
         {},
         "Scores:  CPU  Why is my score low? Why",
         How::drop},
        {"hello short", "hello short", "", true, repeated("Why is my score low? ", 20'000)},
        {typed,
         QString::fromStdString(typed).trimmed().toStdString(),
         "Only the beginning of this long question (17 KiB)",
         true,
         {},
         "Near the limit of the line.",
         How::typed},
        {beginning, beginning, "Only the beginning of this long question (", false, {}, QString(199, 'd') + "…"},
        {accents,
         accents,
         "Only the beginning of this long question (",
         false,
         {},
         "a" + QString(199, QChar(0x301)) + "…"},
        {toned, toned, "Only the beginning of this long question (", false, {}, QString(199, 'd') + "…"},
        {flags, flags, "Only the beginning of this long question (", false, {}, QString(195, 'd') + "🇧🇷…"},
        // Held, not sent: the expert reading 4 MiB is a bench's matter, and slow under the sanitizers.
        {portuguese, portuguese.substr(0, kept), "O texto colado tinha 4097 KiB; uma pergunta tem no máximo 4096 KiB",
         false},
        {letters, letters, "Only the beginning of this long question (4096 KiB) is shown here; all of it is sent.",
         false},
        {accented, accented.substr(0, limit - 1),
         "The pasted text had 4097 KiB; a question holds at most 4096 KiB, so only its first 4095 KiB are kept", false},
        {flagged, flagged.substr(0, limit - 4),
         "The pasted text had 4097 KiB; a question holds at most 4096 KiB, so only its first 4095 KiB are kept", false},
        {emoji, emoji.substr(0, limit - 7),
         "The pasted text had 4097 KiB; a question holds at most 4096 KiB, so only its first 4095 KiB are kept", false},
        {marked, marked.substr(0, limit - 1),
         "The pasted text had 4097 KiB; a question holds at most 4096 KiB, so only its first 4095 KiB are kept", false},
    };
    auto paste = [](QLineEdit* composer, const std::string& text, How how = How::keys) {
        if (how == How::typed) {
            QApplication::clipboard()->setText(QString::fromStdString(text).chopped(5));
            for (const auto& [key, modifiers] :
                 {std::pair{Qt::Key_V, Qt::ControlModifier}, {Qt::Key_End, Qt::NoModifier}}) {
                QKeyEvent event(QEvent::KeyPress, key, modifiers);
                QCoreApplication::sendEvent(composer, &event);
            }
            for (QChar c : QString::fromStdString(text).right(5)) {
                // Within the limit the line edits itself, the cursor where it was; past it, the line is held.
                EXPECT_FALSE(composer->isReadOnly());
                EXPECT_EQ(composer->cursorPosition(), composer->text().size());
                QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
                QCoreApplication::sendEvent(composer, &key);
                // Painted as in a window, where the line scrolls to follow the cursor.
                QCoreApplication::processEvents();
            }
            return;
        }
        if (how == How::drop) {
            QMimeData dropped;
            dropped.setText(QString::fromStdString(text));
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(composer, &enter);
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(composer, &drop);
            return;
        }
        QApplication::clipboard()->setText(QString::fromStdString(text));
        if (how == How::keys) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
            QCoreApplication::sendEvent(composer, &key);
            return;
        }
        QContextMenuEvent open(QContextMenuEvent::Keyboard, QPoint(5, 5), composer->mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(composer, &open);
        QMenu* menu = composer->findChild<QMenu*>();
        ASSERT_NE(menu, nullptr);
        for (QAction* action : menu->actions())
            if (action->text().startsWith("&Paste")) action->trigger();
        menu->close();
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kept.substr(0, 40));
        qsizetype longest = 0;  // in the line at any moment
        PaneHarness h;
        AssistantPane& pane = *h.pane;
        QObject::connect(pane.composer(), &QLineEdit::textChanged,
                         [&](const QString& text) { longest = std::max(longest, text.size()); });
        if (!c.before.empty()) paste(pane.composer(), c.before);
        paste(pane.composer(), c.pasted, c.how);
        // Typed, one character more for as long as it takes to hold the question.
        EXPECT_LE(longest, AssistantPane::composerEditLimit + (c.how == How::typed ? 1 : 0));
        EXPECT_EQ(pane.composerNotice()->isVisibleTo(&pane), !c.notice.isEmpty());
        // Typing into a held question's beginning would make that beginning the draft.
        EXPECT_EQ(pane.composer()->isReadOnly(), !c.notice.isEmpty());
        if (!c.notice.isEmpty()) {
            EXPECT_TRUE(pane.composerNotice()->text().startsWith(c.notice))
                << pane.composerNotice()->text().toStdString();
            EXPECT_EQ(pane.composer()->cursorPosition(), 0) << "the line shows the question's beginning";
            QApplication::clipboard()->clear();
            QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
            QCoreApplication::sendEvent(pane.composer(), &copy);
            EXPECT_TRUE(QApplication::clipboard()->text().toStdString() == h.assistant->draft())
                << "Ctrl+C copies the whole question";
            QApplication::clipboard()->clear();
            QContextMenuEvent open(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                   pane.composer()->mapToGlobal(QPoint(5, 5)));
            QCoreApplication::sendEvent(pane.composer(), &open);
            QMenu* menu = pane.composer()->findChild<QMenu*>();
            ASSERT_NE(menu, nullptr);
            for (QAction* action : menu->actions())
                if (action->text().startsWith("&Copy")) {
                    EXPECT_TRUE(action->isEnabled());
                    action->trigger();
                }
            menu->close();
            delete menu;
            EXPECT_TRUE(QApplication::clipboard()->text().toStdString() == h.assistant->draft())
                << "the menu's Copy copies the whole question";
            // Whatever the line showed before, its beginning is in view.
            QCoreApplication::processEvents();
            const QRect cursor = pane.composer()->inputMethodQuery(Qt::ImCursorRectangle).toRect();
            EXPECT_TRUE(pane.composer()->rect().contains(cursor.center())) << cursor.x();
        }
        if (!c.line.isEmpty()) {
            EXPECT_TRUE(pane.composer()->text().startsWith(c.line)) << pane.composer()->text().toStdString();
        }
        if (!c.send) {
            EXPECT_TRUE(h.assistant->draft() == c.kept) << h.assistant->draft().size();
            continue;
        }
        if (c.pasted.size() > 1000) {
            // Backspace removes a held question whole, and the line takes typing again; pasted again,
            // the question is held again.
            QKeyEvent backspace(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
            QCoreApplication::sendEvent(pane.composer(), &backspace);
            EXPECT_EQ(h.assistant->draft(), "");
            EXPECT_TRUE(pane.composer()->text().isEmpty());
            EXPECT_FALSE(pane.composerNotice()->isVisibleTo(&pane));
            type(pane.composer(), "x", false);
            EXPECT_EQ(h.assistant->draft(), "x");
            pane.composer()->selectAll();
            paste(pane.composer(), c.pasted);
        }
        type(pane.composer(), "", true);
        ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
        const auto& messages = h.assistant->messages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_TRUE(messages[messages.size() - 2].text == c.kept) << messages[messages.size() - 2].text.size();
        EXPECT_TRUE(pane.composer()->text().isEmpty());
        EXPECT_FALSE(pane.composerNotice()->isVisibleTo(&pane));
        type(pane.composer(), "next", false);
        EXPECT_EQ(h.assistant->draft(), "next") << "the line takes typing after a send";
    }
}

// An input method (how Chinese, Japanese and Korean are typed) writes only where the user types: a
// clicked answer or question, and a held question, show, copy and send what they did before.
TEST(AssistantPaneView, AnInputMethodWritesOnlyIntoTheEditableComposer)
{
    std::string held = "Why?";
    while (held.size() < 17'000) held += " Why?";
    const struct {
        const char* what;
        std::string draft;  // pasted into the composer; held when too long for it
        int clicked;        // a bubble's index; -1: the composer
        std::string sent;
    } rows[] = {
        {"the welcome answer", "Why", 0, "Why"},
        {"a question", "Why", 1, "Why"},
        {"a held question", held, -1, held},
        {"the composer", "Why ", -1, "Why 你好"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        PaneHarness h;
        AssistantPane& pane = *h.pane;
        type(pane.composer(), "Why is my GPU slower?", true);
        ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
        QApplication::clipboard()->setText(QString::fromStdString(row.draft));
        QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
        QCoreApplication::sendEvent(pane.composer(), &paste);
        const bool isHeld = pane.composerNotice()->isVisibleTo(&pane);
        pane.activateWindow();
        ASSERT_TRUE(processEventsUntil([&] { return pane.isActiveWindow(); }));
        AssistantBubbleText* bubble = row.clicked >= 0 ? pane.bubbles()[row.clicked]->textView() : nullptr;
        QWidget* target = bubble ? static_cast<QWidget*>(bubble) : pane.composer();
        target->setFocus(Qt::MouseFocusReason);
        ASSERT_EQ(QGuiApplication::focusObject(), target);
        const auto shown = [&] { return bubble ? bubble->toPlainText() : pane.composer()->text(); };
        const QString before = shown();
        const bool editable = !bubble && !isHeld;
        QInputMethodQueryEvent query(Qt::ImEnabled);
        QCoreApplication::sendEvent(target, &query);
        EXPECT_EQ(query.value(Qt::ImEnabled).toBool(), editable) << "asks for an input method";
        QInputMethodEvent preedit("ni", {});
        QCoreApplication::sendEvent(QGuiApplication::focusObject(), &preedit);
        QInputMethodEvent commit;
        commit.setCommitString("你好");
        QCoreApplication::sendEvent(QGuiApplication::focusObject(), &commit);
        if (editable) {
            EXPECT_EQ(shown().toStdString(), row.sent);
        } else {
            EXPECT_EQ(shown().toStdString(), before.toStdString());
            EXPECT_EQ(pane.composerNotice()->isVisibleTo(&pane), isHeld);
        }
        if (bubble) {
            for (const auto key : {Qt::Key_A, Qt::Key_C}) {
                QKeyEvent select(QEvent::KeyPress, key, Qt::ControlModifier);
                QCoreApplication::sendEvent(target, &select);
            }
            EXPECT_EQ(QApplication::clipboard()->text().toStdString(), h.assistant->messages()[row.clicked].text);
        }
        pane.sendButton()->click();
        ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
        const auto& messages = h.assistant->messages();
        EXPECT_TRUE(messages[messages.size() - 2].text == row.sent) << messages[messages.size() - 2].text.size();
    }
}

// A click that leaves the keyboard in the composer first has the input method hand over the word it
// is composing, once, whichever module drives it: Send sends what the composer shows, and any other
// control leaves the word there. What the user types next goes in, even the same word.
TEST(AssistantPaneView, AClickHandsOverTheWordBeingComposedOnce)
{
    using Control = std::function<QWidget*(AssistantPane&)>;
    using IM = testing::StandInInputContext;
    const Control send = [](AssistantPane& p) { return p.sendButton(); };
    const Control quick = [](AssistantPane& p) { return p.quickActionButtons().front(); };
    const Control local = [](AssistantPane& p) { return p.selector()->segment(AIAssistantProvider::localModel); };
    const Control models = [](AssistantPane& p) { return p.modelList(); };
    const std::string prompt = AssistantPane::quickActions().front().prompt;
    // What the user types after the clicks: a preedit and commit, a commit alone, or keys the input
    // method lets through.
    const struct Next {
        double wait;  // seconds after the clicks
        QString preedit, commit;
        bool keys = false;
    } again{0, "为什么", "为什么"}, againHangul{0, "녕", "녕"};
    const struct {
        const char* what;
        IM::Module module;
        bool localFirst;  // the local model's controls show before typing
        QString typed, composing;
        std::vector<Control> clicked;  // one after another; an empty one waits for a repeat to come
        std::string asked;             // the question sent by the clicks, if any
        QString kept;                  // what the composer holds after them
        Next next;
    } rows[] = {
        {"Send, pinyin", IM::ibus, false, "你好", "为什么", {send}, "你好为什么", "", again},
        {"Send, hangul", IM::ibusHangul, false, "한 안", "녕", {send}, "한 안녕", "", againHangul},
        {"a quick action, hangul", IM::ibusHangul, false, "한 안", "녕", {quick}, prompt, "", againHangul},
        {"the provider, hangul", IM::ibusHangul, false, "한 안", "녕", {local}, "", "한 안녕", againHangul},
        {"the provider, pinyin", IM::ibus, false, "你好", "为什么", {local}, "", "你好为什么", again},
        {"a list, hangul", IM::ibusHangul, true, "한 안", "녕", {models}, "", "한 안녕", {0, "", "녕"}},
        {"a list, hangul, a key", IM::ibusHangul, true, "한 안", "녕", {models}, "", "한 안녕", {0, "", "?", true}},
        {"Send, Fcitx5 pinyin", IM::fcitx, false, "你好", "为什么", {send}, "你好为什么", "", again},
        {"Send, Fcitx5 hangul", IM::fcitx, false, "한 안", "녕", {send}, "한 안녕", "", againHangul},
        {"two presses, hangul", IM::ibusHangul, false, "한 안", "녕", {local, models}, "", "한 안녕", againHangul},
        {"after the repeat", IM::ibusHangul, false, "한 안", "녕", {local, {}, local}, "", "한 안녕", {0, "", "녕"}},
        {"the provider, Fcitx5, a ？", IM::fcitx, false, "你好", "为什么", {local}, "", "你好为什么", {0, "", "？"}},
        {"the provider, 1.5 s", IM::ibus, false, "你好", "为什么", {local}, "", "你好为什么", {1.5, "", "为什么"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        PaneHarness h;
        AssistantPane& pane = *h.pane;
        if (row.localFirst) {
            h.assistant->selectProvider(AIAssistantProvider::localModel);
            pane.refreshControls();
        }
        ASSERT_TRUE(h.clickIntoComposer());
        IM* ime = IM::current();
        ASSERT_NE(ime, nullptr) << "the platform runs the stand-in input method";
        ime->drive(row.module);
        testing::FakeClock clock;
        setCompositionRepeatClock(clock);
        ime->commitText(row.typed);
        ime->compose(row.composing);
        const std::size_t before = h.assistant->messages().size();
        QTest::mouseMove(row.clicked.front()(pane));
        QCoreApplication::processEvents();
        EXPECT_EQ(pane.composer()->text(), row.typed) << "the word is composed until the press";
        for (const Control& control : row.clicked) {
            if (!control) {
                QTest::qWait(20);
                continue;
            }
            ASSERT_TRUE(control(pane)->isVisible());
            QTest::mouseClick(control(pane), Qt::LeftButton);
        }
        ASSERT_TRUE(processEventsUntil([&] { return !h.assistant->isResponding(); }));
        QTest::qWait(20);  // the repeat, where it comes, has come
        EXPECT_EQ(pane.composer()->text(), row.kept) << "while a list the click opened shows";
        pane.modelList()->hidePopup();
        const auto& messages = h.assistant->messages();
        if (row.asked.empty()) {
            EXPECT_EQ(messages.size(), before);
        } else {
            ASSERT_EQ(messages.size(), before + 2) << "one question, one answer";
            EXPECT_EQ(messages[before].text, row.asked);
        }
        EXPECT_EQ(pane.composer()->text(), row.kept);
        // The window takes back the keyboard from a closed list through the event queue.
        EXPECT_TRUE(processEventsUntil([&] { return QGuiApplication::focusObject() == pane.composer(); }));
        clock.advance(row.next.wait);
        if (!row.next.preedit.isEmpty()) ime->compose(row.next.preedit);
        if (row.next.keys)
            QTest::keyClicks(pane.composer(), row.next.commit);
        else
            ime->commitText(row.next.commit);
        EXPECT_EQ(pane.composer()->text(), row.kept + row.next.commit) << "what is typed next goes in";
        setCompositionRepeatClock({});
    }
}

// Under X11, Qt announces a closed pop-up list as the focus object when the list, opened once, is
// disabled: the input method is told again where the keyboard is, and keeps the composer's keys.
TEST(AssistantPaneView, AClosedListAnnouncedAsFocusLeavesTheInputMethodInTheComposer)
{
    PaneHarness h;
    ASSERT_TRUE(h.clickIntoComposer());
    const testing::StandInInputContext* ime = testing::StandInInputContext::current();
    ASSERT_NE(ime, nullptr);
    QObject* closedList = h.pane->modelList()->view()->window();
    ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "_q_updateFocusObject", Q_ARG(QObject*, closedList)));
    EXPECT_TRUE(ime->inputMethodAccepted());
    EXPECT_EQ(ime->toldFocus(), h.pane->composer());
}
}  // namespace
}  // namespace korvalen
