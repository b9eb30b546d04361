#include "Views/ScoreDashboardView.h"

#include "Platform/Foundation/NumberFormat.h"
#include "Views/ViewText.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <cmath>

namespace korvalen {

namespace {

std::string scoreText(double score) { return std::isfinite(score) && score > 0 ? formatFixed(score, 0) : "—"; }

QFrame* panel(QWidget* parent)
{
    auto* frame = new QFrame(parent);
    frame->setObjectName("Panel");
    return frame;
}

}  // namespace

ScoreDashboardView::ScoreDashboardView(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* tiles = new QHBoxLayout;
    tiles->setSpacing(10);
    layout->addLayout(tiles);

    overall_ = makeTile("Overall score", "#4f8cff");
    universal_ = makeTile("Universal score", "#3ccb8a");
    platform_ = makeTile("Platform score", "#d17cf5");
    for (Tile* tile : {&overall_, &universal_, &platform_})
        tiles->addWidget(tile->value->parentWidget(), 1);

    auto* line = new QHBoxLayout;
    backends_ = new QLabel(this);
    backends_->setObjectName("ScoreDetail");
    backends_->setTextFormat(Qt::PlainText);
    counts_ = new QLabel(this);
    counts_->setObjectName("ScoreDetail");
    counts_->setTextFormat(Qt::PlainText);
    counts_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    line->addWidget(backends_, 1);
    line->addWidget(counts_, 1);
    layout->addLayout(line);
}

ScoreDashboardView::Tile ScoreDashboardView::makeTile(const QString& caption, const QString& accent)
{
    QFrame* frame = panel(this);
    frame->setStyleSheet("#Panel { border-top: 3px solid " + accent + "; }");
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(2);
    auto* captionLabel = new QLabel(caption.toUpper(), frame);
    captionLabel->setObjectName("ScoreCaption");
    auto* value = new QLabel("—", frame);
    value->setObjectName("ScoreValue");
    auto* detail = new QLabel(frame);
    detail->setObjectName("ScoreDetail");
    detail->setTextFormat(Qt::PlainText);
    layout->addWidget(captionLabel);
    layout->addWidget(value);
    layout->addWidget(detail);
    return {value, detail};
}

void ScoreDashboardView::show(const AIBenchmarkSession& session)
{
    const AIScoreSummary& s = session.scores;
    overall_.value->setText(qs(scoreText(s.overall)));
    overall_.detail->setText("Geometric mean of workload scores");
    universal_.value->setText(qs(scoreText(s.universalScore())));
    universal_.detail->setText("Canonical backend per workload");
    platform_.value->setText(qs(scoreText(s.platformScore())));
    platform_.detail->setText("Best backend on this machine");

    backends_->setText(qs("CPU " + scoreText(s.cpu) + "    GPU " + scoreText(s.gpu) + "    Neural Engine "
                          + scoreText(s.neuralEnginePreferred)));
    std::string counts = std::to_string(s.validResults) + " valid · " + std::to_string(s.invalidResults) + " invalid";
    if (s.certifiedResults)
        counts += " · " + std::to_string(*s.certifiedResults) + " certified";
    if (s.diagnosticResults)
        counts += " · " + std::to_string(*s.diagnosticResults) + " diagnostic";
    counts_->setText(qs(counts));
}

QString ScoreDashboardView::overallText() const { return overall_.value->text(); }
QString ScoreDashboardView::universalText() const { return universal_.value->text(); }
QString ScoreDashboardView::platformText() const { return platform_.value->text(); }

HardwareProfileView::HardwareProfileView(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    QFrame* frame = panel(this);
    auto* inner = new QVBoxLayout(frame);
    inner->setContentsMargins(16, 12, 16, 12);
    inner->setSpacing(4);
    auto* caption = new QLabel("HARDWARE", frame);
    caption->setObjectName("ScoreCaption");
    lines_ = new QLabel(frame);
    lines_->setTextFormat(Qt::PlainText);
    lines_->setWordWrap(true);
    lines_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    inner->addWidget(caption);
    inner->addWidget(lines_);
    inner->addStretch(1);
    layout->addWidget(frame);
}

void HardwareProfileView::show(const AISystemProfile& p)
{
    std::string text = p.cpuName + "\n" + std::to_string(p.physicalCores) + " cores, " + std::to_string(p.logicalCores)
        + " threads · " + formatFixed(p.memoryGB, 1) + " GB memory · " + p.architecture;
    if (p.gpuProfiles && !p.gpuProfiles->empty()) {
        for (const AIGPUProfile& gpu : *p.gpuProfiles) {
            text += "\nGPU: " + gpu.name;
            if (gpu.recommendedWorkingSetMB > 0)
                text += " · " + formatFixed(gpu.recommendedWorkingSetMB / 1024.0, 1) + " GB working set";
        }
    } else {
        text += "\nGPU: " + p.gpuName;
    }
    text += "\n" + p.osVersion;
    if (p.power) {
        text += " · " + p.power->source;
        if (p.power->batteryPercent)
            text += " " + std::to_string(*p.power->batteryPercent) + "%";
        if (p.power->lowPowerMode)
            text += " · Low Power Mode";
    }
    lines_->setText(qs(text));
}

QString HardwareProfileView::text() const { return lines_->text(); }

}  // namespace korvalen
