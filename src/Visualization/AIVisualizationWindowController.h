#pragma once

#include "Visualization/AIVisualizationModel.h"

#include <QImage>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QScreen;

namespace korvalen {

class AIVisualizationWindowView;

// The placement rule of a visualization window: at least 720 × 405 when the screen allows it, never
// larger than the screen's visible frame, moved just far enough to lie wholly inside it.
namespace AIVisualizationWindowGeometry {

inline constexpr QSizeF minimumSize{720, 405};

struct Placement {
    QSizeF minimumSize;
    std::optional<QRectF> frame;  // none: leave the frame as it is
    bool operator==(const Placement&) const = default;
};

// The pure rule: the visible frame of the window's screen (none when there is no screen) and the
// window's current frame give its minimum size and new frame.
Placement constrain(std::optional<QRectF> visibleFrame, const QRectF& frame);

// Applies the rule to a top-level window on its screen (else the primary screen, else the first).
void constrainToCurrentScreen(QWidget& window);

}  // namespace AIVisualizationWindowGeometry

// The top-level window; it reports its closing, whoever closes it.
class AIVisualizationWindow : public QWidget {
    Q_OBJECT

public:
    explicit AIVisualizationWindow(QWidget* parent = nullptr);

signals:
    void willClose();

protected:
    void closeEvent(QCloseEvent* event) override;
};

// Owns one floating visualization window and its model. The coordinator closes it quietly; only a
// close by the user calls `onClose`, once.
class AIVisualizationWindowController : public QObject {
    Q_OBJECT

public:
    explicit AIVisualizationWindowController(AIVisualizationRequest request, QObject* parent = nullptr);
    ~AIVisualizationWindowController() override;

    AIVisualizationModel& model() { return *model_; }
    AIVisualizationWindow* window() const { return window_.get(); }

    std::function<void()> onClose;
    bool closingQuietly = false;

    // Shows the window above the others, keyed and in front, with its first frame already drawn.
    virtual void showWindow();
    // The window's content as it will first appear, drawn before the window is shown.
    QImage renderFirstFrame() const;
    // Closes the window; `onClose` follows unless `closingQuietly` is set.
    virtual void close();

protected:
    // For stand-ins in tests: a controller with a model and no window.
    struct WithoutWindow {};
    AIVisualizationWindowController(AIVisualizationRequest request, WithoutWindow, QObject* parent = nullptr);

    // The window is closing: forget the screen observers and report a user's close once.
    void windowWillClose();

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void observeScreens();
    void forgetScreenObservers();
    void constrain();

    std::unique_ptr<AIVisualizationModel> model_;
    std::unique_ptr<AIVisualizationWindow> window_;
    std::vector<QMetaObject::Connection> screenObservers_;
    bool closed_ = false;
    bool exposed_ = false;
};

}  // namespace korvalen
