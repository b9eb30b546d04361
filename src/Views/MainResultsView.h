#pragma once

#include "Model/AIRecords.h"

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
    explicit MainResultsView(BenchmarkStore& store, QWidget* parent = nullptr);

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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    void fillTable(const AIBenchmarkSession& session);
    void fitColumns();

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
    bool paneSizedByUser_ = false;
};

}  // namespace korvalen
