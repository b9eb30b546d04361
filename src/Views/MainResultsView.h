#pragma once

#include "Model/AIRecords.h"

#include <QWidget>

#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTableWidget;

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
    ScoreDashboardView* scoreDashboard() const { return dashboard_; }
    HardwareProfileView* hardwareProfile() const { return hardware_; }
    QLabel* sessionTitle() const;
    AssistantPane* assistantPane() const { return assistantPane_; }

private:
    void refresh();
    void fillTable(const AIBenchmarkSession& session);

    BenchmarkStore& store_;
    QStackedWidget* pages_;
    ElidedLabel* title_;
    ElidedLabel* subtitle_;
    QComboBox* categoryFilter_;
    QPushButton* clear_;
    ScoreDashboardView* dashboard_;
    HardwareProfileView* hardware_;
    HardwareProfileView* emptyHardware_;
    QTableWidget* table_;
    AssistantPane* assistantPane_;
};

}  // namespace korvalen
