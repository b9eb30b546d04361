#pragma once

#include "Visualization/AIVisualizationModel.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace korvalen {

class AIVisualizationCanvas;

// The content of a visualization window: the scene canvas over the whole window, a header naming the
// workload, its category, phase and backend, and a status panel at the bottom. It only reads the model.
class AIVisualizationWindowView : public QWidget {
    Q_OBJECT

public:
    explicit AIVisualizationWindowView(AIVisualizationModel& model, QWidget* parent = nullptr);

    // What the panels show now, for tests and diagnostics.
    QString badgeText() const;
    QColor badgeColor() const;
    QString phaseSymbol() const;
    QStringList statusLines() const;
    QString captionText() const;
    QString backendText() const;
    QString backendSymbol() const;
    QString categorySymbol() const;
    AIVisualizationCanvas* canvas() const { return canvas_; }

    // The symbol of a category, shared with the main window's category buttons.
    static const char* categorySymbol(AICategory category);
    static const char* backendSymbol(AIBackend backend);
    static QColor phaseColor(AIVisualizationPhase phase, const SceneColor& accent);
    static const char* phaseSymbol(AIVisualizationPhase phase);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();

    QPointer<AIVisualizationModel> model_;
    AIVisualizationCanvas* canvas_;
    QLabel* badge_;
    QLabel* backendLabel_;
    QWidget* backendGlyph_;
    QWidget* phaseGlyph_;
    QLabel* statusFirst_;
    QLabel* statusSecond_;
    QLabel* caption_;
    QString categorySymbol_;
};

}  // namespace korvalen
