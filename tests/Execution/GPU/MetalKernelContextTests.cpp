// The GPU context, the process-wide context cache and command completion, on the scripted fake
// backend (device lists, failures, hangs) and on the real device (compile texts, checksums).

#include "Execution/GPU/MetalCommandCompletion.h"
#include "Execution/GPU/MetalKernelContext.h"
#include "Execution/GPU/MetalKernelContextCache.h"
#include "Execution/GPU/MetalKernelLibrary.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"
#include "Model/AIBenchmarkError.h"
#include "support/FakeGpu.h"
#include "support/GpuTestDevice.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace korvalen {
namespace {

using MetalBenchmarkRunner::CompletionClock;
using testing::FakeCompletion;
using testing::FakeGpuDevice;
using testing::LogCapture;
using testing::ScopedFakeGpu;

// The text a call fails with; "" when it does not fail.
template <class F>
std::string failureOf(F&& call)
{
    try {
        call();
    } catch (const AIBenchmarkError& error) {
        return error.errorDescription();
    }
    return {};
}

struct ManualClock {
    double now = 1000.0;
    std::function<double()> function()
    {
        return [this] { return now; };
    }
};

class ContextCacheTest : public ::testing::Test {
protected:
    ScopedFakeGpu fake;
    ManualClock clock;
    MetalKernelContextCache cache{clock.function()};
    LogCapture log;
};

TEST_F(ContextCacheTest, NoDeviceMeansNoContextWhateverTheArgument)
{
    EXPECT_EQ(failureOf([&] { cache.context(std::nullopt); }), "No compatible Metal device is available.");
    EXPECT_EQ(failureOf([&] { cache.context(42); }), "No compatible Metal device is available.");
}

TEST_F(ContextCacheTest, ChoosesByIdentifierOrTheFirstDeviceAndBuildsOnce)
{
    auto first = fake->addDevice("First GPU", 11);
    auto second = fake->addDevice("Second GPU", 22);

    EXPECT_EQ(failureOf([&] { cache.context(33); }), "No compatible Metal device is available.");

    auto byDefault = cache.context(std::nullopt);
    EXPECT_EQ(&byDefault->device(), first.get());
    auto chosen = cache.context(22);
    EXPECT_EQ(&chosen->device(), second.get());
    EXPECT_EQ(cache.context(22), chosen);
    EXPECT_EQ(cache.context(11), byDefault);
    EXPECT_EQ(first->libraryCompiles, 1);
    EXPECT_EQ(second->libraryCompiles, 1);

    ASSERT_EQ(log.events("METAL_LIBRARY_COMPILE_START").size(), 2u);
    EXPECT_TRUE(log.contains("METAL_LIBRARY_COMPILE_START gpu=First GPU registry=11"));
    auto passes = log.events("METAL_LIBRARY_COMPILE_PASS gpu=Second GPU duration_ms=");
    ASSERT_EQ(passes.size(), 1u);
}

TEST_F(ContextCacheTest, AFailedBuildIsRememberedForThirtySeconds)
{
    auto device = fake->addDevice("Fake GPU", 5);
    device->libraryFailure = "<source>:3:1: error: expected ';'\n  x = 1\n      ^";
    const std::string expected =
        "Metal pipeline creation failed: <source>:3:1: error: expected ';' |   x = 1 |       ^";

    EXPECT_EQ(failureOf([&] { cache.context(5); }), expected);
    EXPECT_TRUE(log.contains(
        "METAL_LIBRARY_COMPILE_FAIL gpu=Fake GPU reason=<source>:3:1: error: expected ';' |   x = 1 |       ^"));
    ASSERT_EQ(cache.failures().size(), 1u);
    EXPECT_EQ(cache.failures()[0].message, expected);
    EXPECT_EQ(cache.failures()[0].recordedAt, 1000.0);

    // Within the window: the same text, nothing compiled, nothing logged.
    device->libraryFailure.reset();
    clock.now += 29.99;
    EXPECT_EQ(failureOf([&] { cache.context(5); }), expected);
    EXPECT_EQ(device->libraryCompiles, 1);
    EXPECT_EQ(log.events("METAL_LIBRARY_COMPILE_START").size(), 1u);

    // At 30 s the entry expires and the GPU is compiled again.
    clock.now = 1030.0;
    EXPECT_TRUE(cache.context(5));
    EXPECT_EQ(device->libraryCompiles, 2);
    EXPECT_TRUE(cache.failures().empty());
}

TEST_F(ContextCacheTest, AFailureAfterExpiryReplacesTheOldEntry)
{
    auto device = fake->addDevice("Fake GPU", 5);
    device->libraryFailure = "first";
    EXPECT_NE(failureOf([&] { cache.context(5); }), "");
    clock.now += 45.0;
    device->libraryFailure = "second";
    EXPECT_EQ(failureOf([&] { cache.context(5); }), "Metal pipeline creation failed: second");
    ASSERT_EQ(cache.failures().size(), 1u);
    EXPECT_EQ(cache.failures()[0].recordedAt, 1045.0);
}

TEST_F(ContextCacheTest, ADeviceWithoutAQueueIsUnavailable)
{
    auto device = fake->addDevice("Fake GPU", 5);
    device->queueAvailable = false;
    EXPECT_EQ(failureOf([&] { cache.context(5); }), "No compatible Metal device is available.");
    EXPECT_EQ(device->libraryCompiles, 0);
    EXPECT_TRUE(log.events("METAL_LIBRARY_COMPILE").empty());
}

TEST_F(ContextCacheTest, AQuarantinedGPUIsRefusedWhileOthersAreServed)
{
    fake->addDevice("Stuck GPU", 7);
    fake->addDevice("Other GPU", 8);
    auto stuck = cache.context(7);
    cache.quarantine(7, "matrixFP32 iteration exceeded 30 seconds");
    EXPECT_FALSE(cache.hasContext(7));

    const std::string refusal =
        "Compute command failed: Metal device Stuck GPU is quarantined after a command timeout: matrixFP32 iteration "
        "exceeded 30 seconds. Restart Korvalen AI before benchmarking this GPU again.";
    EXPECT_EQ(failureOf([&] { cache.context(7); }), refusal);
    EXPECT_EQ(failureOf([&] { cache.context(std::nullopt); }), refusal);  // 7 is the first device
    EXPECT_EQ(failureOf([&] { cache.context(7); }), refusal);
    EXPECT_TRUE(cache.context(8));
    EXPECT_EQ(stuck->device().name(), "Stuck GPU");  // callers holding it are unaffected
}

TEST_F(ContextCacheTest, QuarantineDropsTheRememberedFailure)
{
    auto device = fake->addDevice("Fake GPU", 5);
    device->libraryFailure = "broken";
    EXPECT_NE(failureOf([&] { cache.context(5); }), "");
    cache.quarantine(5, "label exceeded 30 seconds");
    EXPECT_TRUE(cache.failures().empty());
    EXPECT_NE(failureOf([&] { cache.context(5); }).find("is quarantined"), std::string::npos);
}

TEST_F(ContextCacheTest, GPUsThatLeaveTheListTakeTheirStateWithThem)
{
    fake->addDevice("Keeps", 1);
    fake->addDevice("Leaves", 2);
    auto failing = fake->addDevice("Fails", 3);
    failing->libraryFailure = "broken";
    cache.context(2);
    EXPECT_NE(failureOf([&] { cache.context(3); }), "");
    cache.quarantine(1, "x exceeded 30 seconds");
    fake->removeDevice(2);
    fake->removeDevice(3);
    fake->removeDevice(1);
    EXPECT_EQ(failureOf([&] { cache.context(std::nullopt); }), "No compatible Metal device is available.");
    fake->addDevice("Keeps", 1);  // back again, forgiven

    EXPECT_TRUE(cache.context(1));
    EXPECT_FALSE(cache.hasContext(2));
    EXPECT_TRUE(cache.failures().empty());
    EXPECT_FALSE(cache.quarantineReason(1));
}

TEST_F(ContextCacheTest, PipelinesAreBuiltOnceAndFailuresLeaveNothingBehind)
{
    auto device = fake->addDevice("Fake GPU", 5);
    device->functions = std::set<std::string>{"matrix_fp32", "softmax_rows"};
    device->pipelineFailures["softmax_rows"] = "too many registers\nfor this device";
    auto context = cache.context(5);

    auto pipeline = context->pipeline("matrix_fp32");
    EXPECT_EQ(context->pipeline("matrix_fp32"), pipeline);

    EXPECT_EQ(failureOf([&] { context->pipeline("no_such_kernel"); }),
              "Metal pipeline creation failed: Missing Metal function no_such_kernel");
    EXPECT_TRUE(log.events("METAL_PIPELINE_CREATE_FAIL").empty());

    EXPECT_EQ(failureOf([&] { context->pipeline("softmax_rows"); }),
              "Metal pipeline creation failed: too many registers | for this device");
    EXPECT_TRUE(log.contains(
        "METAL_PIPELINE_CREATE_FAIL gpu=Fake GPU function=softmax_rows reason=too many registers | for this device"));
    device->pipelineFailures.clear();
    EXPECT_TRUE(context->pipeline("softmax_rows"));
}

TEST_F(ContextCacheTest, BufferMakersRefuseWithTheirTexts)
{
    auto device = fake->addDevice("Fake GPU", 5);
    auto context = cache.context(5);
    const std::vector<float> none;
    const std::vector<std::uint16_t> noHalves;

    EXPECT_EQ(failureOf([&] { context->buffer(std::span<const float>(none)); }),
              "Tensor allocation failed: Zero-length Metal buffer");
    EXPECT_EQ(failureOf([&] { context->deviceInputBuffer(std::span<const std::uint16_t>(noHalves)); }),
              "Tensor allocation failed: Zero-length Metal buffer");
    EXPECT_EQ(failureOf([&] { context->privateBuffer(0); }),
              "Tensor allocation failed: Unable to allocate 0 private bytes on Fake GPU");
    EXPECT_EQ(failureOf([&] { context->emptyBuffer(0); }),
              "Tensor allocation failed: Unable to allocate 0 bytes on Fake GPU");
    EXPECT_EQ(device->allocations, 0);

    const std::vector<float> values = {1.0f, 2.0f, 3.0f};
    device->failingAllocations = 4;
    EXPECT_EQ(failureOf([&] { context->buffer(std::span<const float>(values)); }),
              "Tensor allocation failed: Unable to allocate 12 bytes on Fake GPU");
    EXPECT_EQ(failureOf([&] { context->deviceInputBuffer(std::span<const float>(values)); }),
              "Tensor allocation failed: Unable to allocate 12 device-input bytes on Fake GPU");
    EXPECT_EQ(failureOf([&] { context->emptyBuffer(64); }),
              "Tensor allocation failed: Unable to allocate 64 bytes on Fake GPU");
    EXPECT_EQ(failureOf([&] { context->privateBuffer(64); }),
              "Tensor allocation failed: Unable to allocate 64 private bytes on Fake GPU");

    auto filled = context->buffer(std::span<const float>(values));
    EXPECT_EQ(filled->storageMode(), gpu::StorageMode::shared);
    EXPECT_EQ(filled->elements<float>(0, 3), values);
    EXPECT_EQ(context->privateBuffer(64)->storageMode(), gpu::StorageMode::private_);
}

TEST_F(ContextCacheTest, DeviceInputsAreManagedAndMarkedOnlyOffUnifiedMemory)
{
    fake->addDevice("Integrated", 1, true);
    fake->addDevice("Discrete", 2, false);
    const std::vector<std::uint16_t> halves = {0x3C00, 0x4000, 0xC000};

    auto unified = cache.context(1)->deviceInputBuffer(std::span<const std::uint16_t>(halves));
    EXPECT_EQ(unified->storageMode(), gpu::StorageMode::shared);
    EXPECT_TRUE(static_cast<testing::FakeBuffer&>(*unified).modifiedRanges().empty());

    auto discrete = cache.context(2)->deviceInputBuffer(std::span<const std::uint16_t>(halves));
    EXPECT_EQ(discrete->storageMode(), gpu::StorageMode::managed);
    using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;
    EXPECT_EQ(static_cast<testing::FakeBuffer&>(*discrete).modifiedRanges(), (Ranges{{0, 6}}));
}

// ---------------------------------------------------------------------------------------------
// Completion

class CompletionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = fake->addDevice("Fake GPU", 9);
        context = cache.context(9);
    }

    std::shared_ptr<gpu::CommandBuffer> committed(FakeCompletion completion)
    {
        device->scriptCompletion(std::move(completion));
        auto buffer = context->queue().makeCommandBuffer();
        buffer->commit();
        return buffer;
    }

    void wait(gpu::CommandBuffer& buffer, std::optional<double> deadline = std::nullopt, bool honor = true)
    {
        MetalBenchmarkRunner::waitForCompletion(buffer, token, "matrixFP32 iteration", deadline, honor, cache, clock);
    }

    ScopedFakeGpu fake;
    LogCapture log;
    double now = 500.0;
    int sleeps = 0;
    CompletionClock clock{[this] { return now; },
                          [this](double seconds) {
                              ++sleeps;
                              now += seconds;
                          },
                          {}};
    MetalKernelContextCache cache{[this] { return now; }};
    std::shared_ptr<FakeGpuDevice> device;
    std::shared_ptr<MetalKernelContext> context;
    BenchmarkCancellationToken token;
};

