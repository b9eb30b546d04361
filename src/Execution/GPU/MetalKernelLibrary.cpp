#include "Execution/GPU/MetalKernelLibrary.h"

namespace korvalen::MetalKernelLibrary {

// The files of kernels/, joined at build time (see korvalen_embed_text in CMakeLists.txt).
extern const char kernelSourceText[];

const std::string& source()
{
    static const std::string text(kernelSourceText);
    return text;
}

const std::vector<std::string>& kernelNames()
{
    static const std::vector<std::string> names = {
        "matrix_fp32",
        "matrix_fp16",
        "matrix_int8",
        "convolution_3x3",
        "diffusion_denoise",
        "upscale_2x",
        "softmax_rows",
        "layernorm_softmax",
        "tensor_fused",
        "noise_suppress",
        "training_update",
        "fill_tensor",
        "kv_cache_update",
        "rope_rmsnorm",
        "metal_memory_copy",
        "metal_cache_probe",
        "gemv_fp16",
        "q4_gemv",
        "attention_prefill_scores",
        "attention_prefill_values",
        "attention_decode_scores",
        "attention_decode_values",
        "kv_cache_read_write",
    };
    return names;
}

}  // namespace korvalen::MetalKernelLibrary
