#include "Execution/GPU/MetalRunnerSupport.h"

#include "Execution/GPU/MetalCommandCompletion.h"
#include "Execution/GPU/MetalKernelContext.h"
#include "Execution/GPU/MetalKernelContextCache.h"
#include "Model/PeakMemoryTracker.h"

#include <cmath>
#include <vector>

namespace korvalen::MetalRunnerSupport {

namespace {

gpu::Size3 tile(const gpu::Pipeline& pipeline, std::uint32_t side)
{
    const std::uint32_t width = std::min(pipeline.threadExecutionWidth(), side);
    const std::uint32_t total = pipeline.maxTotalThreadsPerThreadgroup();
    const std::uint32_t height = std::min(std::max(total / std::max(width, 1u), 1u), side);
    // A pipeline that reports a width of 0 would make an empty group, which no dispatch accepts.
    return {std::max(width, 1u), height, 1};
}

}  // namespace

gpu::Size3 tile16(const gpu::Pipeline& pipeline)
{
    return tile(pipeline, 16);
}

gpu::Size3 tile8(const gpu::Pipeline& pipeline)
{
    return tile(pipeline, 8);
}

gpu::Size3 line(const gpu::Pipeline& pipeline)
{
    const std::uint64_t wanted = std::max<std::uint64_t>(4ull * pipeline.threadExecutionWidth(), 1);
    const std::uint64_t width = std::min<std::uint64_t>(wanted, pipeline.maxTotalThreadsPerThreadgroup());
    return {static_cast<std::uint32_t>(std::max<std::uint64_t>(width, 1)), 1, 1};
}

MatrixDispatch matrixDispatch(MetalKernelContext& context, const std::string& kernel, std::uint32_t m, std::uint32_t n,
                              std::optional<MatrixForm> form)
{
    constexpr std::uint32_t tileSide = 16;  // the tiled kernels' required group, 16 x 16
    const auto blocks = [](std::uint32_t count, std::uint32_t per) { return (count + per - 1) / per; };
    if (!form) {
        if (context.device().info().kind == gpu::DeviceKind::cpu) {
            form = MatrixForm::registerBlocks;
        } else {
            auto tiled = context.pipeline(kernel + "_tiled");
            form = tiled->maxTotalThreadsPerThreadgroup() >= tileSide * tileSide ? MatrixForm::localTiles
                                                                                 : MatrixForm::perElement;
        }
    }
    switch (*form) {
    case MatrixForm::registerBlocks:
        // 64 columns by 6 rows per work-item.
        return {context.pipeline(kernel + "_blocked"), {blocks(n, 64), blocks(m, 6), 1}, {1, 1, 1}};
    case MatrixForm::localTiles:
        return {context.pipeline(kernel + "_tiled"),
                {blocks(n, 64) * tileSide, blocks(m, 64) * tileSide, 1},
                {tileSide, tileSide, 1}};
    case MatrixForm::perElement: break;
    }
    auto pipeline = context.pipeline(kernel);
    return {pipeline, {n, m, 1}, tile16(*pipeline)};
}

double timedSampleMS(gpu::CommandBuffer& buffer, double wallStart, double wallEnd)
{
    const double gpuStart = buffer.gpuStartTime();
    const double gpuEnd = buffer.gpuEndTime();
    const double elapsed = gpuStart < gpuEnd ? gpuEnd - gpuStart : wallEnd - wallStart;
    return sampleMS(elapsed);
}

bool rowsSumToOne(gpu::Buffer& buffer, std::uint32_t columns, std::initializer_list<std::uint32_t> rows)
{
    if (columns == 0) return false;
    for (const std::uint32_t row : rows) {
        const std::vector<float> values = buffer.elements<float>(static_cast<std::size_t>(row) * columns, columns);
        float sum = 0.0f;
        for (const float value : values) sum += value;
        if (!(std::fabs(sum - 1.0f) < 0.002f)) return false;
    }
    return true;
}

std::shared_ptr<gpu::Buffer> stagingBuffer(gpu::Device& device, std::size_t length)
{
    return device.makeBuffer(length, stagingMode(device));
}

PrivateBuffers privateBuffers(MetalKernelContext& context, std::size_t sourceBytes, std::size_t destinationBytes,
                              const char* readbackFailure)
{
    PrivateBuffers buffers{context.privateBuffer(sourceBytes), context.privateBuffer(destinationBytes), nullptr};
    buffers.readback = stagingBuffer(context.device(), destinationBytes);
    if (!buffers.readback) throw AIBenchmarkError::allocationFailed(readbackFailure);
    return buffers;
}

void readBack(MetalKernelContext& context, const std::shared_ptr<gpu::Buffer>& source,
              const std::shared_ptr<gpu::Buffer>& staging, BenchmarkCancellationToken& cancellation,
              const std::string& label, const char* failure)
{
    auto buffer = context.queue().makeCommandBuffer();
    if (!buffer) throw AIBenchmarkError::commandFailure(failure);
    auto blit = buffer->makeBlitEncoder();
    if (!blit) throw AIBenchmarkError::commandFailure(failure);
    blit->copy(source, 0, staging, 0, source->length());
    if (staging->storageMode() == gpu::StorageMode::managed) blit->synchronizeResource(staging);
    blit->endEncoding();
    buffer->commit();
    MetalBenchmarkRunner::waitForCompletion(*buffer, cancellation, label, std::nullopt, true);
}

double timedCompute(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, const std::string& label,
                    const char* noBuffer, const char* noEncoder, const std::function<void(gpu::ComputeEncoder&)>& body)
{
    auto buffer = context.queue().makeCommandBuffer();
    if (!buffer) throw AIBenchmarkError::commandFailure(noBuffer);
    const double t0 = monotonicSeconds();
    encodeCompute(*buffer, noEncoder, body);
    buffer->commit();
    MetalBenchmarkRunner::waitForCompletion(*buffer, cancellation, label, std::nullopt, true);
    const double t1 = monotonicSeconds();
    return timedSampleMS(*buffer, t0, t1);
}

void untimedCompute(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, const std::string& label,
                    const char* noBuffer, const char* noEncoder, const std::function<void(gpu::ComputeEncoder&)>& body)
{
    auto buffer = context.queue().makeCommandBuffer();
    if (!buffer) throw AIBenchmarkError::commandFailure(noBuffer);
    encodeCompute(*buffer, noEncoder, body);
    buffer->commit();
    MetalBenchmarkRunner::waitForCompletion(*buffer, cancellation, label, std::nullopt, true);
}

void initialize(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, const std::string& label,
                const char* failure, const std::shared_ptr<gpu::Pipeline>& pipeline,
                const std::shared_ptr<gpu::Buffer>& target, std::uint32_t count)
{
    untimedCompute(context, cancellation, label, failure, failure,
                   [&](gpu::ComputeEncoder& encoder) { bindAndDispatch(encoder, pipeline, {target}, count, count); });
}

void warmUps(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, int count, const std::string& label,
             const char* noBuffer, const char* noEncoder, const std::function<void(gpu::ComputeEncoder&)>& body)
{
    for (int i = 1; i <= count; ++i) {
        checkCancellation(cancellation);
        untimedCompute(context, cancellation, label + " " + std::to_string(i) + "/" + std::to_string(count), noBuffer,
                       noEncoder, body);
    }
}

}  // namespace korvalen::MetalRunnerSupport