TEST_F(CompletionTest, ReturnsAtTheFirstCompletedPollWithoutSleeping)
{
    auto buffer = committed(FakeCompletion::completed());
    wait(*buffer);
    EXPECT_EQ(sleeps, 0);

    auto later = committed(FakeCompletion::afterPolls(3));
    wait(*later);
    EXPECT_EQ(sleeps, 3);
    EXPECT_DOUBLE_EQ(now, 500.0 + 3 * 0.002);
}

TEST_F(CompletionTest, SettlingWaitsForTheEndOrTheDeadlineAndJudgesNothing)
{
    auto later = committed(FakeCompletion::afterPolls(2));
    MetalBenchmarkRunner::awaitSettled(*later, now + 30.0, clock);
    EXPECT_EQ(later->status(), gpu::CommandStatus::completed);
    EXPECT_EQ(sleeps, 2);

    auto failed = committed(FakeCompletion::failed("GPU page fault at 0x1000"));
    MetalBenchmarkRunner::awaitSettled(*failed, now + 30.0, clock);
    EXPECT_EQ(sleeps, 2);

    // A hang sleeps no further than the deadline and leaves the verdict to the waits.
    auto hung = committed(FakeCompletion::hung());
    const double deadline = now + 0.005;
    MetalBenchmarkRunner::awaitSettled(*hung, deadline, clock);
    EXPECT_DOUBLE_EQ(now, deadline);
    EXPECT_FALSE(token.isCancelled());
    EXPECT_FALSE(cache.quarantineReason(9));
}

