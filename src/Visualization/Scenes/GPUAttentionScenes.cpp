#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPUAttentionPrefill(SceneContext&, QSizeF, double)
{
}

void drawGPUAttentionDecode(SceneContext&, QSizeF, double)
{
}

void drawGPUKVCacheTraffic(SceneContext&, QSizeF, double)
{
}

void drawGPUKVContextGrowth(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
