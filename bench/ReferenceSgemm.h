#pragma once

#include "Execution/Shared/DeterministicInputs.h"
#include "Platform/Inference/BlasThreading.h"

#include <cblas.h>

#include <vector>

namespace korvalen::bench {

// The reference of the CPU benches: calls per second of one n x n x n sgemm on `threads` OpenBLAS
// threads, buffers made once, as `measure(step)` rates it. OpenBLAS's pool is stopped after, since
// its spinning threads would slow whatever is measured next.
template <class Measure>
double referenceSgemmCalls(int n, int threads, Measure measure)
{
    const std::vector<float> a = deterministicFloats(n * n, 1), b = deterministicFloats(n * n, 2);
    std::vector<float> c(a.size());
    double calls = 0;
    {
        const nn::BlasThreading::ScopedProductThreads scoped(threads);
        calls = measure([&] {
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, a.data(), n, b.data(), n, 0.0f,
                        c.data(), n);
        });
    }
    nn::BlasThreading::releasePool();
    return calls;
}

}  // namespace korvalen::bench
