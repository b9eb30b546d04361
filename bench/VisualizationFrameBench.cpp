// One frame of the visualization canvas at 960 × 540 on the QPainter back end, per style: the
// background and the style's scene, into an image, at a live time (previewing, completed) and at
// the frozen time (scoring, stopped). Frame cost bounds what a window takes from the machine:
// 30 frames a second during the hold, 8 while sustainedLive, none while a measurement runs.

#include "Visualization/AIVisualizationCanvas.h"
#include "Visualization/AIVisualizationModel.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <string>

using namespace korvalen;

namespace {

void frame(benchmark::State& state, AIVisualizationStyle style, double time)
{
    QImage image(960, 540, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        QPainter painter(&image);
        PainterSceneContext context(painter, SceneColor::srgb(0.16, 0.78, 0.92));
        AIVisualizationCanvas::drawFrame(context, style, QSizeF(960, 540), time);
        painter.end();
        benchmark::DoNotOptimize(image.constBits());
    }
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const double live = 8.2e8 + 0.123;
    for (const auto& style : allVisualizationStyles()) {
        const std::string name = styleName(style);
        benchmark::RegisterBenchmark(("frame/" + name + "/live").c_str(), frame, style, live)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("frame/" + name + "/frozen").c_str(), frame, style, 1.35)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
