#include "Visualization/AIVisualizationWindowController.h"

#include "Visualization/AIVisualizationWindowView.h"

#include <QtGui/qguiapplication_platform.h>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QSysInfo>
#include <QVBoxLayout>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

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

namespace {

xcb_connection_t* x11Connection()
{
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// Makes `frame` the X window's background, so that the server shows it the moment the window is
// mapped, before the first expose reaches the application. Only where the pixel layout is the
// plain one of every current X server: 32 bits a pixel, least significant byte first.
void handFrameToServer(xcb_connection_t* c, xcb_window_t window, const QImage& frame)
{
    if (QSysInfo::ByteOrder != QSysInfo::LittleEndian || frame.isNull()) return;
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return;
    xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    if (!geometry) return;
    const uint8_t depth = geometry->depth;
    const bool sameSize = geometry->width == frame.width() && geometry->height == frame.height();
    std::free(geometry);
    if (!sameSize || (depth != 24 && depth != 32)) return;
    bool plainPixels = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == depth) plainPixels = it.data->bits_per_pixel == 32;
    if (!plainPixels) return;

    const QImage pixels =
        frame.convertToFormat(depth == 32 ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, depth, pixmap, window, uint16_t(pixels.width()), uint16_t(pixels.height()));
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    // In bands that fit one request.
    const std::size_t line = std::size_t(pixels.bytesPerLine());
    const std::size_t room = std::size_t(xcb_get_maximum_request_length(c)) * 4 - 64;
    const int band = int(std::max<std::size_t>(1, room / line));
    for (int y = 0; y < pixels.height(); y += band) {
        const int rows = std::min(band, pixels.height() - y);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, uint16_t(pixels.width()), uint16_t(rows), 0, int16_t(y),
                      0, depth, uint32_t(line * std::size_t(rows)), pixels.constScanLine(y));
    }
    xcb_change_window_attributes(c, window, XCB_CW_BACK_PIXMAP, &pixmap);
    // The window holds the pixmap as long as it is its background.
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    xcb_flush(c);
}

// Back to Qt's own setting once the application draws: a later exposure waits for a repaint
// instead of showing the first frame again.
void takeFrameFromServer(xcb_connection_t* c, xcb_window_t window)
{
    const uint32_t none = XCB_BACK_PIXMAP_NONE;
    xcb_change_window_attributes(c, window, XCB_CW_BACK_PIXMAP, &none);
    xcb_flush(c);
}

}  // namespace

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
    if (QWindow* handle = window_->windowHandle()) handle->installEventFilter(this);
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

QImage AIVisualizationWindowController::renderFirstFrame() const
{
    if (!window_) return {};
    // Grabbing a hidden widget lays it out at its size first.
    return window_->grab().toImage();
}

bool AIVisualizationWindowController::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Expose && window_ && watched == window_->windowHandle() && !exposed_ &&
        window_->windowHandle()->isExposed()) {
        exposed_ = true;
        // By its first exposure the window manager has framed the window: the placement so far
        // knew only the inner size, so the frame may reach past the visible area.
        QMetaObject::invokeMethod(
            this,
            [this] {
                constrain();
                if (xcb_connection_t* c = x11Connection(); c && window_) takeFrameFromServer(c, window_->winId());
            },
            Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void AIVisualizationWindowController::showWindow()
{
    if (!window_) return;
    // A new window would show whatever the screen held there (often the previous scene window)
    // until its first paint: the X server gets the first frame before the window is mapped.
    if (xcb_connection_t* c = x11Connection(); c && !exposed_ && !window_->isVisible())
        handFrameToServer(c, window_->winId(), renderFirstFrame());
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
