#include "Visualization/AIVisualizationWindowView.h"

#include "Model/AIWorkloadCatalog.h"
#include "Visualization/AIVisualizationCanvas.h"
#include "Visualization/SymbolGlyph.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace korvalen {

namespace {

QColor toQColor(const SceneColor& c, double opacity = 1)
{
    return QColor::fromRgbF(float(c.red), float(c.green), float(c.blue), float(c.opacity * opacity));
}

const QColor primaryText(255, 255, 255);
const QColor secondaryText(235, 235, 245, 153);

QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal, double tracking = 0)
{
    QFont font;
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    if (tracking != 0) font.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
    return font;
}

// Text style sizes in pixels: caption and caption2 of the window's panels.
constexpr int captionSize = 11;
constexpr int caption2Size = 10;

const QString shortcutHint =
    QStringLiteral("Stop the benchmark with Ctrl+. and start one with Ctrl+R, from this window too.");

QLabel* makeLabel(const QFont& font, const QColor& color, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

void setLabelColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// A translucent rounded panel behind the header or the status line.
class Panel : public QWidget {
public:
    Panel(double radius, double fillOpacity, double strokeOpacity, QWidget* parent)
        : QWidget(parent),
          radius_(radius),
          fill_(0, 0, 0, int(255 * fillOpacity + 0.5)),
          stroke_(255, 255, 255, int(255 * strokeOpacity + 0.5))
    {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius_, radius_);
        painter.fillPath(path, fill_);
        painter.strokePath(path, QPen(stroke_, 1));
    }

private:
    double radius_;
    QColor fill_, stroke_;
};

// One glyph, optionally on the category tile's rounded square.
class Glyph : public QWidget {
public:
    Glyph(QSize size, double glyphSize, QWidget* parent) : QWidget(parent), glyphSize_(glyphSize)
    {
        setFixedSize(size);
    }
    void set(QString symbol, QColor color)
    {
        symbol_ = std::move(symbol);
        color_ = color;
        update();
    }
    void setTile(QColor fill, QColor stroke)
    {
        tile_ = true;
        tileFill_ = fill;
        tileStroke_ = stroke;
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (tile_) {
            QPainterPath path;
            path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 11, 11);
            painter.fillPath(path, tileFill_);
            painter.strokePath(path, QPen(tileStroke_, 1));
        }
        const QPointF c = QRectF(rect()).center();
        SymbolGlyph::paint(painter, symbol_.toStdString(),
                           QRectF(c.x() - glyphSize_ / 2, c.y() - glyphSize_ / 2, glyphSize_, glyphSize_), color_);
    }

private:
    double glyphSize_;
    QString symbol_;
    QColor color_;
    bool tile_ = false;
    QColor tileFill_, tileStroke_;
};

}  // namespace

const char* AIVisualizationWindowView::categorySymbol(AICategory category)
{
    return SymbolGlyph::categorySymbol(category);
}

const char* AIVisualizationWindowView::backendSymbol(AIBackend backend)
{
    switch (backend) {
    case AIBackend::automatic: return "sparkles";
    case AIBackend::cpu: return "cpu";
    case AIBackend::gpu: return "display";
    case AIBackend::neuralEnginePreferred: return "brain";
    }
    return "";
}

QColor AIVisualizationWindowView::phaseColor(AIVisualizationPhase phase, const SceneColor& accent)
{
    switch (phase) {
    case AIVisualizationPhase::previewing: return toQColor(accent);
    case AIVisualizationPhase::sustainedLive: return toQColor(SceneColors::cyan);
    case AIVisualizationPhase::scoring: return toQColor(SceneColors::orange);
    case AIVisualizationPhase::completed: return toQColor(SceneColors::green);
    case AIVisualizationPhase::stopped: return toQColor(SceneColors::red);
    }
    return toQColor(accent);
}

const char* AIVisualizationWindowView::phaseSymbol(AIVisualizationPhase phase)
{
    switch (phase) {
    case AIVisualizationPhase::sustainedLive: return "waveform.path.ecg";
    case AIVisualizationPhase::scoring: return "pause.circle.fill";
    case AIVisualizationPhase::previewing:
    case AIVisualizationPhase::completed:
    case AIVisualizationPhase::stopped: return "sparkles";
    }
    return "sparkles";
}

