#include "App/MainWindow.h"

#include "App/KorvalenAIAppDelegate.h"
#include "Views/ContentView.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

namespace korvalen {

MainWindow::MainWindow(BenchmarkStore& store, KorvalenAIAppDelegate& delegate, Settings settings, QWidget* parent)
    : QMainWindow(parent), delegate_(delegate), settings_(std::move(settings))
{
    setWindowTitle("Korvalen AI");
    setMinimumSize(minimumWidth, minimumHeight);
    content_ = new ContentView(store, settings_, this);
    setCentralWidget(content_);

    auto* quit = new QAction("Quit Korvalen AI", this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, this, [this] { delegate_.requestQuit(); });
    addAction(quit);

    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(frameSaveDelayMs);
    connect(&saveTimer_, &QTimer::timeout, this, &MainWindow::saveFrame);
    framedTimer_.setInterval(framedCheckIntervalMs);
    connect(&framedTimer_, &QTimer::timeout, this, &MainWindow::placeByFrame);
}

namespace {

const QSize preferredSize(1280, 820);

QSize decorationSize(const QMargins& decorations)
{
    return QSize(decorations.left() + decorations.right(), decorations.top() + decorations.bottom());
}

// A decorated window larger than its screen (saved on a bigger display, or edited by hand) shrinks
// to the screen's area, its content never below the minimum; then it moves onto the screen so that
// no part of its title bar, close button included, is out of reach. When the minimum is taller than
// the screen, the title bar stays at the top and the bottom edge hangs below.
QRect contentFittedTo(QRect frame, const QRect& screen, QSize minimum, const QMargins& decorations)
{
    const QSize extra = decorationSize(decorations);
    if (frame.width() > screen.width() || frame.height() > screen.height())
        frame.setSize((frame.size().boundedTo(screen.size()) - extra).expandedTo(minimum) + extra);
    frame.moveLeft(
        std::clamp(frame.left(), screen.left(), std::max(screen.left(), screen.right() + 1 - frame.width())));
    frame.moveTop(std::clamp(frame.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - frame.height())));
    return frame.marginsRemoved(decorations);
}

std::vector<QRect> availableScreens()
{
    std::vector<QRect> screens;
    if (QScreen* primary = QGuiApplication::primaryScreen()) screens.push_back(primary->availableGeometry());
    for (QScreen* screen : QGuiApplication::screens())
        if (screen != QGuiApplication::primaryScreen()) screens.push_back(screen->availableGeometry());
    return screens;
}

}  // namespace

QRect MainWindow::placement(std::optional<QRect> saved, const std::vector<QRect>& screens, QSize minimum,
                            QSize preferred, QMargins decorations)
{
    if (saved) {
        QRect content = *saved;
        content.setSize(content.size().expandedTo(minimum));
        const QRect frame = content.marginsAdded(decorations);
        // Enough of the window must be reachable to grab it again: a screen must show a good part
        // of its title bar and the top of its content.
        for (const QRect& screen : screens) {
            const QRect overlap =
                screen.intersected(QRect(frame.left(), frame.top(), frame.width(), decorations.top() + 60));
            if (overlap.width() >= std::min(160, frame.width()) && overlap.height() >= 40)
                return contentFittedTo(frame, screen, minimum, decorations);
        }
    }
    const QSize extra = decorationSize(decorations);
    const QRect screen = screens.empty() ? QRect(QPoint(0, 0), preferred.expandedTo(minimum) + extra) : screens.front();
    QRect frame(QPoint(0, 0), (preferred.boundedTo(screen.size() - extra)).expandedTo(minimum) + extra);
    frame.moveCenter(screen.center());
    return contentFittedTo(frame, screen, minimum, decorations);
}

QMargins MainWindow::decorationMargins() const
{
    const QRect frame = frameGeometry();
    const QRect content = geometry();
    return QMargins(content.left() - frame.left(), content.top() - frame.top(), frame.right() - content.right(),
                    frame.bottom() - content.bottom());
}

void MainWindow::restoreFrameAndShow()
{
    saved_.reset();
    if (settings_.boolValue(Settings::Key::mainWindowHasSavedFrame, false))
        if (auto text = settings_.stringValue(Settings::Key::mainWindowFrame)) saved_ = Settings::parseRect(*text);
    // Under X11 the window manager's title bar is known only once it has framed the window: until
    // then a title bar's height is kept free, and the window is placed again by its real frame.
    QMargins decorations = decorationMargins();
    const bool awaitFrame = decorations.isNull() && QGuiApplication::platformName() == QLatin1String("xcb") &&
                            !windowFlags().testFlag(Qt::FramelessWindowHint);
    if (awaitFrame) decorations = QMargins(0, reservedTitleBarHeight, 0, 0);
    placed_ = placement(saved_, availableScreens(), minimumSize(), preferredSize, decorations);
    setGeometry(placed_);
    show();
    // Placing the window is not a user's move: only what happens from now on is saved.
    saveTimer_.stop();
    restored_ = true;
    if (awaitFrame) {
        framedChecks_ = 0;
        framedTimer_.start();
    }
}

void MainWindow::placeByFrame()
{
    const QMargins decorations = decorationMargins();
    if (decorations.isNull()) {
        // No window manager frames it (or none yet): the reserved room stays.
        if (++framedChecks_ >= framedCheckLimit) framedTimer_.stop();
        return;
    }
    framedTimer_.stop();
    // Still where it was placed: placed again from the same saved frame; moved meanwhile: kept
    // where it is as long as its title bar is on a screen.
    const std::optional<QRect> from = geometry() == placed_ ? saved_ : std::optional<QRect>(geometry());
    const QRect target = placement(from, availableScreens(), minimumSize(), preferredSize, decorations);
    if (target == geometry()) return;
    const bool savePending = saveTimer_.isActive();
    setGeometry(target);
    if (!savePending) saveTimer_.stop();
}

void MainWindow::scheduleFrameSave()
{
    if (restored_ && isVisible()) saveTimer_.start();
}

void MainWindow::saveFrame()
{
    saveTimer_.stop();
    const QRect frame = (isMaximized() || isFullScreen()) ? normalGeometry() : geometry();
    if (!frame.isValid()) return;
    settings_.setString(Settings::Key::mainWindowFrame, Settings::rectText(frame));
    settings_.setBool(Settings::Key::mainWindowHasSavedFrame, true);
    settings_.sync();
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    scheduleFrameSave();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    scheduleFrameSave();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (saveTimer_.isActive()) saveFrame();
    // Closing the last window is a quit request like any other.
    if (delegate_.requestQuit())
        event->accept();
    else
        event->ignore();
}

}  // namespace korvalen
