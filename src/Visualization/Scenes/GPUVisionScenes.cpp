#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPUVisionClassification(SceneContext&, QSizeF, double)
{
}

void drawGPUVisionObjectTracking(SceneContext&, QSizeF, double)
{
}

void drawGPUVisionSemanticMask(SceneContext&, QSizeF, double)
{
}

void drawGPUVisionSuperResolution(SceneContext&, QSizeF, double)
{
}

void drawGPUVisionMultimodalEmbedding(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
