// scene-gallery OUTPUT_FOLDER [LIVE_SECONDS [PIXEL_RATIO]]
//
// Renders every visualization style at 960 × 540 twice: frozen (t = 1.35, as while a measurement
// runs) and live (seconds since 2001-01-01 UTC, now or as given). Writes one PNG per style and time,
// plus contact sheets of all styles side by side. Needs no display. A pixel ratio (default 1) draws
// the same scenes as a display scaled by it shows them: 960 × 540 points, ratio × as many pixels.

#include "Model/AIWorkloadCatalog.h"
#include "Visualization/AIVisualizationCanvas.h"
#include "Visualization/AIVisualizationModel.h"

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace korvalen;

namespace {

// The category colour of the first workload drawn with the style, as its window would use it.
SceneColor accentFor(const AIVisualizationStyle& style)
{
    for (auto id : allWorkloadIDs())
        for (auto backend : allBackends)
            if (visualizationStyle(id, backend) == style) {
                const AIColor c = color(definition(id).category);
                return SceneColor{c.red, c.green, c.blue, c.opacity};
            }
    return SceneColor::srgb(0.16, 0.78, 0.92);
}

QImage render(const AIVisualizationStyle& style, double time, double ratio)
{
    QImage image(int(960 * ratio), int(540 * ratio), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::black);
    QPainter painter(&image);
    PainterSceneContext context(painter, accentFor(style));
    AIVisualizationCanvas::drawFrame(context, style, QSizeF(960, 540), time);
    return image;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: scene-gallery OUTPUT_FOLDER [LIVE_SECONDS [PIXEL_RATIO]]\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "scene-gallery: cannot create %s\n", argv[1]);
        return 1;
    }
    double live = AIVisualizationCanvas::secondsSinceReferenceDateNow();
    if (argc > 2) {
        char* end = nullptr;
        live = std::strtod(argv[2], &end);
        if (!end || *end) {
            std::fprintf(stderr, "scene-gallery: LIVE_SECONDS must be a number\n");
            return 2;
        }
    }
    double ratio = 1;
    if (argc > 3) {
        char* end = nullptr;
        ratio = std::strtod(argv[3], &end);
        if (!end || *end || !(ratio >= 0.5 && ratio <= 8)) {
            std::fprintf(stderr, "scene-gallery: PIXEL_RATIO must be a number from 0.5 to 8\n");
            return 2;
        }
    }

    const struct {
        const char* name;
        double time;
    } times[] = {{"frozen", 1.35}, {"live", live}};
    constexpr int columns = 6, thumbW = 320, thumbH = 180, label = 18;
    const auto styles = allVisualizationStyles();
    const int rows = (int(styles.size()) + columns - 1) / columns;
    for (const auto& t : times) {
        QImage sheet(columns * thumbW, rows * (thumbH + label), QImage::Format_ARGB32_Premultiplied);
        sheet.fill(QColor(12, 12, 14));
        QPainter sheetPainter(&sheet);
        sheetPainter.setRenderHint(QPainter::SmoothPixmapTransform);
        QFont font;
        font.setPixelSize(12);
        sheetPainter.setFont(font);
        sheetPainter.setPen(QColor(220, 220, 225));
        for (std::size_t i = 0; i < styles.size(); ++i) {
            const QString name = QString::fromStdString(styleName(styles[i]));
            const QImage frame = render(styles[i], t.time, ratio);
            const QString file = folder + "/" + QString::fromStdString(t.name) + "-" +
                                 QString("%1").arg(i, 2, 10, QChar('0')) + "-" +
                                 QString(name).replace('(', '-').remove(')') + ".png";
            if (!frame.save(file)) {
                std::fprintf(stderr, "scene-gallery: cannot write %s\n", qPrintable(file));
                return 1;
            }
            const int x = int(i % columns) * thumbW, y = int(i / columns) * (thumbH + label);
            sheetPainter.drawImage(QRect(x, y, thumbW, thumbH), frame);
            sheetPainter.drawText(QRect(x + 4, y + thumbH, thumbW - 8, label), Qt::AlignLeft | Qt::AlignVCenter, name);
        }
        sheetPainter.end();
        const QString sheetFile = folder + "/contact-sheet-" + QString::fromStdString(t.name) + ".png";
        if (!sheet.save(sheetFile)) {
            std::fprintf(stderr, "scene-gallery: cannot write %s\n", qPrintable(sheetFile));
            return 1;
        }
        std::printf("%s: %zu styles at t = %.2f -> %s\n", t.name, styles.size(), t.time, qPrintable(sheetFile));
    }
    return 0;
}
