#include "Platform/Inference/BlasThreading.h"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

// Exported by OpenBLAS's threaded builds (it is what it runs before a fork), not declared in cblas.h.
extern "C" int blas_thread_shutdown_(void);

namespace korvalen::nn::BlasThreading {

namespace {

std::atomic<int> largeProductPool{1};
std::atomic<int> largeProductLimit{1 << 20};
std::atomic<bool> poolUsed{false};

// OpenBLAS splits C among its threads, and on some processors the kernel that computes a piece's
// edge tiles sums in another order than the one that computes it whole: eight threads then give
// other bits than one. A product shape takes the pool only once it has given one thread's bits here.
bool poolKeepsBits(long m, long n, long k, int threads)
{
    static std::mutex mutex;
    static std::map<std::tuple<long, long, long, int>, bool> verdicts;
    const std::lock_guard lock(mutex);
    const auto key = std::make_tuple(m, n, k, threads);
    if (const auto found = verdicts.find(key); found != verdicts.end()) return found->second;

    const auto filled = [](std::size_t count, std::uint32_t seed) {
        std::vector<float> values(count);
        std::uint32_t state = seed;
        for (float& value : values) {
            state = state * 1664525u + 1013904223u;
            value = static_cast<float>(state >> 8) * 0x1p-24f - 0.5f;
        }
        return values;
    };
    const std::vector<float> a = filled(static_cast<std::size_t>(m) * k, 1);
    const std::vector<float> b = filled(static_cast<std::size_t>(k) * n, 2);
    std::vector<float> one(static_cast<std::size_t>(m) * n), pooled(one.size());
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a.data(), k, b.data(), n, 0.0f, one.data(),
                n);
    poolUsed = true;
    openblas_set_num_threads(threads);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a.data(), k, b.data(), n, 0.0f, pooled.data(),
                n);
    openblas_set_num_threads(threadCount);
    const bool same = std::memcmp(one.data(), pooled.data(), one.size() * sizeof(float)) == 0;
    verdicts.emplace(key, same);
    return same;
}

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
    const int threads = std::min(largeProductPool.load(), largeProductLimit.load());
    if (threads <= threadCount || !poolKeepsBits(m, n, k, threads)) return threadCount;
    return threads;
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
