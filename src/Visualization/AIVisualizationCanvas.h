#pragma once

#include "Visualization/AIVisualizationModel.h"

#include <QPointer>
#include <QWidget>

#include <chrono>
#include <functional>

class QTimer;

namespace korvalen {

// The scene surface of a visualization window. Every frame is drawn from the model's phase and style,
// the widget's size and the frame time alone; the widget keeps no drawing state between frames.
class AIVisualizationCanvas : public QWidget {
    Q_OBJECT

public:
    // Seconds since 2001-01-01 00:00:00 UTC, the live clock of the scenes.
    using Clock = std::function<double()>;

    explicit AIVisualizationCanvas(AIVisualizationModel& model, QWidget* parent = nullptr, Clock clock = {});

    // Seconds between redraws in a phase: 1/30 while previewing or completed, 0.125 while
    // sustainedLive and an hour while scoring or stopped, where only a model change repaints.
    static double refreshInterval(AIVisualizationPhase phase);
    // The frame time: the live clock, or 1.35 in the two phases that freeze the scene.
    static double frameTime(AIVisualizationPhase phase, double liveSeconds);
    static double secondsSinceReferenceDate(std::chrono::system_clock::time_point when);
    static double secondsSinceReferenceDateNow();

    // One whole frame: the background, then the style's scene.
    static void drawFrame(SceneContext& context, const AIVisualizationStyle& style, QSizeF size, double time);
    // The scene routine of a style, without the background.
    static void drawScene(SceneContext& context, const AIVisualizationStyle& style, QSizeF size, double time);

    // The running timer's interval in milliseconds (for tests and diagnostics).
    int timerInterval() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void modelChanged();

    QPointer<AIVisualizationModel> model_;
    Clock clock_;
    QTimer* timer_;
};

}  // namespace korvalen
