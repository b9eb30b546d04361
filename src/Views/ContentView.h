#pragma once

#include <QWidget>

namespace korvalen {

class BenchmarkStore;
class MainResultsView;
class SidebarView;

// The main window's content: the sidebar beside the results area.
class ContentView : public QWidget {
    Q_OBJECT

public:
    explicit ContentView(BenchmarkStore& store, QWidget* parent = nullptr);

    SidebarView* sidebar() const { return sidebar_; }
    MainResultsView* results() const { return results_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    SidebarView* sidebar_;
    MainResultsView* results_;
};

}  // namespace korvalen
