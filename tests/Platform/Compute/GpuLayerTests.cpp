// The compute layer on the real OpenCL device (pocl here), and the checks every backend shares.

#include "Platform/Compute/Gpu.h"
#include "support/FakeGpu.h"
#include "support/GpuTestDevice.h"
#include "support/KernelCache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace korvalen::gpu {
namespace {

using testing::finishGpuWork;

const char* const scaleSource = R"(
__kernel void scale(__global const float* input, __global float* output, const float factor, const uint count)
{
    uint i = (uint)get_global_id(0);
    if (i >= count) return;
    output[i] = input[i] * factor;
}
)";

class GpuLayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = testing::openTestDevice();
        if (!device) GTEST_SKIP() << "no OpenCL device on this machine";
        queue = device->makeCommandQueue();
        ASSERT_TRUE(queue);
    }

    void TearDown() override
    {
        if (device) device->setTreatAsDiscrete(std::nullopt);
    }

    std::shared_ptr<Pipeline> scalePipeline()
    {
        auto library = device->makeLibrary(scaleSource);
        return library->makePipeline("scale");
    }

    // output[i] = input[i] * factor over count elements, committed and waited for.
    std::shared_ptr<CommandBuffer> scale(const std::shared_ptr<Buffer>& input, const std::shared_ptr<Buffer>& output,
                                         float factor, std::uint32_t count)
    {
        auto commands = queue->makeCommandBuffer();
        auto encoder = commands->makeComputeEncoder();
        encoder->setPipeline(scalePipeline());
        encoder->setBuffer(input, 0);
        encoder->setBuffer(output, 1);
        encoder->setValue(factor, 2);
        encoder->setValue(count, 3);
        encoder->dispatchThreads({count, 1, 1}, {8, 1, 1});
        encoder->endEncoding();
        commands->commit();
        return commands;
    }

    std::shared_ptr<Device> device;
    std::shared_ptr<CommandQueue> queue;
};

TEST_F(GpuLayerTest, SharedBufferRunsAKernelAndReportsDeviceTimes)
{
    std::vector<float> values = {1.0f, 2.0f, -3.0f, 4.5f, 0.25f};
    auto input = device->makeBuffer(values.data(), values.size() * 4, StorageMode::shared);
    auto output = device->makeBuffer(values.size() * 4, StorageMode::shared);
    ASSERT_TRUE(input && output);
    auto commands = scale(input, output, 2.0f, 5);
    ASSERT_TRUE(finishGpuWork(*commands)) << commands->error().value_or("");
    EXPECT_EQ(output->elements<float>(0, 5), (std::vector<float>{2.0f, 4.0f, -6.0f, 9.0f, 0.5f}));
    EXPECT_FALSE(commands->error());
    EXPECT_GT(commands->gpuStartTime(), 0.0);
    EXPECT_LE(commands->gpuStartTime(), commands->gpuEndTime());
}

TEST_F(GpuLayerTest, EmptyCommandBufferCompletes)
{
    auto commands = queue->makeCommandBuffer();
    EXPECT_EQ(commands->status(), CommandStatus::notEnqueued);
    commands->commit();
    ASSERT_TRUE(finishGpuWork(*commands));
    EXPECT_THROW(commands->commit(), Error);
    EXPECT_EQ(commands->makeComputeEncoder(), nullptr);
}

TEST_F(GpuLayerTest, BriefWaitWakesWhenTheWorkFinishes)
{
    std::vector<float> values(4096, 1.5f);
    auto input = device->makeBuffer(values.data(), values.size() * 4, StorageMode::shared);
    auto output = device->makeBuffer(values.size() * 4, StorageMode::shared);
    ASSERT_TRUE(input && output);
    auto commands = scale(input, output, 2.0f, 4096);
    // A wait bounded far beyond the work must come back on completion, not at its bound.
    const auto began = std::chrono::steady_clock::now();
    while (commands->status() != CommandStatus::completed && commands->status() != CommandStatus::error)
        commands->waitBriefly(120.0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60));
    EXPECT_EQ(commands->status(), CommandStatus::completed);
    EXPECT_EQ(output->element<float>(4095), 3.0f);
}

