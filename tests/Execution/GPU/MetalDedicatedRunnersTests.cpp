// The dedicated GPU runners on the scripted fake GPU, whose blits really copy host memory and
// whose kernels compute nothing: the managed staging path of the transfer, and the cache ladder's
// per-level accounting when its validation fails.

#include "Execution/GPU/MetalBenchmarkRunner.h"
#include "Model/AIBenchmarkError.h"
#include "Model/AIWorkloadCatalog.h"
#include "support/FakeGpu.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>

namespace korvalen {
namespace {

using namespace MetalBenchmarkRunner;
using testing::FakeGpuDevice;

const AIWorkloadDefinition& catalogEntry(AIWorkloadID id)
{
    return AIWorkloadCatalog::definitions().at(id);
}

std::shared_ptr<FakeGpuDevice> fakeDevice(bool unifiedMemory)
{
    gpu::DeviceInfo info;
    info.registryID = 91;
    info.name = "Fake GPU";
    info.unifiedMemory = unifiedMemory;
    return std::make_shared<FakeGpuDevice>(info);
}

TEST(DedicatedRunnersOnFakeGpu, TransferOnADiscreteGpuStagesThroughManagedMemory)
{
    testing::LogCapture log;
    auto device = fakeDevice(false);
    MetalKernelContext context(device);
    BenchmarkCancellationToken token;
    const KernelMeasurement m = runGPUTransfer(catalogEntry(AIWorkloadID::gpuTransfer), context, 0.0, token);

    EXPECT_EQ(m.iterations, 5);
    EXPECT_DOUBLE_EQ(m.workUnits, 5 * 134'217'728 / 1e9);
    EXPECT_EQ(m.details[1], "Staging storage: managed memory with explicit synchronization");
    // On the fake, a managed buffer's CPU mirror and GPU copy are separate: the data makes the
    // round trip only when the filled source was marked modified and the destination synchronised.
    EXPECT_EQ(m.accuracy, 1.0);

    // Checksum: destination words 65,537 x k, each i x 2,654,435,761 modulo 2^32.
    double expected = 0;
    for (std::uint64_t k = 0; k < 256; ++k) expected += static_cast<std::uint32_t>(65'537 * k * 2'654'435'761ull);
    EXPECT_EQ(m.checksum, expected);
}

TEST(DedicatedRunnersOnFakeGpu, TransferOnUnifiedMemoryNeedsNoSynchronization)
{
    testing::LogCapture log;
    auto device = fakeDevice(true);
    MetalKernelContext context(device);
    BenchmarkCancellationToken token;
    const KernelMeasurement m = runGPUTransfer(catalogEntry(AIWorkloadID::gpuTransfer), context, 0.0, token);
    EXPECT_EQ(m.details[1], "Staging storage: shared unified memory");
    for (const auto& buffer : device->buffers()) EXPECT_TRUE(buffer->modifiedRanges().empty());
}

TEST(DedicatedRunnersOnFakeGpu, ACacheLadderLevelThatFailsValidationStillCounts)
{
    testing::LogCapture log;
    auto device = fakeDevice(true);
    MetalKernelContext context(device);
    BenchmarkCancellationToken token;
    const KernelMeasurement m = runMetalCacheLadder(catalogEntry(AIWorkloadID::metalCacheLadder), context, 0.0, token);

    // The fake computes no probe sums, so every level fails, yet each was timed for its budget.
    EXPECT_EQ(m.accuracy, 0.0);
    EXPECT_GE(m.iterations, 10);
    EXPECT_EQ(m.latencySamplesMS.size(), static_cast<std::size_t>(m.iterations));
    EXPECT_NEAR(m.workUnits / (m.iterations * 0.03407872), 1.0, 1e-9);
    EXPECT_GE(m.wallSeconds, 5 * 0.1);
    const std::vector<std::string> levels(m.details.begin() + 4, m.details.end() - 1);
    ASSERT_EQ(levels.size(), 5u);
    const char* sizes[] = {"1 MiB: ", "4 MiB: ", "16 MiB: ", "64 MiB: ", "128 MiB: "};
    for (std::size_t i = 0; i < levels.size(); ++i) {
        EXPECT_EQ(levels[i].rfind(sizes[i], 0), 0u) << levels[i];
        EXPECT_NE(levels[i].find(" GB/s · validation FAIL"), std::string::npos) << levels[i];
    }
    EXPECT_EQ(m.details.back(), "Metal device: Fake GPU");
}

TEST(DedicatedRunnersOnFakeGpu, MissingCommandsAndBuffersFailWithTheRunnersTexts)
{
    testing::LogCapture log;
    auto device = fakeDevice(true);
    MetalKernelContext context(device);
    BenchmarkCancellationToken token;
    const auto failure = [&](const std::function<void()>& body) -> std::string {
        try {
            body();
        } catch (const AIBenchmarkError& error) {
            return error.errorDescription();
        }
        return "no error";
    };

    device->encodersAvailable = false;
    EXPECT_EQ(failure([&] { runKVCacheReadWrite(catalogEntry(AIWorkloadID::kvCacheReadWrite), context, 0.0, token); }),
              "Compute command failed: Unable to initialize private KV cache");
    EXPECT_EQ(failure([&] { runGPUTransfer(catalogEntry(AIWorkloadID::gpuTransfer), context, 0.0, token); }),
              "Compute command failed: Unable to create warm-up blit command");
    device->encodersAvailable = true;

    device->commandBuffersAvailable = false;
    EXPECT_EQ(failure([&] {
                  runMetalSustained(catalogEntry(AIWorkloadID::metalSustained), context, 0.0, token,
                                    [] { return std::string("Nominal"); });
              }),
              "Compute command failed: Unable to create Metal sustained warm-up");
    device->commandBuffersAvailable = true;

    device->maxBuffer = 1 << 20;
    EXPECT_EQ(failure([&] { runGPUTransfer(catalogEntry(AIWorkloadID::gpuTransfer), context, 0.0, token); }),
              "Tensor allocation failed: Unable to allocate transfer buffers");
}

}  // namespace
}  // namespace korvalen
