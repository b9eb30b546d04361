#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPULanguageEmbeddingProjection(SceneContext&, QSizeF, double)
{
}

void drawGPULanguageRoPERMS(SceneContext&, QSizeF, double)
{
}

void drawGPULanguageAttentionGraph(SceneContext&, QSizeF, double)
{
}

void drawGPUGenerativePromptPrefill(SceneContext&, QSizeF, double)
{
}

void drawGPUGenerativeTokenDecode(SceneContext&, QSizeF, double)
{
}

void drawGPUGenerativeDiffusion(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
