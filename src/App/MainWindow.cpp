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
}

namespace {

// A frame larger than its screen (saved on a bigger display, or edited by hand) would put its edges
// out of reach: it shrinks to the screen's area and moves inside it. A frame that fits is kept as is.
QRect fittedTo(QRect frame, const QRect& screen, QSize minimum)
{
    if (frame.width() <= screen.width() && frame.height() <= screen.height()) return frame;
    frame.setSize(frame.size().boundedTo(screen.size()).expandedTo(minimum));
    frame.moveLeft(
        std::clamp(frame.left(), screen.left(), std::max(screen.left(), screen.right() + 1 - frame.width())));
    frame.moveTop(std::clamp(frame.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - frame.height())));
    return frame;
}

}  // namespace

QRect MainWindow::placement(std::optional<QRect> saved, const std::vector<QRect>& screens, QSize minimum,
                            QSize preferred)
{
    if (saved) {
        QRect frame = *saved;
        frame.setSize(frame.size().expandedTo(minimum));
        // Enough of the window must be reachable to grab it again: a screen must show a good part
        // of its top edge.
        for (const QRect& screen : screens) {
            const QRect overlap = screen.intersected(QRect(frame.left(), frame.top(), frame.width(), 60));
            if (overlap.width() >= std::min(160, frame.width()) && overlap.height() >= 40)
                return fittedTo(frame, screen, minimum);
        }
    }
    const QRect screen = screens.empty() ? QRect(0, 0, preferred.width(), preferred.height()) : screens.front();
    QSize size = preferred.boundedTo(screen.size()).expandedTo(minimum);
    QRect frame(QPoint(0, 0), size);
    frame.moveCenter(screen.center());
    return frame;
}

void MainWindow::restoreFrameAndShow()
{
    std::vector<QRect> screens;
    if (QScreen* primary = QGuiApplication::primaryScreen()) screens.push_back(primary->availableGeometry());
    for (QScreen* screen : QGuiApplication::screens())
        if (screen != QGuiApplication::primaryScreen()) screens.push_back(screen->availableGeometry());

    std::optional<QRect> saved;
    if (settings_.boolValue(Settings::Key::mainWindowHasSavedFrame, false))
        if (auto text = settings_.stringValue(Settings::Key::mainWindowFrame)) saved = Settings::parseRect(*text);
    const QRect frame = placement(saved, screens, minimumSize(), QSize(1280, 820));
    setGeometry(frame);
    show();
    // Placing the window is not a user's move: only what happens from now on is saved.
    saveTimer_.stop();
    restored_ = true;
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
