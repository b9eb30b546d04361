#include "Platform/Inference/BlasThreading.h"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <mutex>

// Exported by OpenBLAS's threaded builds (it is what it runs before a fork), not declared in cblas.h.
extern "C" int blas_thread_shutdown_(void);

namespace korvalen::nn::BlasThreading {

namespace {

std::atomic<int> largeProductPool{1};
std::atomic<int> largeProductLimit{1 << 20};
std::atomic<bool> poolUsed{false};

}  // namespace

void applyPolicy()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Half the pool OpenBLAS started with: a product waits for its slowest thread, and with one
        // thread per core a single busy core (another process, the OpenCL device) made eight
        // threads 1.6x slower than one, while four stayed 2.3x faster than one (384^3, loaded).
        largeProductPool = std::max(1, openblas_get_num_threads() / 2);
        openblas_set_num_threads(threadCount);
    });
}

int currentThreadCount()
{
    return openblas_get_num_threads();
}

int productThreadCount(long m, long n, long k)
{
    applyPolicy();
    const double multiplyAdds = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
    if (multiplyAdds < largeProductMultiplyAdds) return threadCount;
    return std::min(largeProductPool.load(), largeProductLimit.load());
}

void setLargeProductThreadLimit(int limit)
{
    largeProductLimit = std::max(1, limit);
}

void releasePool()
{
    if (poolUsed.exchange(false)) blas_thread_shutdown_();
}

ScopedProductThreads::ScopedProductThreads(int threads) : changed_(threads != threadCount)
{
    if (!changed_) return;
    poolUsed = true;
    openblas_set_num_threads(threads);
}

ScopedProductThreads::~ScopedProductThreads()
{
    if (changed_) openblas_set_num_threads(threadCount);
}

}  // namespace korvalen::nn::BlasThreading
