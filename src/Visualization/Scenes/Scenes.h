#pragma once

#include "Visualization/SceneContext.h"

#include <QSizeF>

// The 42 scene routines. Each draws one frame from (context, size, time) alone, over the background
// the canvas has already drawn; none keeps state between frames.
namespace korvalen::scene {

// CoreMLScenes.cpp: backend-independent image, video and diffusion scenes.
void drawClassification(SceneContext& context, QSizeF size, double time);
void drawObjectDetection(SceneContext& context, QSizeF size, double time);
void drawSegmentation(SceneContext& context, QSizeF size, double time);
void drawSuperResolution(SceneContext& context, QSizeF size, double time);
void drawMultimodal(SceneContext& context, QSizeF size, double time);
void drawDiffusion(SceneContext& context, QSizeF size, double time);

// GPUVisionScenes.cpp: GPU vision scenes.
void drawGPUVisionClassification(SceneContext& context, QSizeF size, double time);
void drawGPUVisionObjectTracking(SceneContext& context, QSizeF size, double time);
void drawGPUVisionSemanticMask(SceneContext& context, QSizeF size, double time);
void drawGPUVisionSuperResolution(SceneContext& context, QSizeF size, double time);
void drawGPUVisionMultimodalEmbedding(SceneContext& context, QSizeF size, double time);

// GPULanguageScenes.cpp: GPU language and generative scenes.
void drawGPULanguageEmbeddingProjection(SceneContext& context, QSizeF size, double time);
void drawGPULanguageRoPERMS(SceneContext& context, QSizeF size, double time);
void drawGPULanguageAttentionGraph(SceneContext& context, QSizeF size, double time);
void drawGPUGenerativePromptPrefill(SceneContext& context, QSizeF size, double time);
void drawGPUGenerativeTokenDecode(SceneContext& context, QSizeF size, double time);
void drawGPUGenerativeDiffusion(SceneContext& context, QSizeF size, double time);

// GPUAudioScenes.cpp: GPU audio scenes.
void drawGPUAudioSpeechDecode(SceneContext& context, QSizeF size, double time);
void drawGPUAudioNoiseGate(SceneContext& context, QSizeF size, double time);
void drawGPUAudioSceneClassifier(SceneContext& context, QSizeF size, double time);

// GPUComputeScenes.cpp: GPU compute scenes.
void drawGPUComputeMatrixFP32(SceneContext& context, QSizeF size, double time);
void drawGPUComputeMatrixFP16(SceneContext& context, QSizeF size, double time);
void drawGPUComputeMatrixINT8(SceneContext& context, QSizeF size, double time);
void drawGPUComputeConvolution(SceneContext& context, QSizeF size, double time);
void drawGPUComputeSoftmaxNorm(SceneContext& context, QSizeF size, double time);
void drawGPUComputeFusedTensor(SceneContext& context, QSizeF size, double time);

// GPULLMKernelScenes.cpp: GPU LLM kernel scenes.
void drawGPULLMGEMV(SceneContext& context, QSizeF size, double time);
void drawGPULLMQ4Dequant(SceneContext& context, QSizeF size, double time);

// GPUSystemScenes.cpp: GPU command, memory-system and sustained telemetry scenes.
void drawGPUMetalCommandQueues(SceneContext& context, QSizeF size, double time);
void drawGPUMetalMemoryBandwidth(SceneContext& context, QSizeF size, double time);
void drawGPUMetalCacheHierarchy(SceneContext& context, QSizeF size, double time);
void drawGPUMetalSustainedTelemetry(SceneContext& context, QSizeF size, double time);

// GPUAttentionScenes.cpp: GPU attention and KV-cache scenes.
void drawGPUAttentionPrefill(SceneContext& context, QSizeF size, double time);
void drawGPUAttentionDecode(SceneContext& context, QSizeF size, double time);
void drawGPUKVCacheTraffic(SceneContext& context, QSizeF size, double time);
void drawGPUKVContextGrowth(SceneContext& context, QSizeF size, double time);

// GPUMemoryScenes.cpp: GPU memory, pipeline and training scenes.
void drawGPUTrainingBackprop(SceneContext& context, QSizeF size, double time);
void drawGPUTensorTransfer(SceneContext& context, QSizeF size, double time);
void drawGPUModelLoadPipeline(SceneContext& context, QSizeF size, double time);
void drawGPUTensorAllocator(SceneContext& context, QSizeF size, double time);
void drawGPUBatchScaling(SceneContext& context, QSizeF size, double time);

// SustainedDashboardScene.cpp: mixed sustained dashboard scene.
void drawGPUMixedSustainedDashboard(SceneContext& context, QSizeF size, double time);

}  // namespace korvalen::scene
