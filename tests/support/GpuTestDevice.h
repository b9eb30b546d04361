#pragma once

// The real OpenCL device the GPU tests run on (pocl's CPU device here and in CI).

#include "Platform/Compute/Gpu.h"

#include <memory>

namespace korvalen::testing {

// The first device of the real device list, opened; nullptr when the machine has none.
std::shared_ptr<gpu::Device> openTestDevice();

// Polls until the buffer has finished; true when it completed without error.
bool finishGpuWork(gpu::CommandBuffer& buffer, double timeoutSeconds = 60.0);

}  // namespace korvalen::testing

// Skips the current test when there is no OpenCL device at all.
#define KORVALEN_REQUIRE_GPU(device)                     \
    auto device = ::korvalen::testing::openTestDevice(); \
    if (!device) GTEST_SKIP() << "no OpenCL device on this machine"
