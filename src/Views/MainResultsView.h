#pragma once

#include "Model/AIRecords.h"
#include "Platform/Foundation/Settings.h"

#include <QTimer>
#include <QWidget>

#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTableWidget;
class QVBoxLayout;

namespace korvalen {

class AssistantPane;
class BenchmarkStore;
class ElidedLabel;
class ScoreDashboardView;
class HardwareProfileView;

// The results area: the loaded session's header, scores, the machine it ran on and one row per
// result, with the assistant's pane beside them.
class MainResultsView : public QWidget {
    Q_OBJECT

public:
    // With settings, a divider moved by the user is remembered there.
    explicit MainResultsView(BenchmarkStore& store, std::optional<Settings> settings = std::nullopt,
                             QWidget* parent = nullptr);

    QTableWidget* resultsTable() const { return table_; }
    QComboBox* categoryFilter() const { return categoryFilter_; }
    QPushButton* clearButton() const { return clear_; }
    ScoreDashboardView* scoreDashboard() const { return dashboard_; }
    HardwareProfileView* hardwareProfile() const { return hardware_; }
    QLabel* sessionTitle() const;
    QLabel* sessionSubtitle() const { return subtitle_; }
    // Shown over the table when the chosen category has no result.
    QLabel* emptyFilterNotice() const { return emptyFilter_; }

    // "Quick AI  ·  CPU", or what a run comparing every backend did.
    static QString runTitle(const AIBenchmarkSession& session);
    AssistantPane* assistantPane() const { return assistantPane_; }
    QSplitter* splitter() const { return split_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    void fillTable(const AIBenchmarkSession& session);
    void fitColumns();
    // The results page's minimum height with `rows` table rows, at its current width.
    int resultsMinimumHeight(int rows) const;
    // Keeps the results above their minimum and gives the pane what its controls need, the user's
    // height when the divider was moved, else room for five lines of conversation.
    void placeDivider();
    void schedulePlaceDivider();

    BenchmarkStore& store_;
    QStackedWidget* pages_;
    ElidedLabel* title_;
    QLabel* subtitle_;
    QComboBox* categoryFilter_;
    QPushButton* clear_;
    ScoreDashboardView* dashboard_;
    HardwareProfileView* hardware_;
    HardwareProfileView* emptyHardware_;
    QTableWidget* table_;
    QLabel* emptyFilter_;
    QVBoxLayout* pageLayout_;
    bool fittingColumns_ = false;
    AssistantPane* assistantPane_;
    QSplitter* split_;
    std::optional<Settings> settings_;
    std::optional<int> userPaneHeight_;
    int placedPaneHeight_ = -1;
    bool placingDivider_ = false;
    bool sidewaysScrolling_ = false;
    // The session whose rows the table holds, so that another one starts at its top.
    std::optional<Uuid> tableSession_;
    QTimer placeDividerTimer_;
};

}  // namespace korvalen
