#include "Assistant/Views/AssistantPane.h"

#include "Assistant/Expert/UserPerceivedCharacters.h"
#include "Assistant/Views/AssistantBubble.h"
#include "Assistant/Views/AssistantProviderSelector.h"
#include "Assistant/Views/FocusHandOff.h"
#include "Assistant/Views/InputMethodWhenEditable.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace korvalen {

namespace {

QString qs(const std::string& s)
{
    return QString::fromStdString(s);
}

std::size_t utf8Size(QStringView text)
{
    std::size_t bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80) {
            bytes += 1;
        } else if (c < 0x800) {
            bytes += 2;
        } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes += 4;
            ++i;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

// The longest beginning of a text that fits `limit` UTF-8 bytes, never ending inside a surrogate pair.
qsizetype prefixWithin(QStringView text, std::size_t limit)
{
    std::size_t bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const std::size_t size = pair ? 4 : utf8Size(text.mid(i, 1));
        if (bytes + size > limit) break;
        bytes += size;
        i += pair ? 2 : 1;
    }
    return i;
}

std::string kibText(std::size_t bytes, bool roundUp)
{
    return std::to_string(roundUp ? (bytes + 1023) / 1024 : bytes / 1024);
}

// Shows a setting in its field, in place of whatever was typed there; an unchanged text keeps the cursor.
void showSetting(QLineEdit* field, const std::string& value)
{
    const QString text = qs(value);
    if (field->text() != text) field->setText(text);
}

}  // namespace

// The composer's line. What is pasted or dropped goes through the pane, which holds a question too
// long for the line instead of inserting it; while one is held the line shows its beginning, read
// only: Backspace or Delete removes the question, Copy copies all of it, and typed text, an input
// method's too, goes nowhere.
class AssistantPane::ComposerField : public InputMethodWhenEditable<QLineEdit> {
public:
    explicit ComposerField(AssistantPane* pane) : InputMethodWhenEditable(pane), pane_(pane)
    {
        // Qt would cut a longer text silently; the pane bounds it itself.
        setMaxLength(std::numeric_limits<int>::max());
    }

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->matches(QKeySequence::Paste) && pane_->insertIntoComposer(QApplication::clipboard()->text())) return;
        if (!pane_->heldQuestion_.isEmpty()) {
            if (event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete) {
                pane_->holdQuestion({});
                pane_->assistant_.setDraft("");
                return;
            }
            if (event->matches(QKeySequence::Copy)) {
                QApplication::clipboard()->setText(pane_->heldQuestion_);
                return;
            }
        }
        QLineEdit::keyPressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        // The X11 selection, pasted by the middle button.
        QClipboard* clipboard = QApplication::clipboard();
        if (event->button() == Qt::MiddleButton && clipboard->supportsSelection() &&
            pane_->insertIntoComposer(clipboard->text(QClipboard::Selection)))
            return;
        QLineEdit::mouseReleaseEvent(event);
    }
    void dropEvent(QDropEvent* event) override
    {
        if (event->mimeData()->hasText() && pane_->insertIntoComposer(event->mimeData()->text())) {
            event->acceptProposedAction();
            return;
        }
        QLineEdit::dropEvent(event);
    }
    void contextMenuEvent(QContextMenuEvent* event) override
    {
        QMenu* menu = createStandardContextMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        for (QAction* action : menu->actions()) {
            // The standard menu names its actions only by their texts.
            if (action->text().startsWith(QLineEdit::tr("&Paste"))) {
                action->disconnect();
                connect(action, &QAction::triggered, this, [this] {
                    if (!pane_->insertIntoComposer(QApplication::clipboard()->text())) paste();
                });
            } else if (action->text().startsWith(QLineEdit::tr("&Copy")) && !pane_->heldQuestion_.isEmpty()) {
                action->disconnect();
                action->setEnabled(true);
                connect(action, &QAction::triggered, this,
                        [this] { QApplication::clipboard()->setText(pane_->heldQuestion_); });
            }
        }
        menu->popup(event->globalPos());
    }

private:
    AssistantPane* pane_;
};

