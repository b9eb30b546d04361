#pragma once

namespace korvalen::nn {

// How many threads OpenBLAS may use. By default every product runs on its caller's thread: most
// products the application makes are small (a few hundred multiply-adds per output at most) and sit
// between other single-threaded work, where waking OpenBLAS's pool costs more than it saves (at
// 96x96, one thread beats eight). Only large float products (see `productThreadCount`) take the
// pool for the length of the call, and give it back at once after.
namespace BlasThreading {

inline constexpr int threadCount = 1;

// Products of at least this many multiply-adds (m x n x k) use the pool (eight threads 2.8x one at
// 256^3). The application's other matrix-matrix products are at most 96 x 96 x 64, where one
// thread beats the pool.
inline constexpr double largeProductMultiplyAdds = 256.0 * 256.0 * 256.0;

// Sets OpenBLAS to `threadCount` threads the first time it is called and never touches it again,
// after noting the pool size OpenBLAS started with (its default, or OPENBLAS_NUM_THREADS). The
// application calls it at start-up; the CPU runner and the model runtime call it before their
// first product as well, so tools and tests get the same policy. Safe from any thread.
void applyPolicy();

// The thread count OpenBLAS reports now.
int currentThreadCount();

// The threads one float product of m x n x k multiply-adds should use: the pool OpenBLAS started
// with for large products whose pooled result has the bits of one thread's on this processor (checked
// once per shape), 1 otherwise. Applies the policy first.
int productThreadCount(long m, long n, long k);

// Caps the pool that large products use (at least 1; 1 gives the single-threaded policy back),
// so one run can compare both policies. Not for concurrent use with products in flight.
void setLargeProductThreadLimit(int limit);

// Stops OpenBLAS's pool threads if a product used them since the last call. Left alone, they spin
// for about 0.1 s after the last product (a quarter of a CPU-second measured after one 384^3
// product) on the cores the next workload or the OpenCL CPU device needs; stopping them takes about
// 0.5 ms and the next pooled product starts them again. Call it between workloads, never while
// another thread may be in a pooled product.
void releasePool();

// Runs the products made in its scope on `threads` OpenBLAS threads and restores `threadCount`
// when it ends. OpenBLAS's thread count is process-wide: the CPU runner makes its products one
// workload at a time, which is what makes this safe there.
class ScopedProductThreads {
public:
    explicit ScopedProductThreads(int threads);
    ~ScopedProductThreads();
    ScopedProductThreads(const ScopedProductThreads&) = delete;
    ScopedProductThreads& operator=(const ScopedProductThreads&) = delete;

private:
    bool changed_;
};

}  // namespace BlasThreading

}  // namespace korvalen::nn
