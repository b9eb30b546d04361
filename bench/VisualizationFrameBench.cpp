// One frame of the visualization canvas on the QPainter back end, per style: the background and the
// style's scene, into an image, at a live time (previewing, completed) and at the frozen time
// (scoring, stopped). Frame cost bounds what a window takes from the machine: 30 frames a second
// during the hold, 8 while sustainedLive, none while a measurement runs.
//
// Sizes, as a window meets them (logical size × device pixel ratio = device pixels):
//   960x540@1   the window as it opens on an unscaled display
//   960x540@2   the same window on a display scaled ×2 (1920 × 1080 device pixels)
//   1920x1080@2 a full-screen window on a 4K display scaled ×2 (3840 × 2160 device pixels)
//
// Counters: frames/s, and wakeups/frame: the context switches of every other thread of the process
// (Qt's GUI thread pool is the only other one here) during the timed frames, per frame. A blend that
// Qt hands to its pool shows there; a frame drawn wholly on the painting thread shows 0.

#include "Platform/System/ResidentMemory.h"
#include "Visualization/AIVisualizationCanvas.h"
#include "Visualization/AIVisualizationModel.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

using namespace korvalen;

namespace {

struct Size {
    const char* name;
    int width, height;
    double ratio;
};

void frame(benchmark::State& state, AIVisualizationStyle style, Size size, double time)
{
    QImage image(int(size.width * size.ratio), int(size.height * size.ratio), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(size.ratio);
    const long long before = sys::otherThreadsContextSwitches();
    for (auto _ : state) {
        QPainter painter(&image);
        PainterSceneContext context(painter, SceneColor::srgb(0.16, 0.78, 0.92));
        AIVisualizationCanvas::drawFrame(context, style, QSizeF(size.width, size.height), time);
        painter.end();
        benchmark::DoNotOptimize(image.constBits());
    }
    const long long wakeups = sys::otherThreadsContextSwitches() - before;
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["wakeups/frame"] =
        double(wakeups) / double(std::max<benchmark::IterationCount>(1, state.iterations()));
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const double live = 8.2e8 + 0.123;
    const Size sizes[] = {{"960x540@1", 960, 540, 1}, {"960x540@2", 960, 540, 2}, {"1920x1080@2", 1920, 1080, 2}};
    for (const Size& size : sizes)
        for (const auto& style : allVisualizationStyles()) {
            const std::string name = std::string("frame/") + size.name + "/" + styleName(style);
            benchmark::RegisterBenchmark((name + "/live").c_str(), frame, style, size, live)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark((name + "/frozen").c_str(), frame, style, size, 1.35)
                ->Unit(benchmark::kMicrosecond);
        }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
