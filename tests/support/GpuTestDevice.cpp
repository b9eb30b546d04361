#include "support/GpuTestDevice.h"

#include "support/KernelCache.h"

#include <chrono>
#include <thread>

namespace korvalen::testing {

std::shared_ptr<gpu::Device> openTestDevice()
{
    if (auto* cache = OwnKernelCache::current()) cache->takePublished();
    auto devices = gpu::deviceProvider().devices();
    if (devices.empty()) return nullptr;
    return gpu::openDevice(devices.front());
}

bool finishGpuWork(gpu::CommandBuffer& buffer, double timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        auto status = buffer.status();
        if (status == gpu::CommandStatus::completed) return true;
        if (status == gpu::CommandStatus::error) return false;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

}  // namespace korvalen::testing