TEST_F(GpuLayerTest, BufferRequestsOutsideTheDeviceLimitsAreRefused)
{
    EXPECT_EQ(device->makeBuffer(0, StorageMode::shared), nullptr);
    EXPECT_EQ(device->makeBuffer(0, StorageMode::private_), nullptr);
    EXPECT_EQ(device->makeBuffer(device->maxBufferLength() + 1, StorageMode::shared), nullptr);
    EXPECT_EQ(device->makeBuffer(device->maxBufferLength() + 1, StorageMode::managed), nullptr);

    auto gpuOnly = device->makeBuffer(64, StorageMode::private_);
    ASSERT_TRUE(gpuOnly);
    float value = 0.0f;
    EXPECT_THROW(gpuOnly->read(0, &value, 4), Error);
    auto shared = device->makeBuffer(64, StorageMode::shared);
    EXPECT_THROW(shared->read(62, &value, 4), Error);
    EXPECT_THROW(shared->map(65, 0, MapAccess::read), Error);
}

TEST_F(GpuLayerTest, PrivateDataTravelsThroughBlits)
{
    std::vector<std::uint32_t> words = {7, 8, 9, 10, 11, 12};
    auto resident = device->makeBuffer(words.data(), 24, StorageMode::private_);
    auto staging = device->makeBuffer(24, StorageMode::shared);
    ASSERT_TRUE(resident && staging);
    auto commands = queue->makeCommandBuffer();
    auto blit = commands->makeBlitEncoder();
    blit->fill(staging, 0, 24, 0xFF);
    blit->copy(resident, 4, staging, 0, 16);
    blit->endEncoding();
    commands->commit();
    ASSERT_TRUE(finishGpuWork(*commands)) << commands->error().value_or("");
    EXPECT_EQ(staging->elements<std::uint32_t>(0, 6),
              (std::vector<std::uint32_t>{8, 9, 10, 11, 0xFFFFFFFFu, 0xFFFFFFFFu}));
}

