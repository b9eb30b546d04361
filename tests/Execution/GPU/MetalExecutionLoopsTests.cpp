// The execution loops and the sustained runner on the scripted fake GPU: which clock a sample
// comes from, how a failing batch is drained, which error wins, and how the sustained run records
// thermal states and retention.

#include "Execution/GPU/MetalBenchmarkRunner.h"
#include "Execution/GPU/MetalInvocationBuilders.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Model/AIBenchmarkError.h"
#include "Model/AIWorkloadCatalog.h"
#include "support/FakeGpu.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>

namespace korvalen {
namespace {

using namespace MetalBenchmarkRunner;
using testing::FakeCommandBuffer;
using testing::FakeCompletion;
using testing::FakeGpuDevice;

const AIWorkloadDefinition& catalogEntry(AIWorkloadID id)
{
    return AIWorkloadCatalog::definitions().at(id);
}

std::string failureText(const std::function<void()>& body)
{
    try {
        body();
    } catch (const AIBenchmarkError& error) {
        return error.errorDescription();
    }
    return "no error";
}

class FakeLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gpu::DeviceInfo info;
        info.registryID = 77;
        info.name = "Fake GPU";
        info.unifiedMemory = true;
        device = std::make_shared<FakeGpuDevice>(info);
        context = std::make_unique<MetalKernelContext>(device);
    }

    // An invocation whose unit of work is one empty compute pass; it keeps every command buffer it
    // was given, so that the test can look at them after the loop released its own references,
    // and lets the test act before the n-th encode (1 = the first warm-up).
    Invocation probe(double work = 1.0)
    {
        Invocation invocation;
        invocation.encode = [this](gpu::CommandBuffer& buffer) {
            encoded.push_back(std::static_pointer_cast<FakeCommandBuffer>(buffer.shared_from_this()));
            if (beforeEncode) beforeEncode(static_cast<int>(encoded.size()));
            auto encoder = buffer.makeComputeEncoder();
            encoder->endEncoding();
        };
        invocation.workPerIteration = work;
        invocation.validate = [this] { return valid; };
        invocation.checksum = [] { return 42.0; };
        invocation.details = {"probe"};
        return invocation;
    }

    const AIWorkloadDefinition& workload = catalogEntry(AIWorkloadID::gpuCommandThroughput);
    testing::LogCapture log;
    std::shared_ptr<FakeGpuDevice> device;
    std::unique_ptr<MetalKernelContext> context;
    BenchmarkCancellationToken token;
    std::vector<std::shared_ptr<FakeCommandBuffer>> encoded;
    std::function<void(int)> beforeEncode;
    bool valid = true;
};

TEST_F(FakeLoopTest, ExecuteTimesFiveBuffersWithGpuTimestampsWhenTheDriverGivesThem)
{
    device->defaultCompletion = FakeCompletion::completed(2.0, 2.0005);
    const KernelMeasurement m = execute(workload, *context, probe(0.25), 0.0, token);
    EXPECT_EQ(m.iterations, 5);
    EXPECT_DOUBLE_EQ(m.workUnits, 1.25);
    ASSERT_EQ(m.latencySamplesMS.size(), 5u);
    for (const double sample : m.latencySamplesMS) EXPECT_NEAR(sample, 0.5, 1e-9);
    EXPECT_EQ(encoded.size(), 8u);  // three warm-ups first
    EXPECT_EQ(m.accuracy, 1.0);
    EXPECT_EQ(m.checksum, 42.0);
    EXPECT_EQ(m.details,
              (std::vector<std::string>{
                  "probe", "Metal device: Fake GPU", "Three unscored GPU warm-up dispatches completed before timing",
                  "GPU command-buffer timing is used when the driver reports it",
                  "Storage path is workload-specific; CPU-visible outputs are retained only for deterministic "
                  "validation"}));
}

TEST_F(FakeLoopTest, ExecuteFallsBackToTheWallClockAndFloorsTinyIntervals)
{
    // No timestamps: the wall time, which covers at least one 2 ms poll.
    FakeCompletion untimed = FakeCompletion::withoutTimestamps();
    untimed.pollsBeforeDone = 1;
    device->defaultCompletion = untimed;
    KernelMeasurement m = execute(workload, *context, probe(), 0.0, token);
    for (const double sample : m.latencySamplesMS) EXPECT_GE(sample, 1.5);

    // End before start counts as no timestamps too.
    device->defaultCompletion = FakeCompletion::completed(3.0, 2.0);
    device->defaultCompletion.pollsBeforeDone = 1;
    m = execute(workload, *context, probe(), 0.0, token);
    for (const double sample : m.latencySamplesMS) EXPECT_GE(sample, 1.5);

    // Half a microsecond on the GPU is below what a sample can resolve.
    device->defaultCompletion = FakeCompletion::completed(1.0, 1.0000005);
    m = execute(workload, *context, probe(), 0.0, token);
    for (const double sample : m.latencySamplesMS) EXPECT_EQ(sample, 0.001);
}