AIVisualizationWindowView::AIVisualizationWindowView(AIVisualizationModel& model, QWidget* parent)
    : QWidget(parent), model_(&model)
{
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);

    const AIVisualizationRequest& request = model.request();
    canvas_ = new AIVisualizationCanvas(model, this);

    auto* overlay = new QVBoxLayout(this);
    overlay->setContentsMargins(18, 18, 18, 18);
    overlay->setSpacing(0);

    // Header: category tile, title and subtitle, then the phase badge and the backend.
    auto* header = new Panel(14, 0.55, 0.09, this);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(12, 12, 12, 12);
    headerRow->setSpacing(12);

    const AICategory category = definition(request.workloadID).category;
    categorySymbol_ = categorySymbol(category);
    auto* tile = new Glyph(QSize(42, 42), 20, header);
    tile->setTile(toQColor(request.accent, 0.22), toQColor(request.accent, 0.65));
    tile->set(categorySymbol_, toQColor(request.accent));
    headerRow->addWidget(tile, 0, Qt::AlignVCenter);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    auto* title = makeLabel(systemFont(16, QFont::DemiBold), primaryText, header);
    title->setObjectName("VisualizationTitle");
    title->setText(QString::fromStdString(request.title));
    auto* subtitle = makeLabel(systemFont(captionSize), secondaryText, header);
    subtitle->setObjectName("VisualizationSubtitle");
    subtitle->setText(QString::fromStdString(request.subtitle));
    titles->addWidget(title);
    titles->addWidget(subtitle);
    headerRow->addLayout(titles);
    headerRow->addStretch(1);

    auto* badges = new QVBoxLayout;
    badges->setSpacing(4);
    badge_ = makeLabel(systemFont(10, QFont::Bold, 1.15), primaryText, header);
    badge_->setObjectName("VisualizationBadge");
    badge_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    badges->addWidget(badge_, 0, Qt::AlignRight);
    auto* backendRow = new QHBoxLayout;
    backendRow->setSpacing(4);
    auto* backendGlyph = new Glyph(QSize(12, 12), 11, header);
    backendGlyph->set(backendSymbol(request.backend), secondaryText);
    backendGlyph_ = backendGlyph;
    backendLabel_ = makeLabel(systemFont(caption2Size), secondaryText, header);
    backendLabel_->setObjectName("VisualizationBackend");
    backendLabel_->setText(QString::fromStdString(std::string(rawValue(request.backend))));
    backendRow->addStretch(1);
    backendRow->addWidget(backendGlyph_, 0, Qt::AlignVCenter);
    backendRow->addWidget(backendLabel_, 0, Qt::AlignVCenter);
    badges->addLayout(backendRow);
    headerRow->addLayout(badges);

    // Status panel: phase icon, what the window is doing (or the result), and the small caption.
    auto* footer = new Panel(12, 0.58, 0.08, this);
    auto* footerRow = new QHBoxLayout(footer);
    footerRow->setContentsMargins(13, 10, 13, 10);
    footerRow->setSpacing(12);
    phaseGlyph_ = new Glyph(QSize(18, 18), 17, footer);
    footerRow->addWidget(phaseGlyph_, 0, Qt::AlignVCenter);
    auto* status = new QVBoxLayout;
    status->setSpacing(2);
    statusFirst_ = makeLabel(systemFont(captionSize), primaryText, footer);
    statusSecond_ = makeLabel(systemFont(captionSize), secondaryText, footer);
    status->addWidget(statusFirst_);
    status->addWidget(statusSecond_);
    footerRow->addLayout(status);
    footerRow->addStretch(1);
    caption_ = makeLabel(systemFont(9, QFont::Bold, 1.0), secondaryText, footer);
    caption_->setObjectName("VisualizationCaption");
    footerRow->addWidget(caption_, 0, Qt::AlignVCenter);

    // This window is in front during a run and the main window's Stop is often behind it.
    header->setToolTip(shortcutHint);
    footer->setToolTip(shortcutHint);

    overlay->addWidget(header);
    overlay->addStretch(1);
    overlay->addWidget(footer);

    canvas_->lower();
    connect(&model, &AIVisualizationModel::changed, this, &AIVisualizationWindowView::refresh);
    refresh();
}

void AIVisualizationWindowView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    canvas_->setGeometry(rect());
}

void AIVisualizationWindowView::refresh()
{
    if (!model_) return;
    const AIVisualizationPhase phase = model_->phase();
    const QColor color = phaseColor(phase, model_->request().accent);
    badge_->setText(QString::fromStdString(std::string(rawValue(phase))));
    setLabelColor(badge_, color);
    static_cast<Glyph*>(phaseGlyph_)->set(phaseSymbol(phase), color);

    QString first, second;
    QFont firstFont = systemFont(captionSize);
    switch (phase) {
    case AIVisualizationPhase::previewing: first = "Generating a deterministic image/video-style AI preview."; break;
    case AIVisualizationPhase::sustainedLive:
        first = "Live low-rate sustained dashboard — benchmark is still running.";
        break;
    case AIVisualizationPhase::scoring:
        first = "The animated scene is frozen while the timed AI measurement runs.";
        break;
    case AIVisualizationPhase::completed:
        first = QString::fromStdString(model_->scoreText());
        second = QString::fromStdString(model_->throughputText());
        firstFont = systemFont(captionSize, QFont::DemiBold);
        break;
    case AIVisualizationPhase::stopped: first = QString::fromStdString(model_->scoreText()); break;
    }
    statusFirst_->setFont(firstFont);
    statusFirst_->setText(first);
    statusSecond_->setText(second);
    statusSecond_->setVisible(!second.isEmpty());
    caption_->setText(phase == AIVisualizationPhase::sustainedLive ? "LIVE SUSTAINED STATUS"
                                                                   : "PREVIEW EXCLUDED FROM SCORE");
}

QString AIVisualizationWindowView::badgeText() const
{
    return badge_->text();
}

QColor AIVisualizationWindowView::badgeColor() const
{
    return badge_->palette().color(QPalette::WindowText);
}

QString AIVisualizationWindowView::phaseSymbol() const
{
    return model_ ? QString(phaseSymbol(model_->phase())) : QString();
}

QStringList AIVisualizationWindowView::statusLines() const
{
    QStringList lines{statusFirst_->text()};
    if (!statusSecond_->isHidden()) lines << statusSecond_->text();
    return lines;
}

QString AIVisualizationWindowView::captionText() const
{
    return caption_->text();
}

QString AIVisualizationWindowView::backendText() const
{
    return backendLabel_->text();
}

QString AIVisualizationWindowView::backendSymbol() const
{
    return model_ ? QString(backendSymbol(model_->request().backend)) : QString();
}

QString AIVisualizationWindowView::categorySymbol() const
{
    return categorySymbol_;
}

}  // namespace korvalen
