#include "Execution/GPU/MetalCommandCompletion.h"

#include "Execution/GPU/MetalKernelContextCache.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"
#include "Model/AIBenchmarkError.h"
#include "Model/KorvalenAILogger.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace korvalen::MetalBenchmarkRunner {

const CompletionClock& CompletionClock::system()
{
    static const CompletionClock clock{
        MonotonicClock{},
        [](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); },
        [](gpu::CommandBuffer& buffer, double seconds) { buffer.waitBriefly(seconds); },
    };
    return clock;
}

void waitForCompletion(gpu::CommandBuffer& buffer, BenchmarkCancellationToken& cancellation, const std::string& label,
                       std::optional<double> deadline, bool honorCancellation)
{
    waitForCompletion(buffer, cancellation, label, deadline, honorCancellation, MetalKernelContextCache::shared(),
                      CompletionClock::system());
}

void waitForCompletion(gpu::CommandBuffer& buffer, BenchmarkCancellationToken& cancellation, const std::string& label,
                       std::optional<double> deadline, bool honorCancellation, MetalKernelContextCache& cache,
                       const CompletionClock& clock)
{
    const double limit = deadline ? *deadline : clock.uptimeSeconds() + commandTimeoutSeconds;
    for (;;) {
        const gpu::CommandStatus status = buffer.status();
        if (status == gpu::CommandStatus::error) {
            throw AIBenchmarkError::commandFailure(buffer.error().value_or("Metal command failed: " + label));
        }
        if (status == gpu::CommandStatus::completed) {
            if (auto failure = buffer.error()) throw AIBenchmarkError::commandFailure(*failure);
            if (honorCancellation && cancellation.isCancelled()) throw AIBenchmarkError::cancelled();
            return;
        }
        if (limit <= clock.uptimeSeconds()) break;
        if (clock.waitOn)
            clock.waitOn(buffer, completionPollSeconds);
        else
            clock.sleep(completionPollSeconds);
    }

    // The work never finished: the device is no longer trusted for this process. The buffer is
    // left as it is; the layer keeps what it uses alive for as long as it might still run.
    const std::string reason = label + " exceeded " + "30" + " seconds";
    const std::uint64_t id = buffer.device()->registryID();
    cache.quarantine(id, reason);
    KorvalenAILogger::error("METAL_DEVICE_QUARANTINED registry_id=" + std::to_string(id) + " reason=" + reason);
    cancellation.cancel();
    KorvalenAILogger::error("METAL_COMMAND_TIMEOUT label=" + label + " timeout_s=" + "30");
    throw AIBenchmarkError::commandFailure("Metal command timed out after " + std::string("30") + " seconds (" + label +
                                           ")");
}

void awaitSettled(gpu::CommandBuffer& buffer, double deadline, const CompletionClock& clock)
{
    for (;;) {
        const gpu::CommandStatus status = buffer.status();
        if (status == gpu::CommandStatus::completed || status == gpu::CommandStatus::error) return;
        const double remaining = deadline - clock.uptimeSeconds();
        if (remaining <= 0) return;
        const double interval = std::min(remaining, completionPollSeconds);
        if (clock.waitOn)
            clock.waitOn(buffer, interval);
        else
            clock.sleep(interval);
    }
}

void synchronizeForCPUValidation(const std::vector<std::shared_ptr<gpu::Buffer>>& resources,
                                 MetalKernelContext& context, BenchmarkCancellationToken& cancellation,
                                 const std::string& label)
{
    if (context.device().hasUnifiedMemory()) return;
    std::vector<std::shared_ptr<gpu::Buffer>> managed;
    for (const auto& resource : resources) {
        if (resource && resource->storageMode() == gpu::StorageMode::managed) managed.push_back(resource);
    }
    if (managed.empty()) return;

    auto commands = context.queue().makeCommandBuffer();
    auto blit = commands ? commands->makeBlitEncoder() : nullptr;
    if (!blit) throw AIBenchmarkError::commandFailure("Unable to synchronize Metal validation output");
    for (const auto& resource : managed) blit->synchronizeResource(resource);
    blit->endEncoding();
    commands->commit();
    waitForCompletion(*commands, cancellation, label + " validation synchronization", std::nullopt, true);
}

double checksumHalfBuffer(gpu::Buffer& buffer, std::int64_t count)
{
    constexpr std::size_t stride = 1003;
    if (count < 1) return 0.0;
    const std::size_t available = buffer.length() / sizeof(std::uint16_t);
    const std::size_t n = std::min(static_cast<std::size_t>(count), available);
    if (n == 0) return 0.0;
    const std::size_t last = (n - 1) / stride * stride;
    gpu::Mapping view = buffer.map(0, (last + 1) * sizeof(std::uint16_t), gpu::MapAccess::read);
    const auto* words = view.as<const std::uint16_t>();
    double sum = 0.0;
    for (std::size_t i = 0; i <= last; i += stride) sum += static_cast<double>(OlvaneHalfPrecision::decode(words[i]));
    return sum;
}

}  // namespace korvalen::MetalBenchmarkRunner
