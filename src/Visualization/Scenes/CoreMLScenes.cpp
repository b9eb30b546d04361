#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawClassification(SceneContext&, QSizeF, double)
{
}

void drawObjectDetection(SceneContext&, QSizeF, double)
{
}

void drawSegmentation(SceneContext&, QSizeF, double)
{
}

void drawSuperResolution(SceneContext&, QSizeF, double)
{
}

void drawMultimodal(SceneContext&, QSizeF, double)
{
}

void drawDiffusion(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
