#include "Visualization/AIVisualizationWindowController.h"

#include "Visualization/AIVisualizationWindowView.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace korvalen {

namespace AIVisualizationWindowGeometry {

Placement constrain(std::optional<QRectF> visible, const QRectF& frame)
{
    if (!visible || !std::isfinite(visible->width()) || !std::isfinite(visible->height()) || visible->width() <= 0 ||
        visible->height() <= 0)
        return {minimumSize, std::nullopt};
    const QSizeF minimum(std::min(visible->width(), minimumSize.width()),
                         std::min(visible->height(), minimumSize.height()));
    const double width = std::min(visible->width(), std::max(frame.width(), minimum.width()));
    const double height = std::min(visible->height(), std::max(frame.height(), minimum.height()));
    const double x = std::min(visible->right() - width, std::max(frame.left(), visible->left()));
    const double y = std::min(visible->bottom() - height, std::max(frame.top(), visible->top()));
    return {minimum, QRectF(x, y, width, height)};
}

void constrainToCurrentScreen(QWidget& window)
{
    QScreen* screen = window.screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty()) screen = QGuiApplication::screens().first();
    const std::optional<QRectF> visible =
        screen ? std::optional<QRectF>(QRectF(screen->availableGeometry())) : std::nullopt;
    // The frame includes the title bar and borders; the rule keeps all of it on screen.
    const QRect frame = window.frameGeometry();
    const QRect client = window.geometry();
    const QMargins decoration(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                              frame.bottom() - client.bottom());
    const Placement placement = constrain(visible, QRectF(frame));
    const QSize minimum(int(std::floor(placement.minimumSize.width())),
                        int(std::floor(placement.minimumSize.height())));
    window.setMinimumSize(minimum.shrunkBy(decoration).expandedTo(QSize(0, 0)));
    if (placement.frame) {
        window.setGeometry(placement.frame->toRect().marginsRemoved(decoration));
    }
}

}  // namespace AIVisualizationWindowGeometry

AIVisualizationWindow::AIVisualizationWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{}

void AIVisualizationWindow::closeEvent(QCloseEvent* event)
{
    emit willClose();
    event->accept();
}

AIVisualizationWindowController::AIVisualizationWindowController(AIVisualizationRequest request, QObject* parent)
    : AIVisualizationWindowController(std::move(request), WithoutWindow{}, parent)
{
    window_ = std::make_unique<AIVisualizationWindow>();
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    window_->setWindowTitle(QString::fromStdString("Korvalen AI — " + model_->request().title));
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, Qt::black);
    window_->setPalette(palette);
    window_->setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new AIVisualizationWindowView(*model_, window_.get()));
    window_->resize(960, 540);

    // Centre on the screen, then keep inside it.
    if (QScreen* screen = window_->screen() ? window_->screen() : QGuiApplication::primaryScreen()) {
        const QRect visible = screen->availableGeometry();
        window_->move(visible.center() - QPoint(480, 270));
    }
    AIVisualizationWindowGeometry::constrainToCurrentScreen(*window_);

    connect(window_.get(), &AIVisualizationWindow::willClose, this, &AIVisualizationWindowController::windowWillClose);
    observeScreens();
}

AIVisualizationWindowController::AIVisualizationWindowController(AIVisualizationRequest request, WithoutWindow,
                                                                 QObject* parent)
    : QObject(parent), model_(std::make_unique<AIVisualizationModel>(std::move(request)))
{}

AIVisualizationWindowController::~AIVisualizationWindowController()
{
    forgetScreenObservers();
    if (window_) {
        // The window goes with its controller; its closing is nobody's news by then.
        disconnect(window_.get(), nullptr, this, nullptr);
        window_->hide();
    }
}

void AIVisualizationWindowController::observeScreens()
{
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || !window_) return;
    auto watch = [this](QScreen* screen) {
        screenObservers_.push_back(connect(screen, &QScreen::availableGeometryChanged, this, [this] { constrain(); }));
        screenObservers_.push_back(connect(screen, &QScreen::geometryChanged, this, [this] { constrain(); }));
    };
    for (QScreen* screen : QGuiApplication::screens()) watch(screen);
    screenObservers_.push_back(connect(app, &QGuiApplication::screenAdded, this, [this, watch](QScreen* screen) {
        watch(screen);
        constrain();
    }));
    screenObservers_.push_back(connect(app, &QGuiApplication::screenRemoved, this, [this] { constrain(); }));
    // The window's own move to another screen.
    window_->winId();
    if (QWindow* handle = window_->windowHandle())
        screenObservers_.push_back(connect(handle, &QWindow::screenChanged, this, [this] { constrain(); }));
}

void AIVisualizationWindowController::forgetScreenObservers()
{
    for (auto& connection : screenObservers_) disconnect(connection);
    screenObservers_.clear();
}

void AIVisualizationWindowController::constrain()
{
    if (window_) AIVisualizationWindowGeometry::constrainToCurrentScreen(*window_);
}

void AIVisualizationWindowController::showWindow()
{
    if (!window_) return;
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void AIVisualizationWindowController::close()
{
    if (window_)
        window_->close();
    else
        windowWillClose();
}

void AIVisualizationWindowController::windowWillClose()
{
    forgetScreenObservers();
    if (closed_) return;
    closed_ = true;
    if (closingQuietly) return;
    if (onClose) onClose();
}

}  // namespace korvalen
