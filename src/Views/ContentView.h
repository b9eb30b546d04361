#pragma once

#include "Platform/Foundation/Settings.h"

#include <QWidget>

#include <optional>

namespace korvalen {

class BenchmarkStore;
class MainResultsView;
class SidebarView;

// The main window's content: the sidebar beside the results area.
class ContentView : public QWidget {
    Q_OBJECT

public:
    // Settings keep what the user arranged (the assistant pane's height); without them nothing is kept.
    explicit ContentView(BenchmarkStore& store, std::optional<Settings> settings = std::nullopt,
                         QWidget* parent = nullptr);

    SidebarView* sidebar() const { return sidebar_; }
    MainResultsView* results() const { return results_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    SidebarView* sidebar_;
    MainResultsView* results_;
};

}  // namespace korvalen
