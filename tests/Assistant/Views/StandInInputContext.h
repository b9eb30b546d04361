#pragma once

#include <qpa/qplatforminputcontext.h>
#include <QPointer>
#include <QString>

namespace korvalen::testing {

// The platform's input method in this program's tests, driven as Qt's modules drive one: a word is
// composed as a preedit in the focused field and handed over to that field as a commit. Qt's IBus
// module hands it over on commit() and throws it away on reset(); ibus-hangul answers the reset that
// follows a commit with an empty event and then the same commit again, a moment later. Fcitx5's own
// module does nothing on commit() and hands the word over on reset() and on a change of focus. All of
// it goes to the field where the word was composed: a pop-up list that a click opens takes no input
// from it.
class StandInInputContext : public QPlatformInputContext {
public:
    enum Module { ibus, ibusHangul, fcitx };

    StandInInputContext();
    ~StandInInputContext() override;
    // The one the application runs with; null if the platform did not load it.
    static StandInInputContext* current();

    // Drives the input method as `module` does, with nothing composed.
    void drive(Module module);
    // A preedit in the focused field.
    void compose(const QString& word);
    // A commit with no preedit into the focused field: text the user typed through the input method.
    void commitText(const QString& text);

    // The focus object the application last told it of.
    QObject* toldFocus() const { return told_; }

    bool isValid() const override { return true; }
    void commit() override;
    void reset() override;
    void setFocusObject(QObject* object) override;

private:
    void handOver();

    Module module_ = ibus;
    QPointer<QObject> field_;
    QString composing_;
    QPointer<QObject> told_;
};

}  // namespace korvalen::testing
