#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPUMixedSustainedDashboard(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
