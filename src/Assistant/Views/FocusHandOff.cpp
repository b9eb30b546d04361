#include "Assistant/Views/FocusHandOff.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGuiApplication>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QPointer>

namespace korvalen {
namespace {

std::function<void()>& compositionCommit()
{
    static std::function<void()> commit;
    return commit;
}

// Some input methods (ibus-hangul) answer the reset that follows a commit by committing the same
// syllable again a moment later. Focus used to move away with the click, so it landed nowhere; now
// it would land in the field a second time. Until something new is composed or typed there, a
// commit that only repeats the word just committed inserts nothing.
class CommitRepeatGuard : public QObject {
public:
    using QObject::QObject;

    void commitIn(QObject* field, const std::function<void()>& commit)
    {
        if (field != field_) forget();
        if (!field) return commit();
        if (!field_) {
            field_ = field;
            field->installEventFilter(this);
        }
        const QString due = std::exchange(repeat_, QString());
        recording_ = true;
        commit();
        recording_ = false;
        // Nothing was being composed: a repeat still on its way stays expected.
        if (repeat_.isEmpty()) repeat_ = due;
        if (repeat_.isEmpty()) forget();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != field_) return false;
        if (event->type() == QEvent::InputMethod) {
            auto* input = static_cast<QInputMethodEvent*>(event);
            if (recording_) {
                repeat_ += input->commitString();
            } else if (input->preeditString().isEmpty() && input->commitString() == repeat_) {
                input->setCommitString(QString());
                forget();
            } else if (!input->preeditString().isEmpty() || !input->commitString().isEmpty()) {
                forget();
            }
        } else if (event->type() == QEvent::KeyPress || event->type() == QEvent::FocusOut) {
            forget();
        }
        return false;
    }

private:
    void forget()
    {
        if (field_) field_->removeEventFilter(this);
        field_ = nullptr;
        repeat_.clear();
    }

    QPointer<QObject> field_;
    QString repeat_;
    bool recording_ = false;
};

// Watches the controls that a click does not focus: their press commits before they act (Send reads
// the draft on the release).
class PressCommitsComposition : public QObject {
public:
    static PressCommitsComposition& instance()
    {
        static QPointer<PressCommitsComposition> one;
        if (!one) one = new PressCommitsComposition(qApp);
        return *one;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress && static_cast<QWidget*>(watched)->isEnabled())
            guard_.commitIn(QGuiApplication::focusObject(), [] {
                if (compositionCommit())
                    compositionCommit()();
                else
                    QGuiApplication::inputMethod()->commit();
            });
        return false;
    }

private:
    using QObject::QObject;
    CommitRepeatGuard guard_;
};

}  // namespace

void takeFocusFromTabOnly(QWidget* root)
{
    for (QWidget* control : root->findChildren<QWidget*>())
        if ((qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control)) &&
            (control->focusPolicy() & Qt::ClickFocus)) {
            control->setFocusPolicy(Qt::TabFocus);
            control->installEventFilter(&PressCommitsComposition::instance());
        }
}

void setCompositionCommit(std::function<void()> commit)
{
    compositionCommit() = std::move(commit);
}

}  // namespace korvalen