const std::vector<AssistantPane::QuickAction>& AssistantPane::quickActions()
{
    static const std::vector<QuickAction> actions = {
        {"Analyze my result",
         "Analyze my latest benchmark result in depth. Identify strengths, bottlenecks, anomalies, and certification "
         "issues."},
        {"Compare CPU and GPU",
         "Compare backends: CPU vs GPU in my latest run. Show where each backend wins or loses, by how much, and what "
         "explains the gap."},
        {"Compare runs",
         "Compare my latest run to my previous run and explain what changed: scores, workloads, regressions and "
         "improvements."},
        {"How to improve",
         "What should I do to improve my scores and make my results more stable? Recommend concrete steps and the "
         "workloads to retest."},
    };
    return actions;
}

AssistantPane::AssistantPane(AssistantConversationController& assistant, std::function<bool()> runIsBusy,
                             QWidget* parent)
    : QWidget(parent), assistant_(assistant), runIsBusy_(std::move(runIsBusy))
{
    setObjectName("AssistantPane");
    // The window's style sheet decides the look of its children; the pane adds what it draws itself.
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(R"(
#AssistantPane { background: #11151c; border-top: 1px solid #262d3a; }
#AssistantViewport, #AssistantMessages { background: transparent; border: none; }
#AssistantPane QScrollArea { background: transparent; border: 1px solid transparent; border-radius: 6px; }
#AssistantPane QScrollArea:focus { border-color: #7fb0ff; }
#AssistantPane QLineEdit { background: #1b2130; border: 1px solid #2c3445; border-radius: 6px; padding: 6px 8px;
                           color: #e6eaf2; selection-background-color: #2b4f91; }
#AssistantPane QLineEdit:focus { border-color: #7fb0ff; }
#AssistantPane[compact="true"] QPushButton { padding-top: 4px; padding-bottom: 4px; }
#AssistantPane[compact="true"] QLineEdit { padding-top: 4px; padding-bottom: 4px; }
#AssistantPane[compact="true"] QComboBox { padding-top: 3px; padding-bottom: 3px; }
)");
    auto* layout = new QVBoxLayout(this);
    layout_ = layout;
    layout->setContentsMargins(14, 10, 14, 10);
    layout->setSpacing(6);

    // Compact rows: the pane shares the window's height with the results above it.
    auto* header = new QHBoxLayout;
    header->setSpacing(12);
    auto* title = new QLabel("AI Assistant", this);
    title->setObjectName("SessionTitle");
    header->addWidget(title);
    selector_ = new AssistantProviderSelector(
        assistant_.provider(), false, [this](AIAssistantProvider p) { assistant_.selectProvider(p); }, this);
    header->addWidget(selector_, 1);
    layout->addLayout(header);

    // The local model: a catalog model of the managed engine, or any OpenAI-compatible endpoint.
    localBox_ = new QWidget(this);
    auto* local = new QVBoxLayout(localBox_);
    local->setContentsMargins(0, 0, 0, 0);
    local->setSpacing(6);
    // The model and its commands share one row, so the pane still fits under the results at the
    // window's minimum size.
    auto* modelRow = new QHBoxLayout;
    models_ = new QComboBox(localBox_);
    models_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    models_->setMinimumContentsLength(12);
    useModel_ = new QPushButton("Use", localBox_);
    startModel_ = new QPushButton("Start", localBox_);
    stopModel_ = new QPushButton("Stop", localBox_);
    findEngine_ = new QPushButton("Find engine", localBox_);
    modelRow->addWidget(models_, 1);
    for (QPushButton* b : {useModel_, startModel_, stopModel_, findEngine_}) modelRow->addWidget(b);
    local->addLayout(modelRow);
    auto* endpointRow = new QHBoxLayout;
    endpoint_ = new QLineEdit(localBox_);
    endpoint_->setPlaceholderText("Endpoint, e.g. http://127.0.0.1:8080/v1");
    modelName_ = new QLineEdit(localBox_);
    modelName_->setPlaceholderText("Model name");
    endpointRow->addWidget(endpoint_, 3);
    endpointRow->addWidget(modelName_, 2);
    local->addLayout(endpointRow);
    managerStatus_ = new QLabel(localBox_);
    managerStatus_->setTextFormat(Qt::PlainText);
    managerStatus_->setWordWrap(true);
    managerStatus_->setProperty("secondary", true);
    local->addWidget(managerStatus_);
    layout->addWidget(localBox_);

    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Clicked to scroll back and reread, it leaves the keyboard in the composer; Tab still reaches it.
    scroll_->setFocusPolicy(Qt::TabFocus);
    scroll_->viewport()->setObjectName("AssistantViewport");
    list_ = new QWidget(scroll_);
    list_->setObjectName("AssistantMessages");
    listLayout_ = new QVBoxLayout(list_);
    listLayout_->setContentsMargins(0, 0, 6, 0);
    listLayout_->setSpacing(10);
    listLayout_->addStretch(1);
    scroll_->setWidget(list_);
    // A long answer is read from its beginning: the view follows the newest message's top.
    connect(scroll_->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (followNewest_ && !bubbles_.empty())
            scroll_->verticalScrollBar()->setValue(std::min(maximum, bubbles_.back()->y()));
    });
    // Reading back through the conversation stops the pane from jumping to the newest message.
    connect(scroll_->verticalScrollBar(), &QScrollBar::sliderMoved, this, [this] { followNewest_ = false; });
    layout->addWidget(scroll_, 1);

    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setProperty("secondary", true);
    status_->setWordWrap(true);
    layout->addWidget(status_);

    auto* quickRow = new QGridLayout;
    quickRow->setSpacing(6);
    for (const QuickAction& action : quickActions()) {
        auto* button = new QPushButton(action.title, this);
        button->setToolTip(action.prompt);
        const std::string prompt = action.prompt;
        connect(button, &QPushButton::clicked, this, [this, prompt] { assistant_.sendMessage(prompt); });
        const int index = static_cast<int>(quick_.size());
        quickRow->addWidget(button, 0, index);
        quick_.push_back(button);
    }
    layout->addLayout(quickRow);

    auto* composeRow = new QHBoxLayout;
    composer_ = new ComposerField(this);
    composer_->setPlaceholderText("Ask about your results, or anything with Local LLM…");
    send_ = new QPushButton("Send", this);
    send_->setObjectName("StartButton");
    composeRow->addWidget(composer_, 1);
    composeRow->addWidget(send_);
    stop_ = new QPushButton("Stop", this);
    stop_->setObjectName("StopButton");
    clear_ = new QPushButton("Clear", this);
    export_ = new QPushButton("Export…", this);
    composeRow->addWidget(stop_);
    composeRow->addWidget(clear_);
    composeRow->addWidget(export_);
    layout->addLayout(composeRow);
    composerNotice_ = new QLabel(this);
    composerNotice_->setTextFormat(Qt::PlainText);
    composerNotice_->setWordWrap(true);
    composerNotice_->setProperty("secondary", true);
    composerNotice_->hide();
    layout->addWidget(composerNotice_);

    assistant_.setExportLocationChooser([this](const QString& name) -> std::optional<QString> {
        const QString path = QFileDialog::getSaveFileName(this, "Export Conversation", QDir::home().filePath(name),
                                                          "Plain Text (*.txt)");
        if (path.isEmpty()) return std::nullopt;
        return path;
    });

    connect(composer_, &QLineEdit::textEdited, this, [this](const QString& text) {
        // Typed or put in some way the pane does not see: too long for the line, it is held.
        if (text.size() > composerEditLimit) return takeLongQuestion(text);
        assistant_.setDraft(text.toStdString());
    });
    connect(composer_, &QLineEdit::returnPressed, this, [this] { assistant_.sendMessage(); });
    connect(send_, &QPushButton::clicked, this, [this] { assistant_.sendMessage(); });
    connect(stop_, &QPushButton::clicked, this, [this] { assistant_.stopResponse(); });
    connect(clear_, &QPushButton::clicked, this, [this] { assistant_.clearConversation(); });
    connect(export_, &QPushButton::clicked, this, [this] { assistant_.exportConversation(); });
    auto chosenModel = [this]() -> std::optional<AssistantDownloadableModel> {
        return assistant_.modelManager().model(models_->currentData().toString().toStdString());
    };
    connect(useModel_, &QPushButton::clicked, this, [this, chosenModel] {
        if (auto m = chosenModel()) assistant_.selectManagedModel(*m);
    });
    connect(startModel_, &QPushButton::clicked, this, [this, chosenModel] {
        if (auto m = chosenModel()) assistant_.startManagedModel(*m);
    });
    connect(stopModel_, &QPushButton::clicked, this, [this] { assistant_.stopManagedModel(); });
    connect(findEngine_, &QPushButton::clicked, this, [this, chosenModel] {
        if (auto m = chosenModel()) assistant_.installEngineForManagedModel(*m);
    });
    // Return and leaving the field both finish an edit: it is committed once, and the field then
    // shows the setting again, so a later Return cannot bring back what it held before.
    connect(endpoint_, &QLineEdit::editingFinished, this, [this] {
        const std::string text = endpoint_->text().trimmed().toStdString();
        if (text != assistant_.localEndpoint()) assistant_.setLocalEndpoint(text);
        showSetting(endpoint_, assistant_.localEndpoint());
    });
    connect(modelName_, &QLineEdit::editingFinished, this, [this] {
        const std::string text = modelName_->text().trimmed().toStdString();
        if (text != assistant_.localModel()) assistant_.setLocalModel(text);
        showSetting(modelName_, assistant_.localModel());
    });

    connect(&assistant_, &AssistantConversationController::messagesChanged, this, &AssistantPane::syncMessages);
    connect(&assistant_, &AssistantConversationController::draftChanged, this, &AssistantPane::showDraft);
    connect(&assistant_, &AssistantConversationController::statusChanged, this, &AssistantPane::refreshControls);
    connect(&assistant_, &AssistantConversationController::respondingChanged, this, &AssistantPane::refreshControls);
    connect(&assistant_, &AssistantConversationController::providerChanged, this, &AssistantPane::refreshControls);
    // A new endpoint or model name (a managed start, a model switch) replaces an edit not yet committed.
    connect(&assistant_, &AssistantConversationController::localSettingsChanged, this, [this] {
        showSetting(endpoint_, assistant_.localEndpoint());
        showSetting(modelName_, assistant_.localModel());
    });
    connect(&assistant_.modelManager(), &AssistantModelManager::changed, this, &AssistantPane::syncLocalControls);

    showSetting(endpoint_, assistant_.localEndpoint());
    showSetting(modelName_, assistant_.localModel());
    takeFocusFromTabOnly(this);
    syncMessages();
    refreshControls();
    // However the divider is placed, a message shows at least its first two lines.
    scroll_->setMinimumHeight(conversationHeight(2));
}

