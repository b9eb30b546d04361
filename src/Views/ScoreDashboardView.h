#pragma once

#include "Model/AIRecords.h"

#include <QWidget>

class QLabel;
class QVBoxLayout;

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

    // In a low window the tiles keep caption and score and tell what the score means in their
    // tool tips, so the results table keeps its rows.
    void setCompact(bool compact);

private:
    struct Tile {
        QWidget* frame;
        QLabel* value;
        QLabel* detail;
    };
    // `meaning` says what the score stands for, under it or in the tile's tool tip when compact.
    Tile makeTile(const QString& caption, const QString& accent, const QString& meaning);

    Tile overall_, universal_, platform_;
    QLabel* backends_;
    QLabel* counts_;
    bool compact_ = false;
};

// The machine a session ran on (or this machine), in a few lines.
class HardwareProfileView : public QWidget {
    Q_OBJECT

public:
    explicit HardwareProfileView(QWidget* parent = nullptr);
    void show(const AISystemProfile& profile);
    // All lines, "Label: value" each.
    QString text() const;
    // In a low window the card drops its heading (every line is labelled) and tightens.
    void setCompact(bool compact);

private:
    enum Line { processor, cores, memory, gpu, system, lineCount };
    QLabel* heading_;
    QVBoxLayout* inner_;
    QLabel* captions_[lineCount];
    ElidedLabel* values_[lineCount];
};

}  // namespace korvalen
