#pragma once

#include "Assistant/AssistantConversationController.h"

#include <QWidget>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace korvalen {

class AssistantBubble;
class AssistantProviderSelector;

// The assistant pane of the main window: the provider selector, the local model's controls, one
// bubble per message, the status line, the quick actions and the composer with send, stop, clear
// and export.
class AssistantPane : public QWidget {
    Q_OBJECT

public:
    struct QuickAction {
        const char* title;
        const char* prompt;
    };
    static const std::vector<QuickAction>& quickActions();

    // The longest text the composer edits in its line: a line edit lays out its whole text at every
    // keystroke, and ideographs or Hangul without a font of their own cost several milliseconds per
    // thousand. A longer question is held whole and shown by its beginning.
    static constexpr qsizetype composerEditLimit = 16'384;
    // The most a question holds, in UTF-8 bytes: a longer paste is cut to it, with a notice.
    static constexpr std::size_t questionLimitBytes = 4 * 1024 * 1024;

    AssistantPane(AssistantConversationController& assistant, std::function<bool()> runIsBusy,
                  QWidget* parent = nullptr);

    // Enables and disables what a run or a pending answer blocks; the host calls it when the run state changes.
    void refreshControls();
    // Tighter rows for a low window; every control keeps the height its text needs.
    void setCompact(bool compact);

    AssistantProviderSelector* selector() const { return selector_; }
    QLineEdit* composer() const { return composer_; }
    // Under the composer while it holds a long question: that it is sent whole, or how it was cut.
    QLabel* composerNotice() const { return composerNotice_; }
    QPushButton* sendButton() const { return send_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* clearButton() const { return clear_; }
    QPushButton* exportButton() const { return export_; }
    const std::vector<QPushButton*>& quickActionButtons() const { return quick_; }
    const std::vector<AssistantBubble*>& bubbles() const { return bubbles_; }
    QLabel* statusLabel() const { return status_; }
    // The local model's controls, shown while the local model is the provider.
    QWidget* localControls() const { return localBox_; }
    QComboBox* modelList() const { return models_; }
    QPushButton* useModelButton() const { return useModel_; }
    QPushButton* startModelButton() const { return startModel_; }
    QPushButton* stopModelButton() const { return stopModel_; }
    QPushButton* findEngineButton() const { return findEngine_; }
    QLineEdit* endpointField() const { return endpoint_; }
    QLineEdit* modelNameField() const { return modelName_; }
    QLabel* managerStatusLabel() const { return managerStatus_; }
    QScrollArea* conversation() const { return scroll_; }
    // The conversation's height that shows a message's header and its first `lines` lines.
    int conversationHeight(int lines) const;

private:
    class ComposerField;

    void syncMessages();
    AIAssistantLanguage languageOf(const std::vector<AIAssistantMessage>& messages, std::size_t index,
                                   AIAssistantLanguage fallback);
    // Text put into the composer by a paste or a drop, in place of its selection; false when the
    // line edits it itself.
    bool insertIntoComposer(const QString& text);
    // Holds a question too long for the line, cut to the limit; an empty one gives the line back.
    void holdQuestion(QString question);
    // Puts a question in the line, held when too long for it, and makes what it holds the draft.
    void takeLongQuestion(const QString& question);
    void showDraft();
    void syncLocalControls();

    AssistantConversationController& assistant_;
    std::function<bool()> runIsBusy_;
    QVBoxLayout* layout_;
    AssistantProviderSelector* selector_;
    QWidget* localBox_;
    QComboBox* models_;
    QPushButton* useModel_;
    QPushButton* startModel_;
    QPushButton* stopModel_;
    QPushButton* findEngine_;
    QLineEdit* endpoint_;
    QLineEdit* modelName_;
    QLabel* managerStatus_;
    QScrollArea* scroll_;
    QWidget* list_;
    QVBoxLayout* listLayout_;
    std::vector<AssistantBubble*> bubbles_;
    bool followNewest_ = true;
    QLabel* status_;
    std::vector<QPushButton*> quick_;
    QLineEdit* composer_;
    QLabel* composerNotice_;
    // The whole question while it is too long for the line; empty otherwise.
    QString heldQuestion_;
    bool settingDraft_ = false;
    // The language of each long question by its identifier and fallback: those read at the last
    // sync of the messages, and those read at this one.
    std::map<std::string, AIAssistantLanguage> questionLanguages_;
    std::map<std::string, AIAssistantLanguage> knownLanguages_;
    QPushButton* send_;
    QPushButton* stop_;
    QPushButton* clear_;
    QPushButton* export_;
};

}  // namespace korvalen
