#pragma once

#include <cblas.h>

#include <functional>
#include <span>

namespace korvalen::nn {

// How many threads OpenBLAS may use. By default every product runs on its caller's thread: most
// products the application makes are small (a few hundred multiply-adds per output at most) and sit
// between other single-threaded work, where waking a pool costs more than it saves (at 96x96, one
// thread beats eight). Only large float products (see `product`) use several threads, and only in a
// way that gives one thread's bits.
namespace BlasThreading {

inline constexpr int threadCount = 1;

// Products of at least this many multiply-adds (m x n x k) use several threads (eight threads 2.8x
// one at 256^3). The application's other matrix-matrix products are at most 96 x 96 x 64, where one
// thread beats eight.
inline constexpr double largeProductMultiplyAdds = 256.0 * 256.0 * 256.0;

// Sets OpenBLAS to `threadCount` threads the first time it is called and never touches it again,
// after noting the pool size OpenBLAS started with (its default, or OPENBLAS_NUM_THREADS): that many
// threads share a large product. The application calls it at start-up; `sgemm`, `product` and the
// model runtime's executors call it before their first product, so a product made before start-up
// (by a tool, a test or a bench) gets the same threads and bits. Safe from any thread.
void applyPolicy();

// The thread count OpenBLAS reports now.
int currentThreadCount();

// cblas_sgemm in row-major order, under the policy. Every OpenBLAS product outside `product` goes
// through here: left to OpenBLAS's default pool, a product may sum in another order.
void sgemm(CBLAS_TRANSPOSE transA, CBLAS_TRANSPOSE transB, int m, int n, int k, float alpha, const float* a, int lda,
           const float* b, int ldb, float beta, float* c, int ldc);

// Runs task(part) once for every part in [0, parts), as many at once as it has threads for, and
// returns when every call has returned.
using PartRunner = std::function<void(int parts, const std::function<void(int part)>& task)>;

// C = A x B for dense row-major A (m x k), B (k x n) and C (m x n), with the bits of one thread's
// product. A large product is cut into bands of rows of C, each a one-thread product of its own that
// `runParts` runs side by side (in any order, on any thread), when bands were checked, once per
// shape and thread count, to give one thread's bits on this processor; else it runs on the calling
// thread.
void product(long m, long n, long k, const float* a, const float* b, float* c, const PartRunner& runParts);

// The threads `product` uses for a product of m x n x k multiply-adds: the bands' threads, 1 when it
// runs on the calling thread. Applies the policy first.
int productThreadCount(long m, long n, long k);

// For tests: `tamper` sees each trial of bands while a shape is planned, before it is compared with
// one thread's product (an empty one for none).
void setBandTrialTamper(std::function<void(std::span<float>)> tamper);

// Caps the threads that large products use (at least 1; 1 keeps them on the calling thread), so one
// run can compare both policies. Not for concurrent use with products in flight.
void setLargeProductThreadLimit(int limit);

// Stops OpenBLAS's pool threads if a product used them since the last call. Left alone, they spin
// for about 0.1 s after the last product (a quarter of a CPU-second measured after one 384^3
// product) on the cores the next workload or the OpenCL CPU device needs; stopping them takes about
// 0.5 ms and the next pooled product starts them again. Call it between workloads, never while
// another thread may be in a pooled product.
void releasePool();

// Runs the products made in its scope on `threads` OpenBLAS threads and restores `threadCount`
// when it ends. OpenBLAS's thread count is process-wide: use it only where no other thread makes
// products meanwhile (the benches' reference sgemm).
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
