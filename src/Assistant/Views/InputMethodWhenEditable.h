#pragma once

#include <QInputMethodEvent>
#include <QVariant>

namespace korvalen {

// A text widget that takes an input method's text only while it is editable. Qt's read-only text
// edits and line edits still answer that they take one, so IBus or Fcitx would send them a preedit and
// a commit, and they would insert it; read only, this one asks for none (keys then come as key
// events, which it ignores) and drops any input-method text sent to it all the same.
template <typename TextWidget>
class InputMethodWhenEditable : public TextWidget {
public:
    using TextWidget::TextWidget;

    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override
    {
        if (query == Qt::ImEnabled && this->isReadOnly()) return false;
        return TextWidget::inputMethodQuery(query);
    }

protected:
    void inputMethodEvent(QInputMethodEvent* event) override
    {
        if (this->isReadOnly()) return;
        TextWidget::inputMethodEvent(event);
    }
};

}  // namespace korvalen