void AssistantPane::setCompact(bool compact)
{
    if (compact == property("compact").toBool()) return;
    setProperty("compact", compact);
    layout_->setContentsMargins(14, compact ? 6 : 10, 14, compact ? 6 : 10);
    layout_->setSpacing(compact ? 4 : 6);
    // The style sheet reads the property only when it is applied again.
    setStyleSheet(styleSheet());
}

void AssistantPane::refreshControls()
{
    const bool busy = runIsBusy_ && runIsBusy_();
    const bool responding = assistant_.isResponding();
    selector_->setSelectedProvider(assistant_.provider());
    std::vector<EnabledControl> controls = {
        {selector_->segment(AIAssistantProvider::olvaneExpert), !busy && !responding},
        {selector_->segment(AIAssistantProvider::localModel), !busy && !responding},
        {stop_, responding},
        {send_, !busy},
    };
    for (QPushButton* b : quick_) controls.emplace_back(b, !busy);
    // Stop once the answer has ended, or Send and a quick action once a run holds them: what is
    // typed next is the next question, and down the chain the next Space would press Clear.
    setEnabledHandingFocus(controls, {composer_});
    localBox_->setVisible(assistant_.provider() == AIAssistantProvider::localModel);
    status_->setText(assistant_.status());
    syncLocalControls();
}