TEST_F(CompletionTest, FailedBuffersCarryTheirTextOrTheLabel)
{
    auto failed = committed(FakeCompletion::failed("GPU page fault at 0x1000"));
    EXPECT_EQ(failureOf([&] { wait(*failed); }), "Compute command failed: GPU page fault at 0x1000");
    auto silent = committed(FakeCompletion::failed(std::nullopt));
    EXPECT_EQ(failureOf([&] { wait(*silent); }), "Compute command failed: Metal command failed: matrixFP32 iteration");
    auto completedBadly = committed(FakeCompletion::completedWithError("ECC error"));
    EXPECT_EQ(failureOf([&] { wait(*completedBadly); }), "Compute command failed: ECC error");
    EXPECT_FALSE(token.isCancelled());
    EXPECT_FALSE(cache.quarantineReason(9));
}

TEST_F(CompletionTest, CancellationIsHonouredOnlyWhenAsked)
{
    token.cancel();
    auto buffer = committed(FakeCompletion::completed());
    EXPECT_EQ(failureOf([&] { wait(*buffer); }), "Benchmark cancelled.");
    auto inFlight = committed(FakeCompletion::completed());
    EXPECT_EQ(failureOf([&] { wait(*inFlight, now + 30.0, false); }), "");
}

TEST_F(CompletionTest, ADeadlineInThePastTimesOutAtTheFirstPoll)
{
    auto hung = committed(FakeCompletion::hung());
    EXPECT_EQ(failureOf([&] { wait(*hung, now - 1.0, false); }),
              "Compute command failed: Metal command timed out after 30 seconds (matrixFP32 iteration)");
    EXPECT_EQ(sleeps, 0);
    EXPECT_TRUE(token.isCancelled());
    EXPECT_EQ(cache.quarantineReason(9), "matrixFP32 iteration exceeded 30 seconds");
    EXPECT_FALSE(cache.hasContext(9));
    auto events = log.messages();
    ASSERT_EQ(events.size() >= 2, true);
    EXPECT_EQ(events[events.size() - 2],
              "METAL_DEVICE_QUARANTINED registry_id=9 reason=matrixFP32 iteration exceeded 30 seconds");
    EXPECT_EQ(events.back(), "METAL_COMMAND_TIMEOUT label=matrixFP32 iteration timeout_s=30");
    EXPECT_NE(failureOf([&] { cache.context(9); }).find("quarantined after a command timeout"), std::string::npos);
}