// Large copies in whole 16-byte words take a copy kernel on a processor-type device, others the
// driver's copy: both move exactly the bytes asked for, and chain with the commands around them.
TEST_F(GpuLayerTest, LargeCopiesMoveExactlyTheirBytes)
{
    constexpr std::size_t size = (std::size_t{4} << 20) + 64;
    std::vector<std::uint8_t> pattern(size);
    for (std::size_t i = 0; i < size; ++i) pattern[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
    struct Case {
        std::size_t from, to, bytes;
    };
    for (const Case c : {Case{16, 48, size - 64}, Case{0, 0, size}, Case{3, 40, size - 64}, Case{32, 16, 4096}}) {
        auto source = device->makeBuffer(pattern.data(), size, StorageMode::private_);
        auto middle = device->makeBuffer(size, StorageMode::private_);
        auto destination = device->makeBuffer(size, StorageMode::shared);
        ASSERT_TRUE(source && middle && destination);
        auto commands = queue->makeCommandBuffer();
        auto blit = commands->makeBlitEncoder();
        blit->fill(middle, 0, size, 0xAB);
        blit->fill(destination, 0, size, 0xCD);
        blit->copy(source, c.from, middle, c.to, c.bytes);
        blit->copy(middle, 0, destination, 0, size);
        blit->endEncoding();
        commands->commit();
        ASSERT_TRUE(finishGpuWork(*commands)) << commands->error().value_or("");
        const auto out = destination->elements<std::uint8_t>(0, size);
        std::vector<std::uint8_t> expected(size, 0xAB);
        std::copy_n(pattern.begin() + static_cast<std::ptrdiff_t>(c.from), c.bytes,
                    expected.begin() + static_cast<std::ptrdiff_t>(c.to));
        EXPECT_TRUE(out == expected) << c.from << " -> " << c.to << ", " << c.bytes << " bytes";
    }
}

TEST_F(GpuLayerTest, ManagedBufferKeepsItsMirrorInStepOnADiscreteDevice)
{
    device->setTreatAsDiscrete(true);
    EXPECT_FALSE(device->hasUnifiedMemory());

    std::vector<float> values = {1.0f, 2.0f, 3.0f, 4.0f};
    auto input = device->makeBuffer(values.data(), 16, StorageMode::managed);
    auto output = device->makeBuffer(16, StorageMode::managed);
    ASSERT_TRUE(input && output);
    EXPECT_EQ(input->storageMode(), StorageMode::managed);

    // A CPU change reaches the GPU only through didModifyRange.
    float changed = 10.0f;
    input->write(4, &changed, 4);
    input->didModifyRange(4, 4);
    auto commands = scale(input, output, 3.0f, 4);
    ASSERT_TRUE(finishGpuWork(*commands)) << commands->error().value_or("");
    // The GPU result reaches the mirror only through a synchronizing blit.
    EXPECT_EQ(output->elements<float>(0, 4), std::vector<float>(4, 0.0f));

    auto sync = queue->makeCommandBuffer();
    auto blit = sync->makeBlitEncoder();
    blit->synchronizeResource(output);
    blit->endEncoding();
    sync->commit();
    ASSERT_TRUE(finishGpuWork(*sync)) << sync->error().value_or("");
    EXPECT_EQ(output->elements<float>(0, 4), (std::vector<float>{3.0f, 30.0f, 9.0f, 12.0f}));

    device->setTreatAsDiscrete(std::nullopt);
    EXPECT_EQ(device->hasUnifiedMemory(), device->info().unifiedMemory);
    setTreatAllDevicesAsDiscrete(true);
    EXPECT_FALSE(device->hasUnifiedMemory());
    setTreatAllDevicesAsDiscrete(false);
}

TEST_F(GpuLayerTest, AnEnqueueTheDriverRefusesShowsAsAFailedBuffer)
{
    auto pipeline = scalePipeline();
    auto input = device->makeBuffer(64, StorageMode::shared);
    auto commands = queue->makeCommandBuffer();
    auto encoder = commands->makeComputeEncoder();
    encoder->setPipeline(pipeline);
    encoder->setBuffer(input, 0);
    encoder->setBuffer(input, 1);
    encoder->setValue(1.0f, 2);
    encoder->setValue(std::uint32_t{16}, 3);
    const std::uint32_t tooMany = pipeline->maxTotalThreadsPerThreadgroup() * 2;
    encoder->dispatchThreads({tooMany, 1, 1}, {tooMany, 1, 1});
    encoder->endEncoding();
    commands->commit();
    EXPECT_EQ(commands->status(), CommandStatus::error);
    ASSERT_TRUE(commands->error());
    EXPECT_NE(commands->error()->find("clEnqueueNDRangeKernel(scale)"), std::string::npos) << *commands->error();
}

TEST_F(GpuLayerTest, LibraryReportsMissingFunctionsAndTheCompilerLog)
{
    auto library = device->makeLibrary(scaleSource);
    EXPECT_TRUE(library->hasFunction("scale"));
    EXPECT_FALSE(library->hasFunction("missing_kernel"));
    EXPECT_THROW(library->makePipeline("missing_kernel"), Error);

    try {
        device->makeLibrary("__kernel void broken(__global float* x) { x[0] = undeclared_name; }\n");
        FAIL() << "a broken source compiled";
    } catch (const Error& error) {
        std::string text = error.what();
        EXPECT_NE(text.find("undeclared_name"), std::string::npos) << text;
        ASSERT_FALSE(text.empty());
        EXPECT_FALSE(std::isspace(static_cast<unsigned char>(text.front())));  // trimmed
        EXPECT_FALSE(std::isspace(static_cast<unsigned char>(text.back())));
        EXPECT_NE(error.code(), 0);
    }
}

TEST_F(GpuLayerTest, BuffersCountTowardsTheDeviceAllocationLedger)
{
    auto before = deviceProvider().devices().front().currentAllocatedBytes;
    {
        auto buffer = device->makeBuffer(4096, StorageMode::private_);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(deviceProvider().devices().front().currentAllocatedBytes, before + 4096);
    }
    EXPECT_EQ(deviceProvider().devices().front().currentAllocatedBytes, before);
}

TEST_F(GpuLayerTest, WorkOutlivesTheHandlesThatCommittedIt)
{
    // The command buffer and its buffers are dropped while the kernel may still be queued; the
    // layer keeps them until the work has run, and later work on the queue proceeds.
    const std::uint32_t count = 1 << 16;
    {
        auto input = device->makeBuffer(count * 4, StorageMode::managed);
        auto output = device->makeBuffer(count * 4, StorageMode::managed);
        input->didModifyRange(0, count * 4);
        auto commands = scale(input, output, 2.0f, count);
        auto sync = queue->makeCommandBuffer();
        auto blit = sync->makeBlitEncoder();
        blit->synchronizeResource(output);
        blit->endEncoding();
        sync->commit();
    }
    auto after = queue->makeCommandBuffer();
    after->commit();
    EXPECT_TRUE(finishGpuWork(*after));
}

// Starts a test process as a death test does; it builds the scale kernel when `build` says so, says
// on its standard error which folder it builds in, and ends with `end`. Returns that folder.
std::filesystem::path folderOfAStartedProcess(bool build, void (*end)())
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string said;
    EXPECT_EXIT(
        {
            if (build) openDevice(deviceProvider().devices().front())->makeLibrary(scaleSource);
            std::fputs(std::getenv("POCL_CACHE_DIR"), stderr);
            std::fflush(stderr);
            end();
        },
        [](int) { return true; },  // however it ends
        ::testing::Truly([&said](const std::string& text) {
            said = text;
            return true;
        }));
    return said;
}

