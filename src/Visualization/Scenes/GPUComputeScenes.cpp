#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPUComputeMatrixFP32(SceneContext&, QSizeF, double)
{
}

void drawGPUComputeMatrixFP16(SceneContext&, QSizeF, double)
{
}

void drawGPUComputeMatrixINT8(SceneContext&, QSizeF, double)
{
}

void drawGPUComputeConvolution(SceneContext&, QSizeF, double)
{
}

void drawGPUComputeSoftmaxNorm(SceneContext&, QSizeF, double)
{
}

void drawGPUComputeFusedTensor(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