TEST_F(CompletionTest, WithoutADeadlineAHangEndsThirtySecondsAfterTheCall)
{
    auto hung = committed(FakeCompletion::hung());
    const double start = now;
    EXPECT_NE(failureOf([&] { wait(*hung); }), "");
    EXPECT_GE(now - start, 30.0);
    EXPECT_LT(now - start, 30.01);
    EXPECT_TRUE(token.isCancelled());
}

TEST_F(CompletionTest, ValidationSynchronizationCopiesManagedOutputsOnlyOffUnifiedMemory)
{
    auto managed = device->makeBuffer(8, gpu::StorageMode::managed);
    auto shared = device->makeBuffer(8, gpu::StorageMode::shared);
    auto& fakeManaged = static_cast<testing::FakeBuffer&>(*managed);
    std::fill(fakeManaged.gpuBytes().begin(), fakeManaged.gpuBytes().end(), std::byte{0x42});

    // Unified memory: nothing is committed.
    MetalBenchmarkRunner::synchronizeForCPUValidation({managed, shared}, *context, token, "tensorOperations");
    EXPECT_TRUE(device->commits().empty());

    device->setTreatAsDiscrete(true);
    MetalBenchmarkRunner::synchronizeForCPUValidation({shared}, *context, token, "tensorOperations");
    EXPECT_TRUE(device->commits().empty());  // nothing managed

    MetalBenchmarkRunner::synchronizeForCPUValidation({shared, managed}, *context, token, "tensorOperations");
    EXPECT_EQ(managed->element<std::uint8_t>(3), 0x42);

    device->encodersAvailable = false;
    EXPECT_EQ(failureOf([&] {
                  MetalBenchmarkRunner::synchronizeForCPUValidation({managed}, *context, token, "tensorOperations");
              }),
              "Compute command failed: Unable to synchronize Metal validation output");
}

