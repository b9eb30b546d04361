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

// The one main window: at least 960 by 620, placed where the user left it (or centred), its frame
// saved half a second after the last move or resize. Closing it, like Ctrl+Q, asks the delegate
// to quit; while running work has to stop first the window stays open.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 960;
    static constexpr int minimumHeight = 620;
    static constexpr int frameSaveDelayMs = 500;

    MainWindow(BenchmarkStore& store, KorvalenAIAppDelegate& delegate, Settings settings, QWidget* parent = nullptr);

    ContentView* content() const { return content_; }

    // Restores the saved frame or centres the window, then shows it.
    void restoreFrameAndShow();

    // Where the window goes: the saved frame when enough of it lies on one of the screens (grown
    // to the minimum size, and shrunk into that screen when larger than it), else `preferred`
    // centred on the first screen and kept inside it.
    static QRect placement(std::optional<QRect> saved, const std::vector<QRect>& screens, QSize minimum,
                           QSize preferred);

    bool frameSavePending() const { return saveTimer_.isActive(); }
    // Writes the frame now (also what the timer does).
    void saveFrame();

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void scheduleFrameSave();

    KorvalenAIAppDelegate& delegate_;
    Settings settings_;
    ContentView* content_;
    QTimer saveTimer_;
    bool restored_ = false;
};

}  // namespace korvalen