TEST_F(FakeLoopTest, AFailedValidationGivesACompleteMeasurementWithZeroAccuracy)
{
    valid = false;
    const KernelMeasurement m = execute(workload, *context, probe(), 0.0, token);
    EXPECT_EQ(m.accuracy, 0.0);
    EXPECT_EQ(m.iterations, 5);
    EXPECT_EQ(m.checksum, 42.0);
}

TEST_F(FakeLoopTest, PipelinedLoopQueuesBatchesOfFour)
{
    const KernelMeasurement m = executePipelined(workload, *context, probe(0.5), 0.0, token);
    EXPECT_EQ(m.iterations, 20);
    EXPECT_DOUBLE_EQ(m.workUnits, 10.0);
    EXPECT_EQ(m.latencySamplesMS.size(), 5u);
    EXPECT_EQ(encoded.size(), 23u);
    EXPECT_EQ(m.details[3], "4 command buffers were queued before synchronization");
}

TEST_F(FakeLoopTest, AMissingBufferMidBatchStillDrainsTheCommittedOnes)
{
    device->defaultCompletion = FakeCompletion::afterPolls(3);
    // Warm-ups are encodes 1-3; the batch's first two buffers are encodes 4 and 5.
    beforeEncode = [this](int n) {
        if (n == 5) device->commandBuffersAvailable = false;
    };
    EXPECT_EQ(failureText([&] { executePipelined(workload, *context, probe(), 0.0, token); }),
              "Compute command failed: Unable to create command buffer");
    ASSERT_EQ(encoded.size(), 5u);
    for (int i = 3; i < 5; ++i) {
        EXPECT_TRUE(encoded[i]->committed());
        EXPECT_GE(encoded[i]->polls(), 4) << "buffer " << i << " was not waited for to the end";
    }
}

TEST_F(FakeLoopTest, TheFirstFailedWaitOfABatchWinsAndTheRestAreStillWaitedFor)
{
    for (int i = 0; i < 3; ++i) device->scriptCompletion(FakeCompletion::completed());
    device->scriptCompletion(FakeCompletion::completed());
    device->scriptCompletion(FakeCompletion::failed("second buffer broke"));
    device->scriptCompletion(FakeCompletion::failed("third buffer broke"));
    device->scriptCompletion(FakeCompletion::afterPolls(2));
    EXPECT_EQ(failureText([&] { executePipelined(workload, *context, probe(), 0.0, token); }),
              "Compute command failed: second buffer broke");
    ASSERT_EQ(encoded.size(), 7u);
    EXPECT_GE(encoded[6]->polls(), 3) << "the last buffer was not waited for to the end";
}

TEST_F(FakeLoopTest, AFailedWaitWinsOverTheEncodeErrorThatStartedTheDrain)
{
    for (int i = 0; i < 4; ++i) device->scriptCompletion(FakeCompletion::completed());
    device->scriptCompletion(FakeCompletion::failed("second buffer broke"));
    beforeEncode = [](int n) {
        if (n == 6) throw AIBenchmarkError::commandFailure("encode broke");
    };
    EXPECT_EQ(failureText([&] { executePipelined(workload, *context, probe(), 0.0, token); }),
              "Compute command failed: second buffer broke");

    // Without a failed wait, the encode's own error comes through.
    encoded.clear();
    beforeEncode = [](int n) {
        if (n == 6) throw AIBenchmarkError::commandFailure("encode broke");
    };
    EXPECT_EQ(failureText([&] { executePipelined(workload, *context, probe(), 0.0, token); }),
              "Compute command failed: encode broke");
}

TEST_F(FakeLoopTest, CancellingDuringTheTimedLoopEndsBothLoops)
{
    beforeEncode = [this](int n) {
        if (n == 5) token.cancel();
    };
    EXPECT_EQ(failureText([&] { execute(workload, *context, probe(), 1e9, token); }), "Benchmark cancelled.");

    token.reset();
    encoded.clear();
    EXPECT_EQ(failureText([&] { executePipelined(workload, *context, probe(), 1e9, token); }), "Benchmark cancelled.");
    // The buffer encoded after the stop was never committed; the batch's first one was drained.
    ASSERT_EQ(encoded.size(), 5u);
    EXPECT_TRUE(encoded[3]->committed());
    EXPECT_FALSE(encoded[4]->committed());
}

