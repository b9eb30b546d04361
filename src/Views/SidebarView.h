#pragma once

#include <QKeySequence>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
class QScrollArea;

namespace korvalen {

class BenchmarkStore;

// Run configuration, start and stop, run status and the saved history.
class SidebarView : public QWidget {
    Q_OBJECT

public:
    explicit SidebarView(BenchmarkStore& store, QWidget* parent = nullptr);

    QComboBox* modePicker() const { return modePicker_; }
    QComboBox* acceleratorPicker() const { return acceleratorPicker_; }
    QCheckBox* compareBackendsToggle() const { return compareBackends_; }
    QCheckBox* compareGPUsToggle() const { return compareGPUs_; }
    QCheckBox* liveVisualizationsToggle() const { return liveVisualizations_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* stopButton() const { return stop_; }
    QLabel* statusLabel() const { return status_; }
    QProgressBar* progressBar() const { return progress_; }
    QListWidget* historyList() const { return history_; }
    QLabel* historyNoticeLabel() const { return historyNotice_; }

    static QKeySequence startShortcut();  // Ctrl+R
    static QKeySequence stopShortcut();   // Ctrl+.

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openHistoryItem(QListWidgetItem* item);
    void refreshConfiguration();
    void refreshRunState();
    void refreshHistory();
    void refreshHistorySelection();
    void layoutHistory();

    BenchmarkStore& store_;
    QComboBox* modePicker_;
    QComboBox* acceleratorPicker_;
    QCheckBox* compareBackends_;
    QCheckBox* compareGPUs_;
    QCheckBox* liveVisualizations_;
    QPushButton* start_;
    QPushButton* stop_;
    QLabel* status_;
    QProgressBar* progress_;
    QWidget* historySection_;
    QListWidget* history_;
    QLabel* historyEmpty_;
    QScrollArea* historyNoticeArea_;
    QLabel* historyNotice_;
    bool updating_ = false;
};

}  // namespace korvalen