void AssistantPane::syncLocalControls()
{
    AssistantModelManager& manager = assistant_.modelManager();
    const QString current = models_->currentData().toString();
    models_->clear();
    for (const auto& m : manager.catalog()) {
        const bool installed = manager.state(m.id).isInstalled();
        models_->addItem(qs(m.displayName) + (installed ? "" : " — not downloaded"), qs(m.id));
        // Nothing is downloaded here: the tip says where the model's file is read from.
        models_->setItemData(models_->count() - 1, manager.modelPath(m), Qt::ToolTipRole);
    }
    const QString wanted = current.isEmpty() && manager.selectedModelID() ? qs(*manager.selectedModelID()) : current;
    if (int index = models_->findData(wanted); index >= 0) models_->setCurrentIndex(index);
    managerStatus_->setText(manager.statusText());
    // The manager's status is shown once: not again under the assistant's when both say the same.
    managerStatus_->setVisible(!managerStatus_->text().isEmpty() && managerStatus_->text() != status_->text());
    const bool blocked = (runIsBusy_ && runIsBusy_()) || manager.isBusy();
    const EnabledControl buttons[] = {
        {stopModel_, manager.serverProcessAlive() || manager.isBusy()},
        {startModel_, !blocked && !assistant_.isResponding() && manager.engineInstalled()},
        {useModel_, !blocked && !assistant_.isResponding()},
        {findEngine_, !manager.isBusy()},
    };
    // Down the chain is the endpoint field, its whole text selected: what is typed next would replace
    // the endpoint. Focus goes instead to the model control that has become usable (Stop after Start,
    // Start after Stop), else the composer.
    setEnabledHandingFocus(buttons, {stopModel_, startModel_, useModel_, composer_});
}

