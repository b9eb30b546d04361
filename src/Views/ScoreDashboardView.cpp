#include "Views/ScoreDashboardView.h"

#include "Platform/Foundation/NumberFormat.h"
#include "Views/ElidedLabel.h"
#include "Views/ViewText.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <cmath>

namespace korvalen {

namespace {

std::string scoreText(double score)
{
    return std::isfinite(score) && score > 0 ? formatFixed(score, 0) : "—";
}

// A secondary line that wraps instead of cutting its end off in a narrow window.
QLabel* detailLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName("ScoreDetail");
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

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

    overall_ = makeTile("Overall", "#4f8cff", "Geometric mean of workload scores");
    universal_ = makeTile("Universal", "#3ccb8a", "Canonical backend per workload");
    platform_ = makeTile("Platform", "#d17cf5", "Best backend on this machine");
    for (Tile* tile : {&overall_, &universal_, &platform_}) tiles->addWidget(tile->frame, 1);

    backends_ = detailLabel(this);
    counts_ = detailLabel(this);
    layout->addWidget(backends_);
    layout->addWidget(counts_);
    layout->addStretch(1);
}

ScoreDashboardView::Tile ScoreDashboardView::makeTile(const QString& caption, const QString& accent,
                                                      const QString& meaning)
{
    QFrame* frame = panel(this);
    frame->setStyleSheet("#Panel { border-top: 3px solid " + accent + "; }");
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(2);
    auto* captionLabel = new ElidedLabel(frame);
    captionLabel->setObjectName("ScoreCaption");
    captionLabel->setFullText(caption.toUpper());
    auto* value = new QLabel("—", frame);
    value->setObjectName("ScoreValue");
    QLabel* detail = detailLabel(frame);
    detail->setText(meaning);
    layout->addWidget(captionLabel);
    layout->addWidget(value);
    layout->addWidget(detail);
    layout->addStretch(1);
    return {frame, value, detail};
}

void ScoreDashboardView::setCompact(bool compact)
{
    if (compact == compact_) return;
    compact_ = compact;
    for (Tile* tile : {&overall_, &universal_, &platform_}) {
        tile->detail->setVisible(!compact);
        tile->frame->setToolTip(compact ? tile->detail->text() : QString());
        const int margin = compact ? 8 : 12;
        tile->frame->layout()->setContentsMargins(12, margin, 12, margin);
    }
}

void ScoreDashboardView::show(const AIBenchmarkSession& session)
{
    const AIScoreSummary& s = session.scores;
    overall_.value->setText(qs(scoreText(s.overall)));
    universal_.value->setText(qs(scoreText(s.universalScore())));
    platform_.value->setText(qs(scoreText(s.platformScore())));

    backends_->setText(qs("CPU " + scoreText(s.cpu) + "    GPU " + scoreText(s.gpu) + "    Neural Engine " +
                          scoreText(s.neuralEnginePreferred)));
    std::string counts = std::to_string(s.validResults) + " valid · " + std::to_string(s.invalidResults) + " invalid";
    if (s.certifiedResults) counts += " · " + std::to_string(*s.certifiedResults) + " certified";
    if (s.diagnosticResults) counts += " · " + std::to_string(*s.diagnosticResults) + " diagnostic";
    counts_->setText(qs(counts));
}

QString ScoreDashboardView::overallText() const
{
    return overall_.value->text();
}
QString ScoreDashboardView::universalText() const
{
    return universal_.value->text();
}
QString ScoreDashboardView::platformText() const
{
    return platform_.value->text();
}

HardwareProfileView::HardwareProfileView(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    QFrame* frame = panel(this);
    auto* inner = new QVBoxLayout(frame);
    inner_ = inner;
    inner->setContentsMargins(16, 12, 16, 12);
    inner->setSpacing(6);
    heading_ = new QLabel("HARDWARE", frame);
    heading_->setObjectName("ScoreCaption");
    inner->addWidget(heading_);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(3);
    const char* names[lineCount] = {"Processor", "Cores", "Memory", "GPU", "System"};
    for (int i = 0; i < lineCount; ++i) {
        captions_[i] = new QLabel(names[i], frame);
        captions_[i]->setProperty("secondary", true);
        values_[i] = new ElidedLabel(frame);
        grid->addWidget(captions_[i], i, 0, Qt::AlignLeft | Qt::AlignTop);
        grid->addWidget(values_[i], i, 1);
    }
    grid->setColumnStretch(1, 1);
    inner->addLayout(grid);
    inner->addStretch(1);
    layout->addWidget(frame);
}

void HardwareProfileView::show(const AISystemProfile& p)
{
    values_[processor]->setFullText(qs(p.cpuName.empty() ? "Unknown processor" : p.cpuName));
    values_[cores]->setFullText(qs(std::to_string(p.physicalCores) + " cores · " + std::to_string(p.logicalCores) +
                                   " threads · " + p.architecture));
    std::string memoryText = formatFixed(p.memoryGB, 1) + " GB";
    if (p.availableMemoryGB) memoryText += " · " + formatFixed(*p.availableMemoryGB, 1) + " GB available";
    values_[memory]->setFullText(qs(memoryText));
    // The line names each device briefly; its tool tip names them in full.
    std::string gpuText, gpuDetail;
    if (p.gpuProfiles && !p.gpuProfiles->empty()) {
        bool anyGPU = false;
        for (const AIGPUProfile& g : *p.gpuProfiles) {
            if (!gpuText.empty()) gpuText += "; ", gpuDetail += "\n";
            const std::string name = gpuDeviceName(g.name, g.registryID);
            anyGPU = anyGPU || name == g.name;
            gpuText += name;
            gpuDetail += gpuDeviceDescription(g.name, g.registryID);
            if (g.recommendedWorkingSetMB > 0) {
                const std::string workingSet = " · " + formatFixed(g.recommendedWorkingSetMB / 1024.0, 1) + " GB";
                gpuText += workingSet;
                gpuDetail += workingSet;
            }
        }
        if (!anyGPU) gpuText = "No GPU · " + gpuText;
    } else {
        gpuText = gpuDeviceName(p.gpuName, p.gpuRegistryID);
        gpuDetail = gpuDeviceDescription(p.gpuName, p.gpuRegistryID);
    }
    values_[gpu]->setFullText(qs(gpuText));
    values_[gpu]->setToolTip(qs(gpuDetail));
    std::string systemText = p.osVersion;
    if (p.power) {
        systemText += " · " + p.power->source;
        if (p.power->batteryPercent)
            systemText.append(" ").append(std::to_string(*p.power->batteryPercent)).append("%");
        if (p.power->lowPowerMode) systemText += " · Low Power Mode";
    }
    values_[system]->setFullText(qs(systemText));
}

void HardwareProfileView::setCompact(bool compact)
{
    heading_->setVisible(!compact);
    inner_->setContentsMargins(16, compact ? 8 : 12, 16, compact ? 8 : 12);
}

QString HardwareProfileView::text() const
{
    QString all;
    for (int i = 0; i < lineCount; ++i) all += (i ? "\n" : "") + captions_[i]->text() + ": " + values_[i]->fullText();
    return all;
}

}  // namespace korvalen
