#pragma once

// Waiting for committed GPU work without ever blocking past a deadline, copying managed outputs back
// for CPU validation, and the sparse checksum of a half-precision result.

#include "Execution/GPU/MetalKernelContext.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Compute/Gpu.h"
#include "Platform/Foundation/MonotonicClock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalen {

class MetalKernelContextCache;

namespace MetalBenchmarkRunner {

// The deadline of a wait without one, and the number every time-out message names.
inline constexpr double commandTimeoutSeconds = 30.0;
inline constexpr double completionPollSeconds = 0.002;

// The uptime clock and the sleep between polls; tests hand in their own.
struct CompletionClock {
    MonotonicClock uptimeSeconds;
    std::function<void(double seconds)> sleep;
    // When set, waits on the buffer itself between polls (waking early when it finishes) instead
    // of sleeping the whole interval.
    std::function<void(gpu::CommandBuffer&, double seconds)> waitOn;
    static const CompletionClock& system();
};

// Polls the committed buffer every 2 ms until it completes, fails or the deadline (uptime seconds;
// none = 30 s from now) passes. Throws AIBenchmarkError: commandFailure with the buffer's error
// text (or "Metal command failed: <label>"); cancelled when it completed, honorCancellation is set
// and the token is; on a time-out the GPU is quarantined in the shared context cache, the token is
// cancelled and commandFailure("Metal command timed out after 30 seconds (<label>)") is thrown.
void waitForCompletion(gpu::CommandBuffer& buffer, BenchmarkCancellationToken& cancellation, const std::string& label,
                       std::optional<double> deadline, bool honorCancellation);
void waitForCompletion(gpu::CommandBuffer& buffer, BenchmarkCancellationToken& cancellation, const std::string& label,
                       std::optional<double> deadline, bool honorCancellation, MetalKernelContextCache& cache,
                       const CompletionClock& clock);

// Sleeps until the committed buffer has finished or failed, or until the deadline (uptime seconds)
// has passed, without judging how it ended: the caller's waits do that afterwards. A batch drain
// sleeps once on its last buffer this way, since the in-order queue finishes the others first, and
// then finds every wait already settled.
void awaitSettled(gpu::CommandBuffer& buffer, double deadline,
                  const CompletionClock& clock = CompletionClock::system());

// On a GPU without unified memory, copies the managed resources among `resources` back into their
// CPU mirrors and waits (label + " validation synchronization"). Nothing to do otherwise. Throws
// commandFailure("Unable to synchronize Metal validation output") when no command buffer or blit
// encoder is given, else what the wait throws.
void synchronizeForCPUValidation(const std::vector<std::shared_ptr<gpu::Buffer>>& resources,
                                 MetalKernelContext& context, BenchmarkCancellationToken& cancellation,
                                 const std::string& label);

// The sum of the binary16 elements 0, 1003, 2006, ... below count, decoded exactly; 0 when
// count < 1. Elements past the end of the buffer are never read.
double checksumHalfBuffer(gpu::Buffer& buffer, std::int64_t count);

}  // namespace MetalBenchmarkRunner

}  // namespace korvalen
