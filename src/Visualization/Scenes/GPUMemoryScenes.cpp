#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPUTrainingBackprop(SceneContext&, QSizeF, double)
{
}

void drawGPUTensorTransfer(SceneContext&, QSizeF, double)
{
}

void drawGPUModelLoadPipeline(SceneContext&, QSizeF, double)
{
}

void drawGPUTensorAllocator(SceneContext&, QSizeF, double)
{
}

void drawGPUBatchScaling(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
