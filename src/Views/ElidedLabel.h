#pragma once

#include <QLabel>

namespace korvalen {

// A one-line plain-text label that shortens its text with "…" to the width it gets, showing the
// whole text as its tool tip; long device names must not widen the window.
class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const { return fullText_; }

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString fullText_;
};

}  // namespace korvalen
