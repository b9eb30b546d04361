// The language-model and attention invocations on the GPU, and the dispatch of every GPU workload
// measured through the execution loops to its builder.

#include "Execution/GPU/MetalInvocationBuilders.h"
#include "Execution/GPU/MetalKernelContext.h"
#include "Execution/GPU/MetalKernelLibrary.h"
#include "Execution/GPU/MetalRunnerSupport.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"

#include <array>
#include <cmath>
#include <utility>

namespace korvalen::MetalBenchmarkRunner {

using namespace MetalRunnerSupport;

namespace {

constexpr const char* noEncoder = "No compute encoder";

std::vector<std::uint16_t> halfTensor(std::uint64_t seed, std::size_t count)
{
    const std::vector<float> values = deterministicFloats(static_cast<std::int64_t>(count), seed);
    std::vector<std::uint16_t> halves(values.size());
    OlvaneHalfPrecision::encode(values, halves);
    return halves;
}

std::vector<float> decoded(const std::vector<std::uint16_t>& halves, std::size_t first, std::size_t count)
{
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = OlvaneHalfPrecision::decode(halves[first + i]);
    return values;
}

// Reads the sampled output elements and runs the shared sample check on them.
std::function<bool()> sampleValidation(std::shared_ptr<gpu::Buffer> output, std::vector<std::size_t> indices,
                                       std::vector<float> expected, float relative, float absolute)
{
    return [output, indices = std::move(indices), expected = std::move(expected), relative, absolute] {
        std::vector<float> values;
        const std::size_t n = std::min(indices.size(), expected.size());
        values.reserve(n);
        for (std::size_t i = 0; i < n; ++i) values.push_back(output->element<float>(indices[i]));
        return reference::samplesMatch(values, expected, relative, absolute);
    };
}

// The two attention passes: Q, K and V, the score scratch and the output, with the score kernel, the
// row softmax and the value kernel.
struct AttentionPass {
    std::shared_ptr<gpu::Buffer> q, k, v, scores, output;
    std::shared_ptr<gpu::Pipeline> scorePipeline, softmax, valuePipeline;
};

// Scores of `rows` rows of `columns` keys each, a stable softmax over every row, then `features`
// value features per row; the score and value kernels both take `shape`.
template <typename Shape>
void encodeAttention(gpu::CommandBuffer& buffer, const AttentionPass& pass, const Shape& shape, std::uint32_t rows,
                     std::uint32_t columns, std::uint32_t features)
{
    encodeCompute(buffer, noEncoder, [&](gpu::ComputeEncoder& encoder) {
        bindAndDispatch(encoder, pass.scorePipeline, {pass.q, pass.k, pass.scores}, shape, {columns, rows, 1},
                        tile16(*pass.scorePipeline));

        bindAndDispatch(encoder, pass.softmax, {pass.scores}, TensorShape{rows * columns, columns}, rows);

        bindAndDispatch(encoder, pass.valuePipeline, {pass.scores, pass.v, pass.output}, shape, {features, rows, 1},
                        tile16(*pass.valuePipeline));
    });
}

// The buffers and pipelines of an attention pass over Q, K and V: inputs resident on the device,
// `scoreCount` scores in private scratch, `outputCount` CPU-visible outputs.
template <typename T>
AttentionPass attentionPass(MetalKernelContext& context, const std::vector<T>& q, const std::vector<T>& k,
                            const std::vector<T>& v, std::size_t scoreCount, std::size_t outputCount,
                            const char* scoreKernel, const char* valueKernel)
{
    AttentionPass pass;
    pass.q = context.deviceInputBuffer(std::span<const T>(q));
    pass.k = context.deviceInputBuffer(std::span<const T>(k));
    pass.v = context.deviceInputBuffer(std::span<const T>(v));
    pass.scores = context.privateBuffer(scoreCount * sizeof(float));
    pass.output = context.emptyBuffer(outputCount * sizeof(float));
    pass.scorePipeline = context.pipeline(scoreKernel);
    pass.softmax = context.pipeline("softmax_rows");
    pass.valuePipeline = context.pipeline(valueKernel);
    return pass;
}

// The pass encoded by encodeAttention, checked at the sampled outputs; the checksum strides every
// output.
template <typename Shape>
Invocation attentionInvocation(const AttentionPass& pass, Shape shape, std::uint32_t rows, std::uint32_t columns,
                               std::uint32_t features, std::vector<std::size_t> indices, std::vector<float> expected)
{
    Invocation invocation;
    invocation.encode = [pass, shape, rows, columns, features](gpu::CommandBuffer& buffer) {
        encodeAttention(buffer, pass, shape, rows, columns, features);
    };
    const std::shared_ptr<gpu::Buffer> output = pass.output;
    const std::int64_t count = static_cast<std::int64_t>(rows) * features;
    invocation.validate = sampleValidation(output, std::move(indices), std::move(expected), 0.005f, 0.002f);
    invocation.checksum = [output, count] { return stride1003(*output, count); };
    return invocation;
}

constexpr std::uint32_t gemvRows = 8'192, gemvColumns = 1'024;
constexpr TensorShape gemvShape{gemvRows * gemvColumns, gemvColumns};

// A matrix-vector product of the 8192 x 1024 weights, one thread per row, checked at the sampled
// rows against their CPU results.
Invocation gemvInvocation(std::shared_ptr<gpu::Pipeline> pipeline, std::shared_ptr<gpu::Buffer> weights,
                          std::shared_ptr<gpu::Buffer> vector, std::shared_ptr<gpu::Buffer> output,
                          const std::vector<std::size_t>& rows, std::vector<float> expected)
{
    Invocation invocation;
    invocation.encode = singleDispatch(std::move(pipeline), {std::move(weights), std::move(vector), output}, gemvShape,
                                       gemvShape.count / gemvShape.columns);
    invocation.workPerIteration = 0.016777216;
    invocation.validate = sampleValidation(output, rows, std::move(expected), 0.003f, 0.02f);
    invocation.checksum = [output] { return stride1003(*output, gemvRows); };
    return invocation;
}

}  // namespace

Invocation attention(MetalKernelContext& context)
{
    static constexpr std::uint32_t tokens = 96, features = 64;
    const std::vector<float> q = deterministicFloats(tokens * features, 0xA771);
    const std::vector<float> k = deterministicFloats(tokens * features, 0xA772);
    const std::vector<float> v = deterministicFloats(tokens * features, 0xA773);
    std::vector<float> kTransposed(k.size());
    for (std::uint32_t i = 0; i < tokens; ++i)
        for (std::uint32_t d = 0; d < features; ++d) kTransposed[d * tokens + i] = k[i * features + d];

    auto qBuffer = context.buffer(std::span<const float>(q));
    auto kBuffer = context.buffer(std::span<const float>(kTransposed));
    auto vBuffer = context.buffer(std::span<const float>(v));
    auto scores = context.emptyBuffer(tokens * tokens * sizeof(float));
    auto output = context.emptyBuffer(tokens * features * sizeof(float));
    const MatrixDispatch scoring = matrixDispatch(context, "matrix_fp32", tokens, tokens);
    const MatrixDispatch projection = matrixDispatch(context, "matrix_fp32", tokens, features);
    auto softmax = context.pipeline("softmax_rows");

    Invocation invocation;
    invocation.encode = [=](gpu::CommandBuffer& buffer) {
        encodeCompute(buffer, noEncoder, [&](gpu::ComputeEncoder& encoder) {
            bindAndDispatch(encoder, scoring.pipeline, {qBuffer, kBuffer, scores},
                            MatrixShape{tokens, tokens, features}, scoring.grid, scoring.group);

            bindAndDispatch(encoder, softmax, {scores}, TensorShape{tokens * tokens, tokens}, tokens);

            bindAndDispatch(encoder, projection.pipeline, {scores, vBuffer, output},
                            MatrixShape{tokens, features, tokens}, projection.grid, projection.group);
        });
    };
    invocation.workPerIteration = 1.0;
    invocation.validate = [scores, output] {
        return rowsSumToOne(*scores, tokens, {0, 48, 95}) && isFinite(output->element<float>(0));
    };
    invocation.checksum = [output] { return stride1003(*output, tokens * features); };
    invocation.details = {"Metal context: 96, dimension: 64", "QKᵀ + softmax + value projection"};
    return invocation;
}

Invocation llmGEMVFP16(MetalKernelContext& context)
{
    std::vector<std::uint16_t> matrix(static_cast<std::size_t>(gemvRows) * gemvColumns);
    SplitMix64 stream(0x6E4D0016);
    for (auto& element : matrix) {
        const double u = static_cast<double>(stream.next() >> 11) * 0x1p-53;
        element = OlvaneHalfPrecision::encode(static_cast<float>(u) - 0.5f);
    }
    const std::vector<std::uint16_t> vector = halfTensor(0x6E4D0017, gemvColumns);

    const std::vector<std::size_t> rows{1'337, 7'001};
    std::vector<float> expected;
    for (const std::size_t row : rows) {
        float sum = 0.0f;
        for (std::size_t c = 0; c < gemvColumns; ++c)
            sum += OlvaneHalfPrecision::decode(matrix[row * gemvColumns + c]) * OlvaneHalfPrecision::decode(vector[c]);
        expected.push_back(sum);
    }

    auto matrixBuffer = context.deviceInputBuffer(std::span<const std::uint16_t>(matrix));
    auto vectorBuffer = context.deviceInputBuffer(std::span<const std::uint16_t>(vector));
    auto output = context.emptyBuffer(gemvRows * sizeof(float));
    auto pipeline = context.pipeline("gemv_fp16");

    Invocation invocation = gemvInvocation(pipeline, matrixBuffer, vectorBuffer, output, rows, std::move(expected));
    invocation.details = {"Native-half GEMV: 8192×1024, batch 1", "FP16 matrix/vector storage with FP32 accumulation",
                          "Large read-only inputs are shared on unified memory and managed/device-resident on dGPU",
                          "Metric counts multiply + add as two floating-point operations"};
    return invocation;
}

Invocation llmQ4(MetalKernelContext& context)
{
    static constexpr std::size_t weightCount = static_cast<std::size_t>(gemvRows) * gemvColumns;
    const std::vector<std::uint8_t> packed = reference::packedQ4Weights(0x51440004, weightCount);
    const std::vector<std::uint16_t> vector = halfTensor(0x51440005, gemvColumns);

    const std::vector<std::size_t> rows{2'021, 6'113};
    std::vector<float> expected;
    for (const std::size_t row : rows) {
        float sum = 0.0f;
        for (std::size_t c = 0; c < gemvColumns; ++c) {
            const std::size_t flat = row * gemvColumns + c;
            const std::uint8_t nibble = (flat & 1) == 0 ? packed[flat >> 1] & 0xF : packed[flat >> 1] >> 4;
            sum += reference::q4Weight(nibble) * OlvaneHalfPrecision::decode(vector[c]);
        }
        expected.push_back(sum);
    }

    // The packed bytes follow the device-input rules: resident on a discrete GPU.
    gpu::Device& device = context.device();
    if (packed.empty()) throw AIBenchmarkError::allocationFailed("Zero-length Metal buffer");
    const bool unified = device.hasUnifiedMemory();
    auto weights =
        device.makeBuffer(packed.data(), packed.size(), unified ? gpu::StorageMode::shared : gpu::StorageMode::managed);
    if (!weights) {
        throw AIBenchmarkError::allocationFailed("Unable to allocate " + std::to_string(packed.size()) +
                                                 " device-input bytes on " + device.name());
    }
    if (!unified) weights->didModifyRange(0, packed.size());
    auto vectorBuffer = context.deviceInputBuffer(std::span<const std::uint16_t>(vector));
    auto output = context.emptyBuffer(gemvRows * sizeof(float));
    auto pipeline = context.pipeline("q4_gemv");

    Invocation invocation = gemvInvocation(pipeline, weights, vectorBuffer, output, rows, std::move(expected));
    invocation.details = {"Packed Q4 GEMV: 8192×1024, two weights/byte",
                          "Signed nibble decode range −8…7 with deterministic 0.125 scale",
                          "Packed weights/vector are shared on unified memory and managed/device-resident on dGPU",
                          "On-GPU dequantization + FP32 accumulation"};
    return invocation;
}

Invocation attentionPrefill(MetalKernelContext& context)
{
    static constexpr std::uint32_t sequence = 256, dimension = 64;
    static constexpr std::size_t count = sequence * dimension;
    const std::vector<std::uint16_t> q = halfTensor(0xA7710101, count);
    const std::vector<std::uint16_t> k = halfTensor(0xA7710102, count);
    const std::vector<std::uint16_t> v = halfTensor(0xA7710103, count);

    const std::array<std::pair<std::size_t, std::size_t>, 2> samples{{{17, 5}, {203, 37}}};
    const std::vector<float> keys = decoded(k, 0, count);
    const std::vector<float> values = decoded(v, 0, count);
    std::vector<std::size_t> indices;
    std::vector<float> expected;
    for (const auto& [query, feature] : samples) {
        const std::vector<float> queryRow = decoded(q, query * dimension, dimension);
        expected.push_back(reference::attentionOutput(queryRow, keys, values, sequence, feature));
        indices.push_back(query * dimension + feature);
    }

    const AttentionPass pass = attentionPass(context, q, k, v, sequence * sequence, count, "attention_prefill_scores",
                                             "attention_prefill_values");
    Invocation invocation = attentionInvocation(pass, AttentionShape{sequence, dimension}, sequence, sequence,
                                                dimension, std::move(indices), std::move(expected));
    invocation.workPerIteration = 256.0;
    invocation.details = {"FP16 Q/K/V prefill: context 256, dimension 64",
                          "Scaled QKᵀ → stable softmax → value projection",
                          "Q/K/V are device-resident on dGPU; the probability matrix uses private GPU scratch",
                          "Metric reports input tokens processed per second"};
    return invocation;
}

Invocation attentionDecode(MetalKernelContext& context)
{
    static constexpr std::uint32_t heads = 8, positions = 2'048, dimension = 64;
    const std::vector<float> q = deterministicFloats(heads * dimension, 0xDEC00001);
    const std::vector<float> k = deterministicFloats(heads * positions * dimension, 0xDEC00002);
    const std::vector<float> v = deterministicFloats(heads * positions * dimension, 0xDEC00003);

    const std::array<std::pair<std::size_t, std::size_t>, 2> samples{{{3, 7}, {6, 41}}};
    std::vector<std::size_t> indices;
    std::vector<float> expected;
    for (const auto& [head, feature] : samples) {
        const std::size_t base = head * positions * dimension;
        expected.push_back(reference::attentionOutput(std::span<const float>(q).subspan(head * dimension, dimension),
                                                      std::span<const float>(k).subspan(base, positions * dimension),
                                                      std::span<const float>(v).subspan(base, positions * dimension),
                                                      positions, feature));
        indices.push_back(head * dimension + feature);
    }

    const AttentionPass pass = attentionPass(context, q, k, v, heads * positions, heads * dimension,
                                             "attention_decode_scores", "attention_decode_values");
    Invocation invocation = attentionInvocation(pass, AttentionDecodeShape{heads, positions, dimension}, heads,
                                                positions, dimension, std::move(indices), std::move(expected));
    invocation.workPerIteration = 1.0;
    invocation.details = {"Batch-1 decode: 8 heads, context 2048, dimension 64",
                          "QK score → stable softmax → KV value projection",
                          "Q/K/V are device-resident on dGPU; attention scores use private GPU scratch",
                          "Metric reports generated attention tokens per second"};
    return invocation;
}

Invocation makeInvocation(const AIWorkloadDefinition& workload, MetalKernelContext& context)
{
    switch (workload.id) {
    case AIWorkloadID::superResolution: return superResolution(context);
    case AIWorkloadID::ropeRMSNorm: return ropeRMSNorm(context);
    case AIWorkloadID::transformerAttention: return attention(context);
    case AIWorkloadID::diffusionDenoise: return convolutionInvocation(context, true);
    case AIWorkloadID::noiseSuppression: return noiseSuppression(context);
    case AIWorkloadID::matrixFP32: return matrixFP32(context);
    case AIWorkloadID::matrixFP16: return matrixFP16(context);
    case AIWorkloadID::matrixINT8: return matrixINT8(context);
    case AIWorkloadID::convolution: return convolutionInvocation(context, false);
    case AIWorkloadID::softmaxLayerNorm: return softmaxLayerNorm(context);
    case AIWorkloadID::tensorOperations: return tensorOperations(context, false);
    case AIWorkloadID::gpuCommandThroughput: return gpuCommandThroughput(context);
    case AIWorkloadID::llmGEMVFP16: return llmGEMVFP16(context);
    case AIWorkloadID::llmQ4: return llmQ4(context);
    case AIWorkloadID::attentionPrefill: return attentionPrefill(context);
    case AIWorkloadID::attentionDecode: return attentionDecode(context);
    case AIWorkloadID::fineTuningStep: return training(context);
    case AIWorkloadID::tensorAllocation: return tensorAllocation(context);
    case AIWorkloadID::kvCache: return kvCache(context);
    default: break;
    }
    throw AIBenchmarkError::unsupportedBackend(workload.title + " uses Core ML on GPU.");
}

namespace reference {

std::vector<std::uint8_t> packedQ4Weights(std::uint64_t seed, std::size_t weightCount)
{
    std::vector<std::uint8_t> packed((weightCount + 1) / 2, 0);
    SplitMix64 stream(seed);
    for (std::size_t f = 0; f < weightCount; ++f) {
        const auto nibble = static_cast<std::uint8_t>(stream.next() & 0xF);
        packed[f / 2] |= (f & 1) == 0 ? nibble : static_cast<std::uint8_t>(nibble << 4);
    }
    return packed;
}

float q4Weight(std::uint8_t nibble)
{
    return static_cast<float>(static_cast<int>(nibble & 0xF) - 8) / 8.0f;
}

float attentionOutput(std::span<const float> query, std::span<const float> keys, std::span<const float> values,
                      std::size_t positions, std::size_t feature)
{
    static constexpr std::size_t features = 64;
    std::vector<float> scores(positions);
    float maximum = -3.4028235e+38f;
    for (std::size_t p = 0; p < positions; ++p) {
        float dot = 0.0f;
        for (std::size_t i = 0; i < features; ++i) dot += query[i] * keys[p * features + i];
        scores[p] = dot * 0.125f;
        maximum = std::max(maximum, scores[p]);
    }
    float sum = 0.0f;
    for (float& score : scores) {
        score = std::exp(score - maximum);
        sum += score;
    }
    const float denominator = std::max(sum, 1e-20f);
    float result = 0.0f;
    for (std::size_t p = 0; p < positions; ++p) result += (scores[p] / denominator) * values[p * features + feature];
    return result;
}

bool samplesMatch(std::span<const float> values, std::span<const float> expected, float relative, float absolute)
{
    const std::size_t n = std::min(values.size(), expected.size());
    for (std::size_t i = 0; i < n; ++i) {
        const float value = values[i], e = expected[i];
        if (!isFinite(value)) return false;
        if (std::fabs(value - e) > std::max(std::fabs(e) * relative, absolute)) return false;
    }
    return true;
}

}  // namespace reference

}  // namespace korvalen::MetalBenchmarkRunner
