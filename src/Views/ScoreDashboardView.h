#pragma once

#include "Model/AIRecords.h"

#include <QWidget>

class QLabel;

namespace korvalen {

class ElidedLabel;

// The session's overall, universal and platform scores with the per-backend scores and counts.
class ScoreDashboardView : public QWidget {
    Q_OBJECT

public:
    explicit ScoreDashboardView(QWidget* parent = nullptr);
    void show(const AIBenchmarkSession& session);

    QString overallText() const;
    QString universalText() const;
    QString platformText() const;

private:
    struct Tile {
        QLabel* value;
        QLabel* detail;
    };
    Tile makeTile(const QString& caption, const QString& accent);

    Tile overall_, universal_, platform_;
    QLabel* backends_;
    QLabel* counts_;
};

// The machine a session ran on (or this machine), in a few lines.
class HardwareProfileView : public QWidget {
    Q_OBJECT

public:
    explicit HardwareProfileView(QWidget* parent = nullptr);
    void show(const AISystemProfile& profile);
    // All lines, "Label: value" each.
    QString text() const;

private:
    enum Line { processor, cores, memory, gpu, system, lineCount };
    QLabel* captions_[lineCount];
    ElidedLabel* values_[lineCount];
};

}  // namespace korvalen