void AssistantPane::syncMessages()
{
    const auto& messages = assistant_.messages();
    const AIAssistantLanguage language = assistant_.context().language;
    // Only the questions still in the conversation are remembered.
    questionLanguages_ = std::move(knownLanguages_);
    knownLanguages_.clear();
    // A message keeps its bubble, and only a new message gets one: making a bubble lays out its
    // text, which for a long pasted question costs the window a noticeable pause.
    std::vector<AssistantBubble*> previous = std::move(bubbles_);
    bubbles_.clear();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const auto kept = std::find_if(previous.begin(), previous.end(), [&](const AssistantBubble* b) {
            return b != nullptr && b->messageID() == messages[i].id;
        });
        AssistantBubble* bubble = nullptr;
        if (kept != previous.end()) {
            bubble = std::exchange(*kept, nullptr);
            bubble->setText(messages[i].text, languageOf(messages, i, language));
        } else {
            bubble = new AssistantBubble(messages[i], list_, languageOf(messages, i, language));
        }
        if (listLayout_->indexOf(bubble) != static_cast<int>(i)) {
            listLayout_->removeWidget(bubble);
            listLayout_->insertWidget(static_cast<int>(i), bubble);
        }
        bubbles_.push_back(bubble);
    }
    for (AssistantBubble* b : previous) {
        if (b == nullptr) continue;
        listLayout_->removeWidget(b);
        b->hide();
        b->deleteLater();
    }
    // The newest message is the one to read, once the layout has grown to hold it.
    followNewest_ = true;
}

bool AssistantPane::insertIntoComposer(const QString& text)
{
    // In place of the selection, or at the cursor; a held question is replaced whole.
    QString result = text;
    if (heldQuestion_.isEmpty()) {
        const QString line = composer_->text();
        const qsizetype from = composer_->hasSelectedText() ? composer_->selectionStart() : composer_->cursorPosition();
        const qsizetype to = composer_->hasSelectedText() ? composer_->selectionEnd() : from;
        if (line.size() - (to - from) + text.size() <= composerEditLimit) return false;
        result = line.left(from) + text + line.mid(to);
    }
    takeLongQuestion(result);
    return true;
}

void AssistantPane::takeLongQuestion(const QString& question)
{
    holdQuestion(question);
    settingDraft_ = true;
    // A short text is back in the line, which is then the draft.
    assistant_.setDraft((heldQuestion_.isEmpty() ? question : heldQuestion_).toStdString());
    settingDraft_ = false;
}

