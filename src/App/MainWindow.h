#pragma once

#include "Platform/Foundation/Settings.h"

#include <QMainWindow>
#include <QTimer>

#include <optional>
#include <vector>

namespace korvalen {

class BenchmarkStore;
class ContentView;
class KorvalenAIAppDelegate;

// The one main window: at least 960 by 620, placed where the user left it (or centred) with its
// title bar on a screen, its frame saved half a second after the last move or resize. Closing it,
// like Ctrl+Q, asks the delegate to quit; while running work has to stop first the window stays open.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 960;
    static constexpr int minimumHeight = 620;
    static constexpr int frameSaveDelayMs = 500;
    // Room kept above the content for the window manager's title bar until it has framed the window.
    static constexpr int reservedTitleBarHeight = 32;
    static constexpr int framedCheckIntervalMs = 50;
    static constexpr int framedCheckLimit = 60;

    MainWindow(BenchmarkStore& store, KorvalenAIAppDelegate& delegate, Settings settings, QWidget* parent = nullptr);

    ContentView* content() const { return content_; }

    // Restores the saved frame or centres the window, then shows it.
    void restoreFrameAndShow();

    // Where the window's content goes. Saved frames and sizes are the content's; `decorations` is
    // what the window manager adds around it (its title bar on top). The saved frame is kept when
    // its title bar and the top of its content lie well on one of the screens (grown to the minimum
    // size), else `preferred` is centred on the first screen. Either way the decorated window is
    // then shrunk into that screen when larger than it and moved onto it, so the whole title bar is
    // on the screen; when even the minimum size is taller, the title bar is at the screen's top.
    static QRect placement(std::optional<QRect> saved, const std::vector<QRect>& screens, QSize minimum,
                           QSize preferred, QMargins decorations = {});

    bool frameSavePending() const { return saveTimer_.isActive(); }
    // Writes the frame now (also what the timer does).
    void saveFrame();

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void scheduleFrameSave();
    // What the window manager has put around the content: nothing until it has framed the window.
    QMargins decorationMargins() const;
    // Places the window again once its real decorations are known.
    void placeByFrame();

    KorvalenAIAppDelegate& delegate_;
    Settings settings_;
    ContentView* content_;
    QTimer saveTimer_;
    bool restored_ = false;
    std::optional<QRect> saved_;
    QRect placed_;
    QTimer framedTimer_;
    int framedChecks_ = 0;
};

}  // namespace korvalen