TEST(HalfChecksum, ReadsEveryThousandAndThirdElementWithinTheBuffer)
{
    testing::FakeGpu fake;
    auto device = fake.addDevice("Fake GPU", 1);
    std::vector<std::uint16_t> words(2100, OlvaneHalfPrecision::encode(100.0f));
    words[0] = OlvaneHalfPrecision::encode(1.5f);
    words[1003] = OlvaneHalfPrecision::encode(-0.25f);
    words[2006] = 0x0001;  // 2^-24, a subnormal
    auto buffer = device->makeBuffer(words.data(), words.size() * 2, gpu::StorageMode::shared);

    EXPECT_EQ(MetalBenchmarkRunner::checksumHalfBuffer(*buffer, 0), 0.0);
    EXPECT_EQ(MetalBenchmarkRunner::checksumHalfBuffer(*buffer, 1003), 1.5);
    EXPECT_EQ(MetalBenchmarkRunner::checksumHalfBuffer(*buffer, 1004), 1.25);
    EXPECT_EQ(MetalBenchmarkRunner::checksumHalfBuffer(*buffer, 2100), 1.25 + std::ldexp(1.0, -24));
    // A count past the end of the buffer reads only what is there.
    EXPECT_EQ(MetalBenchmarkRunner::checksumHalfBuffer(*buffer, 1'000'000), 1.25 + std::ldexp(1.0, -24));
}

// ---------------------------------------------------------------------------------------------
// On the real device

TEST(MetalKernelContextOnDevice, CompilesTheLibraryAndGivesTheExactFailureTexts)
{
    KORVALEN_REQUIRE_GPU(device);
    LogCapture log;
    MetalKernelContext context(device);
    for (const auto& name : MetalKernelLibrary::kernelNames()) EXPECT_TRUE(context.pipeline(name)) << name;
    EXPECT_EQ(failureOf([&] { context.pipeline("no_such_kernel"); }),
              "Metal pipeline creation failed: Missing Metal function no_such_kernel");

    const std::string broken = "__kernel void broken(__global float* x)\n{\n    x[0] = undefined_value;\n}\n";
    std::string log_text;
    try {
        device->makeLibrary(broken);
    } catch (const gpu::Error& error) {
        log_text = error.what();
    }
    ASSERT_NE(log_text, "");
    const std::string expected = "Metal pipeline creation failed: " + gpu::singleLine(log_text);
    EXPECT_EQ(failureOf([&] { MetalKernelContext(device, broken); }), expected);
    EXPECT_EQ(expected.find('\n'), std::string::npos);
    // The compiler's temporary file name is replaced, so the text is the same on every build.
    EXPECT_NE(expected.find("<source>:3:12: use of undeclared identifier 'undefined_value' | "), std::string::npos)
        << expected;
    EXPECT_TRUE(
        log.contains("METAL_LIBRARY_COMPILE_FAIL gpu=" + device->name() + " reason=" + gpu::singleLine(log_text)));
}