TEST_F(FakeLoopTest, SustainedRunRecordsThermalChangesAndRetention)
{
    device->scriptCompletion(FakeCompletion::completed());  // the unscored cycle
    device->scriptCompletion(FakeCompletion::completed(0.0, 0.001));
    device->scriptCompletion(FakeCompletion::completed(0.0, 0.002));
    device->scriptCompletion(FakeCompletion::completed(0.0, 0.004));
    std::deque<std::string> states{"Fair", "Fair", "Nominal"};
    const ThermalStateReader thermal = [&] {
        std::string state = states.front();
        states.pop_front();
        return state;
    };
    const KernelMeasurement m =
        runMetalSustained(catalogEntry(AIWorkloadID::metalSustained), *context, 0.0, token, thermal);
    EXPECT_EQ(m.iterations, 3);
    EXPECT_EQ(m.thermalStateSamples, (std::vector<std::string>{"Fair", "Nominal"}));
    ASSERT_TRUE(m.retention.has_value());
    EXPECT_NEAR(*m.retention, 25.0, 1e-6);
    EXPECT_EQ(m.details[2], "Peak: 1000.00 cycles/s");
    EXPECT_EQ(m.details[4], "Minimum: 250.00 cycles/s");
    EXPECT_EQ(m.details[5], "Retention: 25.00%");
    // The fake GPU computes nothing, so the outputs cannot match their references.
    EXPECT_EQ(m.accuracy, 0.0);
}

TEST_F(FakeLoopTest, ATargetThatIsNotANumberEndsEveryGpuLoopAtItsMinimumCount)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(execute(workload, *context, probe(), nan, token).latencySamplesMS.size(), 5u);
    EXPECT_EQ(executePipelined(workload, *context, probe(), nan, token).latencySamplesMS.size(), 5u);
    EXPECT_EQ(runGPUTransfer(catalogEntry(AIWorkloadID::gpuTransfer), *context, nan, token).iterations, 5);
    const ThermalStateReader thermal = [] { return std::string("Nominal"); };
    EXPECT_EQ(runMetalSustained(catalogEntry(AIWorkloadID::metalSustained), *context, nan, token, thermal).iterations,
              3);
}

TEST(SustainedRetention, ComparesTheMeansOfTheFirstAndLastThirds)
{
    EXPECT_EQ(sustainedRetention({}), 0.0);
    EXPECT_DOUBLE_EQ(sustainedRetention(std::vector<double>{2.0, 9.0, 4.0}), 50.0);
    EXPECT_DOUBLE_EQ(sustainedRetention(std::vector<double>{1, 2, 3, 100, 100, 100, 4, 4, 4}), 50.0);
    // Eight samples: thirds of two.
    EXPECT_DOUBLE_EQ(sustainedRetention(std::vector<double>{3, 3, 0, 0, 0, 0, 1, 2}), 200.0);
    EXPECT_EQ(sustainedRetention(std::vector<double>{1.0, 0.0}), 0.0);
}

TEST(GpuReferences, PackedQ4WeightsKeepTheEvenWeightInTheLowNibble)
{
    const std::vector<std::uint8_t> packed = reference::packedQ4Weights(0x51440004, 4);
    SplitMix64 stream(0x51440004);
    const std::uint8_t w0 = stream.next() & 0xF, w1 = stream.next() & 0xF;
    ASSERT_EQ(packed.size(), 2u);
    EXPECT_EQ(packed[0], w0 | (w1 << 4));
    EXPECT_EQ(reference::q4Weight(0), -1.0f);
    EXPECT_EQ(reference::q4Weight(8), 0.0f);
    EXPECT_EQ(reference::q4Weight(15), 0.875f);
}

TEST(GpuReferences, SampleCheckGatesByTheLargerOfRelativeAndAbsoluteError)
{
    const auto check = [](float value, float expected) {
        const float values[] = {value};
        const float expectations[] = {expected};
        return reference::samplesMatch(values, expectations, 0.003f, 0.02f);
    };
    EXPECT_TRUE(check(0.019f, 0.0f));
    EXPECT_FALSE(check(0.021f, 0.0f));
    EXPECT_TRUE(check(10.029f, 10.0f));
    EXPECT_FALSE(check(10.032f, 10.0f));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float values[] = {1.0f, nan};
    const float expected[] = {1.0f, 1.0f};
    EXPECT_FALSE(reference::samplesMatch(values, expected, 0.003f, 0.02f));
    EXPECT_TRUE(reference::samplesMatch(std::span(values, 1), expected, 0.003f, 0.02f));
}

TEST(GpuReferences, AttentionOverEqualKeysAveragesTheValues)
{
    const std::vector<float> query(64, 0.5f), keys(3 * 64, 0.25f);
    std::vector<float> values(3 * 64, 0.0f);
    values[0 * 64 + 5] = 1.0f;
    values[1 * 64 + 5] = 2.0f;
    values[2 * 64 + 5] = 6.0f;
    EXPECT_NEAR(reference::attentionOutput(query, keys, values, 3, 5), 3.0f, 1e-6f);
}

TEST(GpuReferences, Int8InputsStayWithinFifteen)
{
    const std::vector<std::int8_t> bytes = reference::int8Stream(0x1A78, 10'000);
    const auto [low, high] = std::minmax_element(bytes.begin(), bytes.end());
    EXPECT_EQ(*low, -15);
    EXPECT_EQ(*high, 15);
}

}  // namespace
}  // namespace korvalen
