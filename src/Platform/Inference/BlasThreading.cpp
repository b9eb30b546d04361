#include "Platform/Inference/BlasThreading.h"

#include <cblas.h>

#include <mutex>

namespace korvalen::nn::BlasThreading {

void applyPolicy()
{
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(threadCount); });
}

int currentThreadCount()
{
    return openblas_get_num_threads();
}

}  // namespace korvalen::nn::BlasThreading
