#include "Visualization/Scenes/SustainedDashboardScene.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/GPUSceneParts.h"
#include "Visualization/Scenes/Scenes.h"

#include <cmath>

namespace korvalen::scene {

double gpuMixedMeterLoad(double time, int index, int meter)
{
    const double i = index;
    return 0.35 + 0.55 * (0.5 + 0.5 * std::sin(0.8 * meter + time * (0.55 + 0.07 * i) + i));
}

double gpuMixedHeartbeatRadius(double time, int index)
{
    return 3.2 + 1.5 * (0.5 + 0.5 * std::sin(2 * time + index));
}

void drawGPUMixedSustainedDashboard(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    static constexpr SceneColor panelColors[6] = {cyan, purple, orange, green, blue, red};
    const QRectF s = sceneArea(size);
    const double gap = 0.018 * s.width();
    const double panelWidth = (s.width() - 2 * gap) / 3;
    const double panelHeight = (s.height() - gap) * 0.5;

    for (int i = 0; i < 6; ++i) {
        const int column = i < 3 ? i : i - 3;
        const int row = i <= 2 ? 0 : 1;
        const QRectF panel(s.left() + column * (panelWidth + gap), s.top() + row * (panelHeight + gap), panelWidth,
                           panelHeight);
        const SceneColor color = panelColors[i];
        drawPanel(context, panel, color, 0.14);

        // Columns hold 4, 5 and 6 meters; the pitch follows, unclamped.
        const int meters = column + 4;
        const double pitch = (panelHeight - 30) / meters;
        for (int m = 0; m < meters; ++m) {
            const QRectF track(panel.left() + 12, panel.top() + 15 + m * pitch, panelWidth - 24, 7);
            fillRoundedRect(context, track, 3.5, white.withOpacity(0.06));
            const QRectF level(track.left(), track.top(), gpuMixedMeterLoad(time, i, m) * track.width(), 7);
            fillRoundedRect(context, level, 3.5, color.withOpacity(0.48));
        }
        fillCircle(context, {panel.right() - 15, panel.top() + 13}, gpuMixedHeartbeatRadius(time, i),
                   color.withOpacity(0.76));
    }
}

}  // namespace korvalen::scene
