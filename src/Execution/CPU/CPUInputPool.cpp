#include "Execution/CPU/CPUInputPool.h"

#include "Execution/CPU/WorkerPool.h"
#include "Platform/System/ProcessorInfo.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace korvalen::CPUInputPool {

namespace {

constexpr std::size_t sliceAlignment = 64;
constexpr std::size_t minimumPerWorker = 8'192;

struct Pool {
    std::mutex busy;
    WorkerPool workers{sys::usableProcessorCount(), "KorvalenAI.Inputs"};
};

Pool& pool()
{
    static Pool shared;
    return shared;
}

}  // namespace

int workerCount()
{
    return pool().workers.workerCount();
}

void forSlices(std::size_t count, const std::function<void(std::size_t begin, std::size_t end)>& part, bool passFollows)
{
    Pool& shared = pool();
    const auto workers = static_cast<std::size_t>(shared.workers.workerCount());
    std::unique_lock lock(shared.busy, std::try_to_lock);
    if (!lock.owns_lock() || workers == 1 || count < 2 * minimumPerWorker) {
        if (count > 0) part(0, count);
        return;
    }
    const std::size_t used = std::min(workers, count / minimumPerWorker);
    const auto boundary = [&](std::size_t w) {
        return w == used ? count : w * count / used / sliceAlignment * sliceAlignment;
    };
    shared.workers.run([&](int w) {
        const auto index = static_cast<std::size_t>(w);
        if (index < used && boundary(index) < boundary(index + 1)) part(boundary(index), boundary(index + 1));
    });
    if (!passFollows) shared.workers.rest();
}

void forParts(int parts, const std::function<void(int part)>& task)
{
    Pool& shared = pool();
    const int workers = shared.workers.workerCount();
    std::unique_lock lock(shared.busy, std::try_to_lock);
    if (!lock.owns_lock() || workers == 1 || parts < 2) {
        for (int part = 0; part < parts; ++part) task(part);
        return;
    }
    // Parts go to whichever thread is free: one preempted by another program takes fewer.
    std::atomic<int> next{0};
    shared.workers.run([&](int) {
        for (int part = next++; part < parts; part = next++) task(part);
    });
}

}  // namespace korvalen::CPUInputPool
