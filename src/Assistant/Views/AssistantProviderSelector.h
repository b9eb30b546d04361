#pragma once

#include "Assistant/Expert/AIAssistantTypes.h"

#include <QAbstractButton>
#include <QWidget>

#include <functional>

namespace korvalen {

// One segment of the provider selector: symbol, title, spacer; the whole rectangle is clickable.
class AssistantProviderSegment : public QAbstractButton {
    Q_OBJECT

public:
    AssistantProviderSegment(AIAssistantProvider provider, QString title, QString symbol, QWidget* parent = nullptr);

    AIAssistantProvider provider() const { return provider_; }
    bool isSelected() const { return selected_; }
    void setSelected(bool selected);
    // The symbol shown now: a check mark when selected, else the provider's own.
    QString shownSymbol() const { return selected_ ? "checkmark.circle.fill" : symbol_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    AIAssistantProvider provider_;
    QString symbol_;
    bool selected_ = false;
};

// The two-segment choice between the built-in expert and a local language model. Clicking a
// segment calls the action with its provider, also when it is already chosen; a disabled selector
// keeps showing the choice and ignores clicks.
class AssistantProviderSelector : public QWidget {
    Q_OBJECT

public:
    AssistantProviderSelector(AIAssistantProvider selectedProvider, bool disabled,
                              std::function<void(AIAssistantProvider)> onSelect, QWidget* parent = nullptr);

    void setSelectedProvider(AIAssistantProvider provider);
    void setDisabled(bool disabled);
    AssistantProviderSegment* segment(AIAssistantProvider provider) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    AssistantProviderSegment* expert_;
    AssistantProviderSegment* local_;
    std::function<void(AIAssistantProvider)> onSelect_;
};

}  // namespace korvalen