void AssistantPane::holdQuestion(QString question)
{
    if (question.size() <= composerEditLimit) {
        heldQuestion_.clear();
        composerNotice_->hide();
        composer_->setReadOnly(false);
        composer_->setText(question);
        return;
    }
    const std::size_t bytes = utf8Size(question);
    const bool cut = bytes > questionLimitBytes;
    if (cut) {
        // Between two characters; a text of one character longer than the limit (no real one is) is
        // cut inside it rather than emptied.
        const qsizetype within = prefixWithin(question, questionLimitBytes);
        const qsizetype whole = UserPerceivedCharacters::boundaryAtOrBefore(question, within);
        question.truncate(whole > 0 ? whole : within);
    }
    heldQuestion_ = question;
    // The beginning, on one line, in whole characters (cut inside one only when it is longer).
    const qsizetype head = UserPerceivedCharacters::boundaryAtOrBefore(QStringView(question).first(202), 200);
    QString shown = question.left(head > 0 ? head : 200);
    if (shown.back().isHighSurrogate()) shown.chop(1);
    for (QChar& c : shown)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    composer_->setReadOnly(true);
    // A line edit scrolls only as it paints, and from a longer line scrolled to its end (a question
    // typed past the limit) it would keep the beginning out of view. Painted once empty, it is back
    // at its start.
    composer_->setText({});
    QPixmap scratch(1, 1);
    composer_->render(&scratch, {}, QRegion(0, 0, 1, 1));
    composer_->setText(shown + "…");
    composer_->setCursorPosition(0);
    const bool portuguese = AIAssistantEngine::detectLanguage(question.toStdString(), assistant_.context().language) ==
                            AIAssistantLanguage::portuguese;
    const std::string kept = kibText(cut ? utf8Size(question) : bytes, !cut);
    const std::string limit = kibText(questionLimitBytes, false);
    std::string notice;
    if (!cut) {
        notice = portuguese ? "Só o início desta pergunta longa (" + kept +
                                  " KiB) aparece aqui; ela é enviada inteira. Backspace a remove."
                            : "Only the beginning of this long question (" + kept +
                                  " KiB) is shown here; all of it is sent. Backspace removes it.";
    } else {
        const std::string pasted = kibText(bytes, true);
        notice = portuguese
                     ? "O texto colado tinha " + pasted + " KiB; uma pergunta tem no máximo " + limit +
                           " KiB, então só os primeiros " + kept + " KiB são mantidos e enviados. Backspace a remove."
                     : "The pasted text had " + pasted + " KiB; a question holds at most " + limit +
                           " KiB, so only its first " + kept + " KiB are kept and sent. Backspace removes it.";
    }
    composerNotice_->setText(qs(notice));
    composerNotice_->show();
}

void AssistantPane::showDraft()
{
    if (settingDraft_) return;
    const QString draft = qs(assistant_.draft());
    if (draft.size() > composerEditLimit) {
        if (draft != heldQuestion_) holdQuestion(draft);
        return;
    }
    if (!heldQuestion_.isEmpty() || composer_->text() != draft) holdQuestion(draft);
}

// The language of a message's text, for the line under a text shown in part: the language the
// expert reads in the question (the message itself, or the question before an answer). Reading a
// long question takes a while, so each question is read once while it stays in the conversation.
AIAssistantLanguage AssistantPane::languageOf(const std::vector<AIAssistantMessage>& messages, std::size_t index,
                                              AIAssistantLanguage fallback)
{
    if (messages[index].text.size() <= AssistantBubbleText::shownLimitBytes) return fallback;
    const auto upTo = messages.rend() - static_cast<std::ptrdiff_t>(index) - 1;
    const auto question = std::find_if(
        upTo, messages.rend(), [](const AIAssistantMessage& message) { return message.role == AIAssistantRole::user; });
    if (question == messages.rend()) return fallback;
    const std::string key = question->id.text() + (fallback == AIAssistantLanguage::portuguese ? "/pt" : "/en");
    if (const auto read = knownLanguages_.find(key); read != knownLanguages_.end()) return read->second;
    if (const auto known = questionLanguages_.find(key); known != questionLanguages_.end())
        return knownLanguages_[key] = known->second;
    return knownLanguages_[key] = AIAssistantEngine::detectLanguage(question->text, fallback);
}

int AssistantPane::conversationHeight(int lines) const
{
    // The conversation's frame, a bubble's padding and header, then its text lines.
    // Selectable text is laid out in whole pixels per line, so a line's height is rounded up.
    const AssistantBubble* bubble = bubbles_.empty() ? nullptr : bubbles_.front();
    const int header = bubble ? bubble->speakerLabel()->sizeHint().height() : fontMetrics().height();
    const double line = std::ceil(QFontMetricsF(bubble ? bubble->textView()->font() : font()).lineSpacing());
    return 2 + 10 + header + 4 + lines * static_cast<int>(line);
}

}  // namespace korvalen
