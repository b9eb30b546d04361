#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPUMetalCommandQueues(SceneContext&, QSizeF, double)
{
}

void drawGPUMetalMemoryBandwidth(SceneContext&, QSizeF, double)
{
}

void drawGPUMetalCacheHierarchy(SceneContext&, QSizeF, double)
{
}

void drawGPUMetalSustainedTelemetry(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
