#pragma once

// Small pieces shared by the GPU invocation builders, the execution loops and the dedicated GPU
// runners: thread-group policies, binding and dispatch, encoding with the no-encoder failure,
// strided checksums over CPU-visible buffers, the timed-sample rule, and the dedicated runners'
// buffers, initialisation, warm-up and timed compute steps. The timed loop itself is TimedLoop.

#include "Execution/Shared/TimedLoop.h"
#include "Model/AIBenchmarkError.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Compute/Gpu.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalen {
class MetalKernelContext;
class PeakMemoryTracker;
}  // namespace korvalen

namespace korvalen::MetalRunnerSupport {

// Neither infinity nor NaN: the exponent bits are not all ones.
inline bool isFinite(float value)
{
    return (std::bit_cast<std::uint32_t>(value) & 0x7F800000u) != 0x7F800000u;
}

// Threads per group for two-dimensional grids, tiles of at most 16 x 16 or 8 x 8.
gpu::Size3 tile16(const gpu::Pipeline& pipeline);
gpu::Size3 tile8(const gpu::Pipeline& pipeline);
// Threads per group for one-dimensional grids: four execution widths, capped by the pipeline.
gpu::Size3 line(const gpu::Pipeline& pipeline);

// Which form of a matrix kernel a dispatch runs; all give the same bits (kernels/Matrix.cl).
// perElement is "<kernel>", one work-item per element of C; registerBlocks is "<kernel>_blocked",
// which CPU-type devices run fastest; localTiles is "<kernel>_tiled", for GPUs whose groups hold
// 16 x 16 work-items.
enum class MatrixForm { perElement, registerBlocks, localTiles };

struct MatrixDispatch {
    std::shared_ptr<gpu::Pipeline> pipeline;
    gpu::Size3 grid;
    gpu::Size3 group;
};

// The pipeline, grid and groups of `kernel` ("matrix_fp32", "matrix_fp16" or "matrix_int8") over
// `shape` in the form the context's device runs best, or in `form` when one is given.
MatrixDispatch matrixDispatch(MetalKernelContext& context, const std::string& kernel, std::uint32_t m, std::uint32_t n,
                              std::optional<MatrixForm> form = std::nullopt);

// Opens a compute encoder on the buffer (none -> `failure` as commandFailure), lets `body` record
// into it and ends it.
template <typename Body>
void encodeCompute(gpu::CommandBuffer& buffer, const char* failure, Body&& body)
{
    auto encoder = buffer.makeComputeEncoder();
    if (!encoder) throw AIBenchmarkError::commandFailure(failure);
    body(*encoder);
    encoder->endEncoding();
}

using BufferList = std::initializer_list<std::shared_ptr<gpu::Buffer>>;

// Binds the pipeline, `buffers` at indices 0, 1, ... and `value` right after them, then dispatches
// `grid` threads in groups of `group`.
template <typename Value, typename Buffers = BufferList>
void bindAndDispatch(gpu::ComputeEncoder& encoder, const std::shared_ptr<gpu::Pipeline>& pipeline,
                     const Buffers& buffers, const Value& value, gpu::Size3 grid, gpu::Size3 group)
{
    encoder.setPipeline(pipeline);
    std::uint32_t index = 0;
    for (const std::shared_ptr<gpu::Buffer>& buffer : buffers) encoder.setBuffer(buffer, index++);
    encoder.setValue(value, index);
    encoder.dispatchThreads(grid, group);
}

// The same over a one-dimensional grid of `threads` with the line policy.
template <typename Value, typename Buffers = BufferList>
void bindAndDispatch(gpu::ComputeEncoder& encoder, const std::shared_ptr<gpu::Pipeline>& pipeline,
                     const Buffers& buffers, const Value& value, std::uint32_t threads)
{
    bindAndDispatch(encoder, pipeline, buffers, value, gpu::Size3{threads, 1, 1}, line(*pipeline));
}

// An invocation's encode step of one dispatch in a compute encoder of its own (none: commandFailure
// "No compute encoder"); the grid is `threads` one-dimensional, or `grid` in groups of `group`.
template <typename Value>
std::function<void(gpu::CommandBuffer&)> singleDispatch(std::shared_ptr<gpu::Pipeline> pipeline,
                                                        std::vector<std::shared_ptr<gpu::Buffer>> buffers, Value value,
                                                        gpu::Size3 grid, gpu::Size3 group)
{
    return [pipeline = std::move(pipeline), buffers = std::move(buffers), value, grid, group](gpu::CommandBuffer& b) {
        encodeCompute(b, "No compute encoder", [&](gpu::ComputeEncoder& encoder) {
            bindAndDispatch(encoder, pipeline, buffers, value, grid, group);
        });
    };
}
template <typename Value>
std::function<void(gpu::CommandBuffer&)> singleDispatch(std::shared_ptr<gpu::Pipeline> pipeline,
                                                        std::vector<std::shared_ptr<gpu::Buffer>> buffers, Value value,
                                                        std::uint32_t threads)
{
    const gpu::Size3 group = line(*pipeline);
    return singleDispatch(std::move(pipeline), std::move(buffers), value, gpu::Size3{threads, 1, 1}, group);
}

// The sum, in double, of the elements of type T at 0, stride, 2 x stride, ... below count (and
// within the buffer); 0 when count < 1. Reads through one CPU mapping.
template <typename T>
double stridedSum(gpu::Buffer& buffer, std::int64_t count, std::size_t stride)
{
    if (count < 1) return 0.0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), buffer.length() / sizeof(T));
    if (n == 0) return 0.0;
    const std::size_t last = (n - 1) / stride * stride;
    gpu::Mapping view = buffer.map(0, (last + 1) * sizeof(T), gpu::MapAccess::read);
    const T* values = view.as<const T>();
    double sum = 0.0;
    for (std::size_t i = 0; i <= last; i += stride) sum += static_cast<double>(values[i]);
    return sum;
}

