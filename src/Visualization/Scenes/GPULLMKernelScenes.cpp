#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPULLMGEMV(SceneContext&, QSizeF, double)
{
}

void drawGPULLMQ4Dequant(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
