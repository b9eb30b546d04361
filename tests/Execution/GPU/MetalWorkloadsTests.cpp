// Every GPU workload end to end on the machine's OpenCL device (pocl's CPU device in CI), on its
// unified memory and once more with the device acting as a discrete GPU, so that the managed and
// staging paths run too.

#include "Execution/GPU/MetalBenchmarkRunner.h"
#include "Execution/GPU/MetalInvocationBuilders.h"
#include "Model/AIBenchmarkError.h"
#include "Model/AIWorkloadCatalog.h"
#include "support/GpuTestDevice.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <variant>

namespace korvalen {
namespace {

using namespace MetalBenchmarkRunner;

const AIWorkloadDefinition& catalogEntry(AIWorkloadID id)
{
    return AIWorkloadCatalog::definitions().at(id);
}

std::vector<AIWorkloadID> gpuWorkloads()
{
    std::vector<AIWorkloadID> ids;
    for (const auto& [id, workload] : AIWorkloadCatalog::definitions())
        if (workload.supports(AIBackend::gpu) && !workload.modelFamily && id != AIWorkloadID::mixedSustained)
            ids.push_back(id);
    return ids;
}

std::string workloadName(const ::testing::TestParamInfo<AIWorkloadID>& info)
{
    return std::string(rawValue(info.param));
}

int expectedIterations(AIWorkloadID id)
{
    switch (id) {
    case AIWorkloadID::gpuCommandThroughput: return 20;  // five batches of four
    case AIWorkloadID::metalSustained: return 3;
    case AIWorkloadID::metalCacheLadder: return -1;  // per level, at least 0.1 s and 2 dispatches
    default: return 5;
    }
}

class GpuWorkloadTest : public ::testing::TestWithParam<AIWorkloadID> {};

TEST_P(GpuWorkloadTest, ValidatesAndRepeatsItsChecksumOnUnifiedAndDiscreteMemory)
{
    KORVALEN_REQUIRE_GPU(device);
    const AIWorkloadDefinition& workload = catalogEntry(GetParam());
    BenchmarkCancellationToken token;
    MetalKernelContext unified(device);

    const KernelMeasurement first = run(workload, unified, 0.0, token);
    EXPECT_EQ(first.accuracy, 1.0);
    EXPECT_TRUE(isWellFormed(first));
    EXPECT_EQ(first.throughputUnit, workload.throughputUnit);
    if (expectedIterations(workload.id) > 0) {
        EXPECT_EQ(first.iterations, expectedIterations(workload.id));
    } else {
        EXPECT_GE(first.iterations, 10);
    }

    const KernelMeasurement second = run(workload, unified, 0.0, token);
    EXPECT_EQ(second.checksum, first.checksum);

    auto discreteDevice = testing::openTestDevice();
    discreteDevice->setTreatAsDiscrete(true);
    ASSERT_FALSE(discreteDevice->hasUnifiedMemory());
    MetalKernelContext discrete(discreteDevice);
    const KernelMeasurement third = run(workload, discrete, 0.0, token);
    EXPECT_EQ(third.accuracy, 1.0);
    EXPECT_EQ(third.checksum, first.checksum);
    if (workload.id == AIWorkloadID::gpuTransfer) {
        EXPECT_EQ(third.details[1], "Staging storage: managed memory with explicit synchronization");
    }
}

INSTANTIATE_TEST_SUITE_P(EveryGpuWorkload, GpuWorkloadTest, ::testing::ValuesIn(gpuWorkloads()), workloadName);

TEST(GpuWorkloads, TheCatalogsGpuWorkloadsAreExactlyTheInvocationsAndDedicatedRunners)
{
    int dedicated = 0;
    for (const AIWorkloadID id : gpuWorkloads()) dedicated += hasDedicatedRunner(id) ? 1 : 0;
    EXPECT_EQ(gpuWorkloads().size(), 24u);
    EXPECT_EQ(dedicated, 5);
}

TEST(GpuWorkloads, WorkloadsWithoutAnInvocationAreRefusedWithTheirTitle)
{
    KORVALEN_REQUIRE_GPU(device);
    MetalKernelContext context(device);
    for (const AIWorkloadID id : {AIWorkloadID::imageClassification, AIWorkloadID::textTokenization,
                                  AIWorkloadID::metalSustained, AIWorkloadID::memoryPressure}) {
        try {
            makeInvocation(catalogEntry(id), context);
            ADD_FAILURE() << rawValue(id) << " was accepted";
        } catch (const AIBenchmarkError& error) {
            EXPECT_EQ(error.kind(), AIBenchmarkError::Kind::unsupportedBackend);
            EXPECT_EQ(error.errorDescription(),
                      "Unsupported backend: " + catalogEntry(id).title + " uses Core ML on GPU.");
        }
    }
}

// Where each invocation's validation looks: the binding of its output in the last dispatch and
// one sampled element.
enum class Element { float32, half, int32 };
struct Sample {
    AIWorkloadID workload;
    std::uint32_t binding;
    std::size_t index;
    Element type;
};

void PrintTo(const Sample& sample, std::ostream* out)
{
    *out << rawValue(sample.workload) << "[" << sample.index << "]";
}

class CorruptedOutputTest : public ::testing::TestWithParam<Sample> {};

TEST_P(CorruptedOutputTest, ACorruptedSampledElementFailsValidation)
{
    KORVALEN_REQUIRE_GPU(device);
    const Sample sample = GetParam();
    MetalKernelContext context(device);
    const Invocation invocation = makeInvocation(catalogEntry(sample.workload), context);

    auto buffer = context.queue().makeCommandBuffer();
    invocation.encode(*buffer);
    std::shared_ptr<gpu::Buffer> output;
    for (const gpu::Command& command : buffer->commands())
        if (const auto* dispatch = std::get_if<gpu::DispatchCommand>(&command))
            output = dispatch->arguments.at(sample.binding)->buffer;
    ASSERT_TRUE(output);
    buffer->commit();
    ASSERT_TRUE(testing::finishGpuWork(*buffer));
    ASSERT_TRUE(invocation.validate());

    switch (sample.type) {
    case Element::float32: {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        output->write(sample.index * 4, &nan, 4);
        break;
    }
    case Element::half: {
        const std::uint16_t nan = 0x7E00;
        output->write(sample.index * 2, &nan, 2);
        break;
    }
    case Element::int32: {
        const std::int32_t offByOne = output->element<std::int32_t>(sample.index) + 1;
        output->write(sample.index * 4, &offByOne, 4);
        break;
    }
    }
    EXPECT_FALSE(invocation.validate());
}

std::string sampleName(const ::testing::TestParamInfo<Sample>& info)
{
    return std::string(rawValue(info.param.workload));
}

INSTANTIATE_TEST_SUITE_P(EveryInvocation, CorruptedOutputTest,
                         ::testing::Values(Sample{AIWorkloadID::superResolution, 1, 177 * 768 + 123, Element::float32},
                                           Sample{AIWorkloadID::ropeRMSNorm, 1, 37 * 512 + 20, Element::float32},
                                           Sample{AIWorkloadID::transformerAttention, 2, 0, Element::float32},
                                           Sample{AIWorkloadID::diffusionDenoise, 1, 161, Element::float32},
                                           Sample{AIWorkloadID::noiseSuppression, 1, 96'000, Element::float32},
                                           Sample{AIWorkloadID::matrixFP32, 2, 0, Element::float32},
                                           Sample{AIWorkloadID::matrixFP16, 2, 0, Element::half},
                                           Sample{AIWorkloadID::matrixINT8, 2, 0, Element::int32},
                                           Sample{AIWorkloadID::convolution, 1, 513, Element::float32},
                                           Sample{AIWorkloadID::softmaxLayerNorm, 1, 256 * 512 + 9, Element::float32},
                                           Sample{AIWorkloadID::tensorOperations, 2, 17'777, Element::float32},
                                           Sample{AIWorkloadID::gpuCommandThroughput, 2, 17'777, Element::float32},
                                           Sample{AIWorkloadID::llmGEMVFP16, 2, 7'001, Element::float32},
                                           Sample{AIWorkloadID::llmQ4, 2, 2'021, Element::float32},
                                           Sample{AIWorkloadID::attentionPrefill, 2, 203 * 64 + 37, Element::float32},
                                           Sample{AIWorkloadID::attentionDecode, 2, 3 * 64 + 7, Element::float32},
                                           Sample{AIWorkloadID::fineTuningStep, 2, 19'771, Element::float32},
                                           Sample{AIWorkloadID::tensorAllocation, 0, 1'234'560, Element::float32},
                                           Sample{AIWorkloadID::kvCache, 0, 77'777, Element::half}),
                         sampleName);

}  // namespace
}  // namespace korvalen
