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
        // The whole pool OpenBLAS started with, as the platform library would use it: at 384^3 on
        // eight cores, eight threads took 0.27 of one thread's time on a quiet machine and 0.36 with
        // one or two cores busy elsewhere, where four took 0.35 in both cases.
        largeProductPool = std::max(1, openblas_get_num_threads());
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
