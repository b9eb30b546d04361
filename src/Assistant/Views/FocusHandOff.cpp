#include "Assistant/Views/FocusHandOff.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGuiApplication>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QPointer>
#include <QWindow>

namespace korvalen {
namespace {

MonotonicClock& repeatClock()
{
    static MonotonicClock clock;
    return clock;
}

// Some input methods (ibus-hangul) answer the reset that follows a commit by committing the same
// syllable again a moment later. Focus used to move away with the click, so it landed nowhere; now
// it lands in the field a second time, even while a pop-up list that the click opened is showing.
// For a second after a word is handed over, until something new is composed or typed there, a
// commit that only repeats that word inserts nothing.
class CommitRepeatGuard : public QObject {
public:
    using QObject::QObject;

    void handOverIn(QObject* field)
    {
        if (field != field_) forget();
        if (!field) return;
        if (!field_) {
            field_ = field;
            field->installEventFilter(this);
        }
        const QString due = std::exchange(repeat_, QString());
        // The word is handed over as a change of focus would have it. Qt's modules differ on how:
        // IBus's commit() sends it and its reset() throws it away, while Fcitx5's own commit() does
        // nothing and its reset() sends it. So the reset comes only where the commit sent nothing.
        recording_ = true;
        QGuiApplication::inputMethod()->commit();
        if (repeat_.isEmpty()) QGuiApplication::inputMethod()->reset();
        recording_ = false;
        if (!repeat_.isEmpty())
            until_ = repeatClock()() + kRepeatWait;
        else
            repeat_ = due;  // Nothing was being composed: a repeat still on its way stays expected.
        if (repeat_.isEmpty()) forget();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != field_) return false;
        if (event->type() == QEvent::KeyPress) forget();
        if (event->type() != QEvent::InputMethod) return false;
        auto* input = static_cast<QInputMethodEvent*>(event);
        if (recording_) {
            repeat_ += input->commitString();
        } else if (input->preeditString().isEmpty() && input->commitString() == repeat_ && repeatClock()() <= until_) {
            input->setCommitString(QString());
            forget();
        } else if (!input->preeditString().isEmpty() || !input->commitString().isEmpty()) {
            forget();
        }
        return false;
    }

private:
    static constexpr double kRepeatWait = 1.0;  // seconds; the repeat comes within milliseconds

    void forget()
    {
        if (field_) field_->removeEventFilter(this);
        field_ = nullptr;
        repeat_.clear();
    }

    QPointer<QObject> field_;
    QString repeat_;
    double until_ = 0.0;
    bool recording_ = false;
};

// Watches the controls that a click does not focus: their press hands over the word being composed
// before they act (Send reads the draft on the release).
class PressHandsOverComposition : public QObject {
public:
    static PressHandsOverComposition& instance()
    {
        static QPointer<PressHandsOverComposition> one;
        if (!one) one = new PressHandsOverComposition(qApp);
        return *one;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress && static_cast<QWidget*>(watched)->isEnabled())
            guard_.handOverIn(QGuiApplication::focusObject());
        return false;
    }

private:
    explicit PressHandsOverComposition(QObject* parent) : QObject(parent)
    {
        // With the keyboard left in a field, a pop-up list can be disabled after it was opened once
        // (the accelerator list when all backends are compared). Qt then clears its view's focus in
        // the closed pop-up, and under X11 announces that pop-up as the application's focus object:
        // the input method takes the keyboard to be off the field and the next key skips it. Such
        // an announcement is answered with the focus window's own focus object.
        connect(qGuiApp, &QGuiApplication::focusObjectChanged, this, [](QObject* announced) {
            QWindow* window = QGuiApplication::focusWindow();
            if (window && announced != QGuiApplication::focusObject())
                emit window->focusObjectChanged(window->focusObject());
        });
    }

    CommitRepeatGuard guard_;
};

}  // namespace

void takeFocusFromTabOnly(QWidget* root)
{
    for (QWidget* control : root->findChildren<QWidget*>())
        if ((qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control)) &&
            (control->focusPolicy() & Qt::ClickFocus)) {
            control->setFocusPolicy(Qt::TabFocus);
            control->installEventFilter(&PressHandsOverComposition::instance());
        }
}

void setCompositionRepeatClock(MonotonicClock clock)
{
    repeatClock() = std::move(clock);
}

}  // namespace korvalen