TEST(MetalKernelContextOnDevice, RealWorkCompletesThroughTheWaitAndChecksums)
{
    KORVALEN_REQUIRE_GPU(device);
    LogCapture log;
    MetalKernelContext context(device);
    BenchmarkCancellationToken token;
    const std::uint32_t count = 2100;
    auto cache = context.emptyBuffer(count * 2);
    auto commands = context.queue().makeCommandBuffer();
    auto encoder = commands->makeComputeEncoder();
    encoder->setPipeline(context.pipeline("kv_cache_update"));
    encoder->setBuffer(cache, 0);
    encoder->setValue(count, 1);
    encoder->dispatchThreads({count, 1, 1}, {32, 1, 1});
    encoder->endEncoding();
    commands->commit();
    MetalBenchmarkRunner::waitForCompletion(*commands, token, "kvCache iteration", std::nullopt, true);
    // Elements 0, 1003 and 2006 hold (i mod 257 - 128) / 128.
    const double expected = -1.0 + (1003 % 257 - 128) / 128.0 + (2006 % 257 - 128) / 128.0;
    EXPECT_EQ(MetalBenchmarkRunner::checksumHalfBuffer(*cache, count), expected);
}

TEST(MetalKernelContextOnDevice, AsDiscreteTheValidationOutputComesBackThroughTheMirror)
{
    KORVALEN_REQUIRE_GPU(device);
    device->setTreatAsDiscrete(true);
    LogCapture log;
    MetalKernelContext context(device);
    BenchmarkCancellationToken token;
    const std::uint32_t count = 300;
    auto output = device->makeBuffer(count * 4, gpu::StorageMode::managed);
    auto commands = context.queue().makeCommandBuffer();
    auto encoder = commands->makeComputeEncoder();
    encoder->setPipeline(context.pipeline("fill_tensor"));
    encoder->setBuffer(output, 0);
    encoder->setValue(count, 1);
    encoder->dispatchThreads({count, 1, 1}, {32, 1, 1});
    encoder->endEncoding();
    commands->commit();
    MetalBenchmarkRunner::waitForCompletion(*commands, token, "tensorAllocation iteration", std::nullopt, true);
    EXPECT_EQ(output->element<float>(129), 0.0f);  // not yet copied back
    MetalBenchmarkRunner::synchronizeForCPUValidation({output}, context, token, "tensorAllocation");
    EXPECT_EQ(output->element<float>(129), 129.0f / 256.0f);
}

TEST(MetalKernelContextOnDevice, ThreadsShareOneContextWithoutSharingKernelObjects)
{
    KORVALEN_REQUIRE_GPU(device);
    LogCapture log;
    MetalKernelContext context(device);
    // Every thread dispatches the same pipeline with its own arguments at the same time; each result
    // must be the thread's own.
    std::vector<std::string> failures(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            BenchmarkCancellationToken token;
            const std::uint32_t count = 1000 + 17 * t;
            const std::vector<float> a(count, static_cast<float>(t + 1));
            const std::vector<float> b(count, 2.0f);
            auto aBuffer = context.buffer(std::span<const float>(a));
            auto bBuffer = context.buffer(std::span<const float>(b));
            auto output = context.emptyBuffer(count * 4);
            for (int round = 0; round < 20 && failures[t].empty(); ++round) {
                auto commands = context.queue().makeCommandBuffer();
                auto encoder = commands->makeComputeEncoder();
                encoder->setPipeline(context.pipeline("training_update"));
                encoder->setBuffer(aBuffer, 0);
                encoder->setBuffer(bBuffer, 1);
                encoder->setBuffer(output, 2);
                encoder->setValue(count, 3);
                encoder->dispatchThreads({count, 1, 1}, {32, 1, 1});
                encoder->endEncoding();
                commands->commit();
                MetalBenchmarkRunner::waitForCompletion(*commands, token, "thread", std::nullopt, true);
                const float expected = static_cast<float>(t + 1) - 0.002f * 2.0f;
                if (output->element<float>(count - 1) != expected)
                    failures[t] = "wrong result in round " + std::to_string(round);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
}

}  // namespace
}  // namespace korvalen
