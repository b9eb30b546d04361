#pragma once

#include "Execution/Shared/DeterministicInputs.h"
#include "Platform/Inference/BlasThreading.h"

#include "BenchStatistics.h"

#include <cblas.h>

#include <vector>

namespace korvalen::bench {

// The reference of the CPU benches: calls per second of one n x n x n sgemm on `threads` OpenBLAS
// threads, buffers made once, fastest call over about `seconds`. OpenBLAS's pool is stopped after,
// since its spinning threads would slow whatever is measured next.
inline double referenceSgemmCalls(int n, int threads, double seconds)
{
    const std::vector<float> a = deterministicFloats(n * n, 1), b = deterministicFloats(n * n, 2);
    std::vector<float> c(a.size());
    double calls = 0;
    {
        const nn::BlasThreading::ScopedProductThreads scoped(threads);
        calls = fastestRate(
            [&] {
                cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, a.data(), n, b.data(), n, 0.0f,
                            c.data(), n);
            },
            seconds);
    }
    nn::BlasThreading::releasePool();
    return calls;
}

}  // namespace korvalen::bench
