#pragma once

// The builders behind makeInvocation, one per GPU workload, and the CPU references the language
// and attention builders validate against. Internal to the GPU runners and their tests.

#include "Execution/GPU/MetalInvocation.h"

#include <cstdint>
#include <span>
#include <vector>

namespace korvalen::MetalBenchmarkRunner {

Invocation superResolution(MetalKernelContext& context);
Invocation ropeRMSNorm(MetalKernelContext& context);
Invocation convolutionInvocation(MetalKernelContext& context, bool diffusion);
Invocation noiseSuppression(MetalKernelContext& context);
Invocation matrixFP32(MetalKernelContext& context);
Invocation matrixFP16(MetalKernelContext& context);
Invocation matrixINT8(MetalKernelContext& context);
Invocation softmaxLayerNorm(MetalKernelContext& context);
Invocation gpuCommandThroughput(MetalKernelContext& context);
Invocation training(MetalKernelContext& context);
Invocation tensorAllocation(MetalKernelContext& context);
Invocation kvCache(MetalKernelContext& context);

Invocation attention(MetalKernelContext& context);
Invocation llmQ4(MetalKernelContext& context);
Invocation attentionDecode(MetalKernelContext& context);

// CPU references, exposed so that tests can hold them against independent arithmetic.
namespace reference {

// Signed bytes -15...15 of the INT8 matrix inputs: one stream, A first, then B.
std::vector<std::int8_t> int8Stream(std::uint64_t seed, std::size_t count);

// Packed 4-bit weights: weight f in the low nibble of byte f / 2 when f is even, else the high one.
std::vector<std::uint8_t> packedQ4Weights(std::uint64_t seed, std::size_t weightCount);
// The value of a nibble: (nibble - 8) / 8.
float q4Weight(std::uint8_t nibble);

// Attention of one query against P keys and values of 64 features, output feature d: scaled
// scores, stable softmax, weighted sum of the values, all in float.
float attentionOutput(std::span<const float> query, std::span<const float> keys, std::span<const float> values,
                      std::size_t positions, std::size_t feature);

// The sample check of the language and attention invocations: every sampled value finite and
// within max(|e| x relative, absolute) of its expected value; walks the shorter of the two lists.
bool samplesMatch(std::span<const float> values, std::span<const float> expected, float relative, float absolute);

}  // namespace reference

}  // namespace korvalen::MetalBenchmarkRunner
