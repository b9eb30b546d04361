#include "Platform/Inference/BlasThreading.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <tuple>
#include <vector>

// Exported by OpenBLAS's threaded builds (it is what it runs before a fork), not declared in cblas.h.
extern "C" int blas_thread_shutdown_(void);

namespace korvalen::nn::BlasThreading {

namespace {

std::atomic<int> largeProductPool{1};
std::atomic<int> largeProductLimit{1 << 20};
std::atomic<bool> poolUsed{false};

// Bands of rows of C start at multiples of one of these, tried in order. OpenBLAS computes a
// row-major product as C^T = B^T A^T in column-major terms, so the rows of C are the columns its
// kernel works through in tiles; a band that starts on a tile boundary meets the same tiles, each
// summed in the same order, as the whole product. 12 is the tile of the Haswell and Zen kernels
// (bands of 8 or 16 rows change their bits); 48 is a multiple of 8, 12 and 16 for kernels with
// other tiles. Any kernel is checked per shape all the same.
constexpr long rowTiles[] = {12, 48};

// Bands per thread. Each band packs the whole of B again: at 320^3 on the Zen kernel, two bands per
// thread took 1.1x one band's time per iteration (bands go to whichever thread is free all the same).
constexpr int bandsPerThread = 1;

// How a product of one shape runs: in `parts` bands of rows starting at multiples of `rowTile` on
// `threads` threads (empty bands are skipped), else (rowTile 0, threads 1) on the calling thread.
struct Plan {
    int threads = threadCount;
    long rowTile = 0;
    int parts = 1;
};

// First row of band `part` of `parts` (`m` for part == parts): the even share, down to a tile.
long bandStart(long m, int parts, int part, long tile)
{
    return part == parts ? m : m * part / parts / tile * tile;
}

int nonEmptyBands(long m, int parts, long tile)
{
    int count = 0;
    for (int part = 0; part < parts; ++part)
        count += bandStart(m, parts, part, tile) < bandStart(m, parts, part + 1, tile);
    return count;
}

void wholeProduct(long m, long n, long k, const float* a, const float* b, float* c)
{
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a, k, b, n, 0.0f, c, n);
}

// Rows [first, last) of C as a one-thread product of their own. Asked in column-major terms, as
// cblas turns the whole row-major call: asked in row-major order, a band small enough may take
// another path (the small-product kernels OpenBLAS has for AVX-512 processors) that sums otherwise.
void bandProduct(long first, long last, long n, long k, const float* a, const float* b, float* c)
{
    if (first >= last) return;
    cblas_sgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, last - first, k, 1.0f, b, n, a + first * k, k, 0.0f,
                c + first * n, n);
}

std::mutex planMutex;
std::function<void(std::span<float>)> bandTrialTamper;

// On some processors the kernel that computes a piece of C's edge tiles sums in another order than
// the one that computes it whole, so neither OpenBLAS's pool (which splits C both ways) nor bands at
// arbitrary rows can be trusted to give one thread's bits. Each shape and thread count is tried once
// here, on the calling thread, against one thread's product. The pool is never asked: its thread
// count is process-wide, so setting it for one product would reach any other thread's product.
Plan planFor(long m, long n, long k, int threads)
{
    static std::map<std::tuple<long, long, long, int>, Plan> plans;
    const std::lock_guard lock(planMutex);
    const auto key = std::make_tuple(m, n, k, threads);
    if (const auto found = plans.find(key); found != plans.end()) return found->second;

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
    std::vector<float> one(static_cast<std::size_t>(m) * n), other(one.size());
    wholeProduct(m, n, k, a.data(), b.data(), one.data());
    const auto same = [&] { return std::memcmp(one.data(), other.data(), one.size() * sizeof(float)) == 0; };

    Plan plan;
    const int parts = threads * bandsPerThread;
    for (const long tile : rowTiles) {
        const int bands = nonEmptyBands(m, parts, tile);
        if (bands < 2) continue;
        std::fill(other.begin(), other.end(), 0.0f);
        for (int part = 0; part < parts; ++part)
            bandProduct(bandStart(m, parts, part, tile), bandStart(m, parts, part + 1, tile), n, k, a.data(), b.data(),
                        other.data());
        if (bandTrialTamper) bandTrialTamper(other);
        if (same()) {
            plan = {std::min(threads, bands), tile, parts};
            break;
        }
    }
    plans.emplace(key, plan);
    return plan;
}

Plan planFor(long m, long n, long k)
{
    applyPolicy();
    const double multiplyAdds = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
    if (multiplyAdds < largeProductMultiplyAdds) return {};
    const int threads = std::min(largeProductPool.load(), largeProductLimit.load());
    if (threads <= threadCount) return {};
    return planFor(m, n, k, threads);
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
        // OpenBLAS starts its pool threads as it loads, and they spin for about 0.1 s before they
        // sleep, on the cores the first workload needs; large products run in bands on the
        // caller's threads, so the pool may never be asked for. The next pooled product restarts it.
        blas_thread_shutdown_();
    });
}

int currentThreadCount()
{
    return openblas_get_num_threads();
}

void sgemm(CBLAS_TRANSPOSE transA, CBLAS_TRANSPOSE transB, int m, int n, int k, float alpha, const float* a, int lda,
           const float* b, int ldb, float beta, float* c, int ldc)
{
    applyPolicy();
    cblas_sgemm(CblasRowMajor, transA, transB, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

void product(long m, long n, long k, const float* a, const float* b, float* c, const PartRunner& runParts)
{
    const Plan plan = planFor(m, n, k);
    if (plan.rowTile == 0) {
        wholeProduct(m, n, k, a, b, c);
        return;
    }
    runParts(plan.parts, [&](int part) {
        bandProduct(bandStart(m, plan.parts, part, plan.rowTile), bandStart(m, plan.parts, part + 1, plan.rowTile), n,
                    k, a, b, c);
    });
}

int productThreadCount(long m, long n, long k)
{
    return planFor(m, n, k).threads;
}

void setBandTrialTamper(std::function<void(std::span<float>)> tamper)
{
    const std::lock_guard lock(planMutex);
    bandTrialTamper = std::move(tamper);
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