inline double stride1003(gpu::Buffer& buffer, std::int64_t count)
{
    return stridedSum<float>(buffer, count, 1003);
}

// Storage of a buffer the CPU fills or reads while the GPU works on another copy: one shared
// allocation on unified memory, else a managed pair kept in step explicitly.
inline gpu::StorageMode stagingMode(const gpu::Device& device)
{
    return device.hasUnifiedMemory() ? gpu::StorageMode::shared : gpu::StorageMode::managed;
}

// A latency sample in milliseconds: the GPU's own interval when it reports a sound one, else the
// wall interval; an interval of at most a microsecond counts as 0.001 ms.
double timedSampleMS(gpu::CommandBuffer& buffer, double wallStart, double wallEnd);

// The sample rule on an already chosen interval in seconds.
inline double sampleMS(double seconds)
{
    return seconds <= 1e-6 ? 0.001 : seconds * 1000.0;
}

// Row sums of a softmax output: each checked row must sum to 1 within 0.002 (no columns: false).
bool rowsSumToOne(gpu::Buffer& buffer, std::uint32_t columns, std::initializer_list<std::uint32_t> rows);

// A staging buffer of the device (shared on unified memory, else managed); nullptr when refused.
std::shared_ptr<gpu::Buffer> stagingBuffer(gpu::Device& device, std::size_t length);

// A dedicated runner's buffers: private source and destination, and a staging buffer of the
// destination's size to read it back (refused: allocationFailed with `readbackFailure`).
struct PrivateBuffers {
    std::shared_ptr<gpu::Buffer> source, destination, readback;
};
PrivateBuffers privateBuffers(MetalKernelContext& context, std::size_t sourceBytes, std::size_t destinationBytes,
                              const char* readbackFailure);

// Copies a GPU buffer into a staging buffer of the same size by blit, synchronising a managed
// staging buffer for the CPU, and waits. No command buffer or blit encoder -> commandFailure.
void readBack(MetalKernelContext& context, const std::shared_ptr<gpu::Buffer>& source,
              const std::shared_ptr<gpu::Buffer>& staging, BenchmarkCancellationToken& cancellation,
              const std::string& label, const char* failure);

// The dedicated runners' timed compute step: a command buffer (none -> `noBuffer`), the wall
// start, a compute encoder (none -> `noEncoder`) into which `body` records, commit, wait with
// `label`, and the sample by the timed-sample rule.
double timedCompute(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, const std::string& label,
                    const char* noBuffer, const char* noEncoder, const std::function<void(gpu::ComputeEncoder&)>& body);

// An untimed compute step: command buffer and encoder (either missing -> the failure texts),
// `body`, commit, wait with `label`.
void untimedCompute(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, const std::string& label,
                    const char* noBuffer, const char* noEncoder, const std::function<void(gpu::ComputeEncoder&)>& body);

// An untimed pass of a kernel that writes `target` from the thread index alone (bound as target,
// count; one thread per element), with one failure text for a missing command buffer or encoder.
void initialize(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, const std::string& label,
                const char* failure, const std::shared_ptr<gpu::Pipeline>& pipeline,
                const std::shared_ptr<gpu::Buffer>& target, std::uint32_t count);

// `count` untimed compute steps labelled "<label> i/count", each after a cancellation check.
void warmUps(MetalKernelContext& context, BenchmarkCancellationToken& cancellation, int count, const std::string& label,
             const char* noBuffer, const char* noEncoder, const std::function<void(gpu::ComputeEncoder&)>& body);

// Timed loops of the dedicated runners end no sooner than this many samples.
inline constexpr int minimumTimedSamples = 5;

}  // namespace korvalen::MetalRunnerSupport
