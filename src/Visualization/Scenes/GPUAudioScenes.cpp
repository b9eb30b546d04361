#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"

namespace korvalen::scene {

void drawGPUAudioSpeechDecode(SceneContext&, QSizeF, double)
{
}

void drawGPUAudioNoiseGate(SceneContext&, QSizeF, double)
{
}

void drawGPUAudioSceneClassifier(SceneContext&, QSizeF, double)
{
}

}  // namespace korvalen::scene