// Test processes that build the same program at once must not share pocl's kernel cache (see
// support/KernelCache.h): this one builds into a folder of its own, named after it, and so does each
// test process it starts (death tests start them), beside it. The programs of a process that ends
// without handing them on (killed, or ended as death tests end) are handed on by the next process
// that starts, and its folder removed.
TEST(GpuTestProcess, BuildsIntoAKernelCacheOfItsOwn)
{
    namespace fs = std::filesystem;
    const char* folder = std::getenv("POCL_CACHE_DIR");
    ASSERT_NE(folder, nullptr);
    const fs::path own = folder;
    EXPECT_EQ(own.filename().string().rfind("process-" + std::to_string(::getpid()) + "-", 0), 0u) << folder;
    if (deviceProvider().devices().empty()) GTEST_SKIP() << "no OpenCL device on this machine";

    const auto quits = +[] { std::_Exit(0); };
    EXPECT_EQ(folderOfAStartedProcess(false, quits).parent_path(), own.parent_path());
    EXPECT_TRUE(fs::is_directory(own)) << "a live process's folder is its own: " << folder;

    const char* rootVariable = testing::OwnKernelCache::rootVariable;
    const std::string kept = std::getenv(rootVariable);
    const fs::path root = own / "started";  // goes with this process's folder
    fs::create_directories(root);
    ::setenv(rootVariable, root.c_str(), 1);
    std::vector<fs::path> ended, programs;
    for (void (*end)() : {quits, +[] { ::raise(SIGKILL); }}) {
        ended.push_back(folderOfAStartedProcess(true, end));
        std::error_code error;
        for (const auto& prefix : fs::directory_iterator(ended.back(), error))
            if (prefix.path().filename().native().size() == 2)
                for (const auto& program : fs::directory_iterator(prefix.path(), error))
                    programs.push_back(prefix.path().filename() / program.path().filename());
    }
    folderOfAStartedProcess(false, quits);
    ::setenv(rootVariable, kept.c_str(), 1);
    EXPECT_FALSE(programs.empty());
    for (const auto& program : programs)
        EXPECT_TRUE(fs::exists(root / "published" / program / "program.bc")) << program;
    for (const auto& gone : ended) EXPECT_FALSE(fs::exists(gone)) << gone;
}

