#include "Model/AIWorkloadCatalog.h"

#include <algorithm>

namespace korvalen {

bool AIWorkloadDefinition::supports(AIBackend backend) const
{
    return std::find(supportedBackends.begin(), supportedBackends.end(), backend) != supportedBackends.end();
}

namespace {

using W = AIWorkloadID;
using C = AICategory;
using P = AIPrecision;
using B = AIBackend;

constexpr std::optional<CoreMLModelFamily> none = std::nullopt;
constexpr std::optional<CoreMLModelFamily> visionNet = CoreMLModelFamily::vision;
constexpr std::optional<CoreMLModelFamily> languageNet = CoreMLModelFamily::language;
constexpr std::optional<CoreMLModelFamily> audioNet = CoreMLModelFamily::audio;

AIWorkloadDefinition entry(W id, const char* title, const char* subtitle, C category, P precision,
                           const std::vector<B>& backends, B canonical, double baseDuration, double baseline,
                           const char* unit, std::optional<CoreMLModelFamily> family, const char* notes)
{
    return AIWorkloadDefinition{id,        title,        subtitle, category, precision, backends,
                                canonical, baseDuration, baseline, unit,     family,    notes};
}

std::map<W, AIWorkloadDefinition> makeCatalog()
{
    // Locals, not globals: the catalog may be first asked for during another file's static initialization.
    const std::vector<B> cpuOnly{B::cpu};
    const std::vector<B> gpuOnly{B::gpu};
    const std::vector<B> cpuGPU{B::cpu, B::gpu};
    const std::vector<B> allThree{B::cpu, B::gpu, B::neuralEnginePreferred};

    const std::vector<AIWorkloadDefinition> entries{
        entry(W::imageClassification, "Image Classification", "Validated vision inference, batch 1", C::vision,
              P::mixed, allThree, B::gpu, 1.4, 240, "inferences/s", visionNet,
              "Runs the same deterministic OlvaneVisionNet graph on every Core ML backend."),
        entry(W::objectDetection, "Object Detection", "Vision inference plus deterministic NMS", C::vision, P::mixed,
              allThree, B::gpu, 1.5, 190, "frames/s", visionNet,
              "Includes prediction and CPU-side non-maximum suppression over fixed proposals."),
        entry(W::semanticSegmentation, "Semantic Segmentation", "Dense vision inference and mask synthesis", C::vision,
              P::mixed, allThree, B::gpu, 1.5, 170, "frames/s", visionNet,
              "Validates the model tensor and a deterministic segmentation-mask projection."),
        entry(W::superResolution, "Super Resolution 2×", "Tensor reconstruction pipeline", C::vision, P::fp32, cpuGPU,
              B::gpu, 1.4, 65, "MP/s", none,
              "Uses equivalent CPU and Metal reconstruction kernels over a fixed image tensor."),
        entry(W::multimodalSimilarity, "Multimodal Similarity", "Vision + language encoders and cosine matching",
              C::vision, P::mixed, allThree, B::gpu, 1.8, 95, "pairs/s", visionNet,
              "Executes both bundled encoders and validates a deterministic cross-modal similarity projection."),
        entry(W::textTokenization, "Text Tokenization", "UTF-8 normalization and BPE-style merges", C::language,
              P::int8, cpuOnly, B::cpu, 1.2, 18, "MB/s", none,
              "Measures deterministic text preprocessing required before language-model inference."),
        entry(W::textEmbeddings, "Text Embeddings", "512-dimensional encoder projection", C::language, P::mixed,
              allThree, B::gpu, 1.4, 310, "embeddings/s", languageNet,
              "Runs deterministic language encoder inference and L2-normalizes its output."),
        entry(W::ropeRMSNorm, "RoPE + RMSNorm", "Decoder positional encoding and normalization", C::language, P::fp32,
              cpuGPU, B::gpu, 1.4, 210, "GB/s", none,
              "Applies rotary position embedding and RMS normalization to a fixed decoder tensor."),
        entry(W::transformerAttention, "Transformer Attention", "QKᵀ, softmax, and value projection", C::language,
              P::fp32, cpuGPU, B::gpu, 1.5, 125, "sequences/s", none,
              "Measures an exact scaled-dot-product attention block at a fixed context size."),
        entry(W::llmPromptProcessing, "LLM Prompt Processing", "Prefill-style language inference", C::generative,
              P::mixed, allThree, B::gpu, 1.7, 4800, "tokens/s", languageNet,
              "Reports prompt throughput separately from autoregressive token generation."),
        entry(W::llmTokenGeneration, "LLM Token Generation", "Autoregressive decode simulation", C::generative,
              P::mixed, allThree, B::gpu, 1.8, 120, "tokens/s", languageNet,
              "Runs one validated model prediction per generated token with deterministic state updates."),
        entry(W::diffusionDenoise, "Diffusion Denoise", "Latent tensor denoising steps", C::generative, P::fp16, cpuGPU,
              B::gpu, 1.8, 95, "steps/s", none,
              "Executes repeated convolution, normalization, and activation over a latent tensor."),
        entry(W::melSpectrogram, "Mel Spectrogram", "Windowing, spectral power, and mel projection", C::audio, P::fp32,
              cpuOnly, B::cpu, 1.3, 160, "audio× realtime", none,
              "Measures deterministic acoustic preprocessing used by speech and audio AI models."),
        entry(W::speechRecognition, "Speech Recognition", "Spectral features and acoustic inference", C::audio,
              P::mixed, allThree, B::gpu, 1.5, 55, "audio× realtime", audioNet,
              "Measures validated acoustic inference against a fixed synthetic speech feature stream."),
        entry(W::noiseSuppression, "Noise Suppression", "Low-latency neural-style frame filtering", C::audio, P::fp32,
              cpuGPU, B::gpu, 1.3, 410, "audio× realtime", none,
              "Applies deterministic frame-window filtering and residual-gate operations."),
        entry(W::audioClassification, "Audio Classification", "Acoustic embedding classification", C::audio, P::mixed,
              allThree, B::gpu, 1.4, 260, "clips/s", audioNet,
              "Runs the same OlvaneAudioNet graph with fixed clip features on each Core ML backend."),
        entry(W::matrixFP32, "Matrix Multiplication FP32", "Dense GEMM neural kernel", C::compute, P::fp32, cpuGPU,
              B::gpu, 1.4, 1.1, "TFLOP/s", none,
              "Uses Accelerate SGEMM on CPU and a deterministic tiled Metal kernel on GPU."),
        entry(W::matrixFP16, "Matrix Multiplication FP16", "Half-storage neural matrix workload", C::compute, P::fp16,
              cpuGPU, B::gpu, 1.4, 2, "TFLOP/s", none,
              "GPU computes in FP16. CPU reports FP16 storage with FP32 accumulation explicitly and does not "
              "claim native FP16 arithmetic."),
        entry(W::matrixINT8, "Matrix Multiplication INT8", "Quantized dot-product workload", C::compute, P::int8,
              cpuGPU, B::gpu, 1.4, 4.2, "TOP/s", none,
              "Measures signed INT8 multiply-accumulate throughput with exact INT32 validation."),
        entry(W::convolution, "Convolution 2D", "3×3 feature-map convolution", C::compute, P::fp32, cpuGPU, B::gpu, 1.4,
              620, "GFLOP/s", none, "Runs equivalent padded convolution kernels with deterministic sample validation."),
        entry(W::softmaxLayerNorm, "Softmax + LayerNorm", "Transformer normalization kernels", C::compute, P::fp32,
              cpuGPU, B::gpu, 1.4, 190, "GB/s", none, "Validates softmax row sums and layer-normalization invariants."),
        entry(W::tensorOperations, "Tensor Operations", "Fused add, multiply, GELU, reduction", C::compute, P::fp32,
              cpuGPU, B::gpu, 1.3, 240, "GB/s", none,
              "Measures bandwidth-sensitive fused tensor operations with a checksum reference."),
        entry(W::threadScaling, "CPU AI Thread Scaling", "1 thread through all logical processors", C::compute, P::fp32,
              cpuOnly, B::cpu, 1.6, 120, "GB/s", none,
              "Measures AI tensor scaling efficiency and reports the optimal worker count."),
        entry(W::gpuCommandThroughput, "GPU AI Command Throughput", "Multiple Metal command buffers in flight",
              C::compute, P::fp32, gpuOnly, B::gpu, 1.6, 900, "dispatches/s", none,
              "Separates serial latency from queued GPU throughput using deterministic tensor kernels."),
        entry(W::metalMemoryBandwidth, "Metal Device Memory Bandwidth", "Private GPU read + write bandwidth", C::memory,
              P::mixed, gpuOnly, B::gpu, 1.5, 160, "GB/s", none,
              "Measures compute-kernel copy bandwidth entirely through private device memory, with validation "
              "copied back only after timing."),
        entry(W::metalCacheLadder, "Metal Cache Ladder", "1, 4, 16, 64, and 128 MiB working sets", C::memory, P::fp32,
              gpuOnly, B::gpu, 1.8, 80, "GB/s", none,
              "Sweeps fixed power-of-two GPU working sets to expose cache and memory-hierarchy transitions "
              "without changing the access kernel."),
        entry(W::llmGEMVFP16, "LLM GEMV FP16", "Batch-1 decoder matrix-vector multiply", C::generative, P::fp16,
              gpuOnly, B::gpu, 1.5, 100, "GFLOP/s", none,
              "Measures a native-half matrix-vector kernel representative of memory-bound autoregressive "
              "decoder layers."),
        entry(W::llmQ4, "LLM Q4 Dequant + GEMV", "Packed 4-bit weights with on-GPU dequantization", C::generative,
              P::mixed, gpuOnly, B::gpu, 1.6, 30, "GOP/s", none,
              "Measures packed signed Q4 weight decoding and matrix-vector accumulation in a deterministic "
              "Metal kernel."),
        entry(W::attentionPrefill, "Metal Attention Prefill", "FP16 Q/K/V prefill at fixed context", C::language,
              P::fp16, gpuOnly, B::gpu, 1.6, 80000, "tokens/s", none,
              "Measures scaled-dot-product prefill with native-half Q/K/V storage, stable softmax, and value "
              "projection."),
        entry(W::attentionDecode, "Metal Attention Decode", "Single-token attention against a 2K KV context",
              C::language, P::fp32, gpuOnly, B::gpu, 1.6, 2000, "tokens/s", none,
              "Measures batch-1 decoder attention with explicit QK scoring, stable softmax, and KV value "
              "projection."),
        entry(W::kvCacheReadWrite, "Metal KV Cache Read/Write", "FP16 sequential device-resident KV traffic", C::memory,
              P::fp16, gpuOnly, B::gpu, 1.5, 140, "GB/s", none,
              "Measures deterministic FP16 KV reads and writes in private GPU memory; validation readback is "
              "outside the timed region."),
        entry(W::metalSustained, "Metal Sustained AI", "GEMV + attention + fused tensor retention", C::sustained,
              P::mixed, gpuOnly, B::gpu, 15, 40, "cycles/s", none,
              "Runs a fixed all-Metal LLM-style cycle while tracking latency, thermal state, and first-to-last "
              "performance retention."),
        entry(W::gpuTransfer, "GPU AI Tensor Transfer", "Host staging, private VRAM, and readback", C::memory, P::mixed,
              gpuOnly, B::gpu, 1.5, 20, "GB/s", none,
              "Measures end-to-end tensor movement through private GPU memory using shared memory on unified "
              "GPUs and managed staging on discrete GPUs."),
        entry(W::fineTuningStep, "Fine-Tuning Step", "Forward, loss, backward, optimizer update", C::training, P::fp32,
              cpuGPU, B::gpu, 1.8, 85, "steps/s", none,
              "Executes a deterministic two-layer training step and verifies that loss decreases."),
        entry(W::modelLoading, "Model Loading", "First and warm Core ML initialization", C::memory, P::mixed, allThree,
              B::gpu, 1, 8, "loads/s", languageNet,
              "Separates first in-process load from repeated model initialization latency."),
        entry(W::tensorAllocation, "Tensor Allocation", "Allocate, touch, recycle, and release", C::memory, P::mixed,
              cpuGPU, B::gpu, 1.3, 28, "GB/s", none,
              "Measures practical tensor allocation and initialization throughput."),
        entry(W::memoryPressure, "AI Memory Pressure Ladder", "Progressive tensor sizes with safe limits", C::memory,
              P::mixed, cpuOnly, B::cpu, 1, 18, "GB/s", none,
              "Allocates and validates progressively larger tensors while respecting physical-memory limits."),
        entry(W::kvCache, "KV Cache", "Context growth and cache traversal", C::memory, P::fp16, cpuGPU, B::gpu, 1.4, 45,
              "GB/s", none, "Simulates key/value cache growth and traversal at a 4K context."),
        entry(W::batchScaling, "Batch Scaling", "Batch 1, 2, 4, 8, and 16", C::memory, P::mixed, allThree, B::gpu, 1.8,
              720, "items/s", visionNet, "Reports scaling efficiency instead of only the largest batch throughput."),
        entry(W::mixedSustained, "Mixed Sustained AI", "Peak, average, minimum, and retention", C::sustained, P::mixed,
              allThree, B::gpu, 15, 1000, "score/s", none,
              "Cycles through vision, language, compute, audio, generation, and memory workloads while "
              "tracking thermal state."),
    };

    std::map<W, AIWorkloadDefinition> catalog;
    for (const AIWorkloadDefinition& definition : entries) {
        catalog.emplace(definition.id, definition);
    }
    return catalog;
}

}  // namespace

const std::map<AIWorkloadID, AIWorkloadDefinition>& AIWorkloadCatalog::definitions()
{
    // A function-local static is initialized exactly once, even under concurrent first calls.
    static const std::map<AIWorkloadID, AIWorkloadDefinition> catalog = makeCatalog();
    return catalog;
}

}  // namespace korvalen