TEST(GpuLayerChecks, RefusedBuffersNeverReachTheBackend)
{
    testing::FakeGpu fake;
    auto device = fake.addDevice("Fake GPU", 7);
    device->maxBuffer = 1024;
    EXPECT_EQ(device->makeBuffer(0, StorageMode::shared), nullptr);
    EXPECT_EQ(device->makeBuffer(1025, StorageMode::private_), nullptr);
    std::byte none{};
    EXPECT_EQ(device->makeBuffer(&none, 0, StorageMode::managed), nullptr);
    EXPECT_EQ(device->allocations, 0);
    EXPECT_TRUE(device->makeBuffer(1024, StorageMode::shared));
    EXPECT_EQ(device->allocations, 1);
}

TEST(GpuLayerChecks, EncodersRecordInOrderAndRefuseMisuse)
{
    testing::FakeGpu fake;
    auto device = fake.addDevice("Fake GPU", 7);
    auto queue = device->makeCommandQueue();
    auto library = device->makeLibrary("");
    auto commands = queue->makeCommandBuffer();
    auto a = device->makeBuffer(16, StorageMode::shared);

    auto compute = commands->makeComputeEncoder();
    EXPECT_EQ(commands->makeBlitEncoder(), nullptr);                      // one encoder at a time
    EXPECT_THROW(compute->dispatchThreads({1, 1, 1}, {1, 1, 1}), Error);  // no pipeline yet
    compute->setPipeline(library->makePipeline("k"));
    compute->setBuffer(a, 1);
    EXPECT_THROW(compute->dispatchThreads({4, 1, 1}, {4, 1, 1}), Error);  // binding 0 unset
    compute->setValue(std::uint32_t{3}, 0);
    compute->dispatchThreads({4, 0, 1}, {4, 1, 1});  // nothing to run: not recorded
    compute->dispatchThreads({5, 1, 1}, {4, 1, 1});
    EXPECT_THROW(compute->dispatchThreads({5, 1, 1}, {0, 1, 1}), Error);
    EXPECT_THROW(commands->commit(), Error);  // encoder still open
    compute->endEncoding();
    EXPECT_THROW(compute->setBuffer(a, 0), Error);

    auto blit = commands->makeBlitEncoder();
    EXPECT_THROW(blit->copy(a, 8, a, 0, 16), Error);
    blit->fill(a, 0, 16, 1);
    blit->synchronizeResource(a);  // shared storage: nothing to do
    blit->endEncoding();
    commands->commit();

    ASSERT_EQ(commands->commands().size(), 2u);
    const auto& dispatch = std::get<DispatchCommand>(commands->commands()[0]);
    EXPECT_EQ(dispatch.grid.width, 5u);
    ASSERT_EQ(dispatch.arguments.size(), 2u);
    EXPECT_EQ(dispatch.arguments[0]->bytes.size(), 4u);
    EXPECT_EQ(dispatch.arguments[1]->buffer, a);
    EXPECT_TRUE(std::holds_alternative<FillCommand>(commands->commands()[1]));
}

TEST(GpuLayerChecks, DriverTextsBecomeOneLine)
{
    EXPECT_EQ(singleLine("<source>:3:5: error: x\n  y = 1;\r\n    ^"), "<source>:3:5: error: x |   y = 1; |     ^");
    EXPECT_EQ(singleLine("plain"), "plain");
}

}  // namespace
}  // namespace korvalen::gpu
